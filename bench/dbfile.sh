#!/bin/sh
# What the database file costs the tool.  A shell runs a stand-in compiler
# (/bin/true under the name cc) ENTRIES times on one source, each time with
# BYTES of arguments of its own, under cctrace in each MODE, ROUNDS rounds
# interleaved:
#   default  a plain run
#   all      --all: at the end every entry is read back, none is left out
#   append   -a on the file of a default run: its entries are written first,
#            and the end leaves them all out (each is recorded again)
# Prints per mode the median wall time and peak memory (of the tool, the
# largest process here), the file's size, and the tool's own write and
# pread calls (counted once, with strace, where it is installed).
#
#   bench/dbfile.sh [ENTRIES [BYTES [ROUNDS [CCTRACE [MODES]]]]]
#
# Defaults: 2000 entries, 1000 bytes, 5 rounds, build/cctrace, and the three
# modes ("default" alone for a cctrace without options).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd -P)
entries=${1:-2000}
bytes=${2:-1000}
rounds=${3:-5}
cctrace=$(realpath "${4:-$top/build/cctrace}")
modes=${5:-default all append}
[ -x "$cctrace" ] || { echo "$0: no cctrace at $cctrace" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "$0: needs GNU time (/usr/bin/time)" >&2; exit 1; }
work=$top/bench/work/dbfile
rm -rf "$work"
mkdir -p "$work/bin"
ln -s /bin/true "$work/bin/cc"
echo 'int f(void);' > "$work/a.c"
pad=$(head -c "$bytes" /dev/zero | tr '\0' x)
script="i=0; while [ \$i -lt $entries ]; do i=\$((i + 1)); cc -c a.c -DN=\$i -DPAD=$pad; done"

# run MODE [PREFIX...]: one traced build in MODE, the tool run by PREFIX.
run()
{
	mode=$1
	shift
	opt=
	case $mode in
	all) opt=--all ;;
	append)
		opt=-a
		(cd "$work" && PATH=$work/bin:$PATH "$cctrace" sh -c "$script")
		;;
	esac
	(cd "$work" && PATH=$work/bin:$PATH "$@" "$cctrace" $opt sh -c "$script")
}

median()
{
	sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

for r in $(seq "$rounds"); do
	for m in $modes; do
		run "$m" /usr/bin/time -f "%e %M" -o "$work/time.$m.$r"
	done
done
printf '%-8s %8s %10s %10s %8s %8s\n' mode wall "peak KiB" "file KiB" \
    writes preads
for m in $modes; do
	wall=$(cat "$work"/time.$m.* | awk '{ print $1 }' | median)
	rss=$(cat "$work"/time.$m.* | awk '{ print $2 }' | median)
	w=- p=-
	if command -v strace >/dev/null; then
		run "$m" strace -c -o "$work/calls.$m" -e trace=write,pread64
		w=$(awk '$NF == "write" { print $4 }' "$work/calls.$m")
		p=$(awk '$NF == "pread64" { print $4 }' "$work/calls.$m")
	fi
	size=$(( $(wc -c < "$work/compile_commands.json") / 1024 ))
	printf '%-8s %7ss %10s %10s %8s %8s\n' "$m" "$wall" "$rss" "$size" \
	    "${w:-0}" "${p:-0}"
done
