#!/bin/sh
# Installs what is missing, builds cctrace and runs it on the bundled example:
# a make build of two C files, whose compile_commands.json is then shown.
# The package manager's and the build's output go to log files, whose end is
# shown only when a step fails.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
log=${TMPDIR:-/tmp}/cctrace-build.log
echo "building build/cctrace (output in $log)"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCCTRACE_WERROR=ON &&
    cmake --build build --target cctrace \
    -j "$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"; } >"$log" 2>&1
then
	echo "setup.sh: the build failed; the end of $log:" >&2
	tail -n 30 "$log" >&2
	exit 1
fi
echo "built build/cctrace ($(build/cctrace --version))"
cd examples/hello
make clean >/dev/null
echo "--- cctrace make, in examples/hello"
../../build/cctrace make
echo "--- examples/hello/compile_commands.json"
cat compile_commands.json
echo
