#!/bin/sh
# Installs what is missing, builds cctrace and its tests in build/ and runs
# every test.  Extra arguments go to CMake (CI passes sanitizer flags with a
# separate build directory in CCTRACE_BUILD).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
dir=${CCTRACE_BUILD:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCCTRACE_WERROR=ON \
    -DCCTRACE_TESTS=ON "$@"
cmake --build "$dir" -j "$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
status=0
ctest --test-dir "$dir" --output-on-failure -j 2 || status=$?

# ctest prints a test's output only when it fails: say which tests skipped,
# and why.
log=$dir/Testing/Temporary/LastTest.log
if [ -f "$log" ] && grep -q '^\[  SKIPPED \]' "$log"; then
	echo "Skipped, and why:"
	awk '/: Skipped$/ { why = 1; reason = ""; next }
	/^\[  SKIPPED \]/ { if (why) print "  " $4 ": " reason; why = 0; next }
	why && NF { reason = reason (reason == "" ? "" : " ") $0 }' "$log"
fi
exit $status
