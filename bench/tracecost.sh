#!/bin/sh
# What tracing costs a compiler here: bench/tracecost.c runs the stand-in
# compiler bench/busycc.c, once making 3000 system calls and once only
# computing, bare and under cctrace, interleaved, and prints the median wall
# times and their ratios.  Everything runs on one CPU (taskset), as in the
# FreeBSD machine's one-CPU kernel, where `scripts/freebsd-test.sh -k kernel
# bench` runs the same programs.
#
#   bench/tracecost.sh [ROUNDS [CCTRACE]]
#
# ROUNDS defaults to 5, CCTRACE to build/cctrace.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd -P)
rounds=${1:-5}
cctrace=$(realpath "${2:-$top/build/cctrace}")
work=$top/bench/work
[ -x "$cctrace" ] || { echo "$0: no cctrace at $cctrace" >&2; exit 1; }
mkdir -p "$work"
cc -O2 -o "$work/busycc" "$top/bench/busycc.c"
cc -O2 -o "$work/tracecost" "$top/bench/tracecost.c"
one_cpu=
command -v taskset >/dev/null && one_cpu="taskset -c 0"
$one_cpu "$work/tracecost" "$cctrace" "$work/busycc" "$rounds"
