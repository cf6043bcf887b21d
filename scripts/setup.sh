#!/bin/sh
# Installs what is missing, builds cctrace and runs it on the bundled example:
# a make build of two C files, whose compile_commands.json is then shown.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCCTRACE_WERROR=ON
cmake --build build -j "$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
cd examples/hello
make clean >/dev/null
../../build/cctrace make
echo "--- examples/hello/compile_commands.json"
cat compile_commands.json
echo
