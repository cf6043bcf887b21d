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
ctest --test-dir "$dir" --output-on-failure -j 2
