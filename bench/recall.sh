#!/bin/bash
# Recall check: which compiles of real builds cctrace records, against the
# ground truth of strace.
#
#   bench/recall.sh [-b BUILDS] [-m MODES] [-l N] [CCTRACE]
#
# Each build is a Debian source package (fetched into bench/work/ as
# bench/run.sh does), run from a fresh copy of its tree, always at the same
# path: once under strace -f, whose log bench/groundtruth.py makes into the
# ground truth (every compile by a GCC- or clang-style driver that the build
# asked for, one entry per source, see there), then once per mode.  Each
# database is compared with the ground truth by directory, file and
# arguments (bench/dbcompare.py), which prints per build and mode the
# entries expected and recorded, those missing, the extra ones and those
# recorded with a wrong directory, and the totals at the end.
#
# BUILDS is a subset of "yaml-cpp expat re2 zstd lua lz4":
#   yaml-cpp  CMake, C++, Ninja
#   expat     CMake, C and C++ (its tests), Makefiles
#   re2       a plain Makefile with g++, each source compiled twice
#   zstd      a plain Makefile with CC=clang; probes compiled and deleted
#   lua       a plain Makefile through ccache, with a cache warmed by an
#             untraced build of the same tree first (bench/work/ccache)
#   lz4       a plain Makefile; the library from one command of five sources
# and two more that check the checker, run only when named: zstd-cc, zstd
# with cc, whose probes cctrace records and the ground truth drops; lua-cold,
# lua through ccache with its cache emptied before each build, where the
# compilers that ccache runs are not the build's.
# MODES is a subset of "default all bear": cctrace, cctrace --all, and bear
# as a check of the ground truth (bear rebuilds the arguments, so it is
# matched by directory and file only).  The default mode is also compared
# with what its own rules must record by the same log (line "cctrace
# rules").  -l N lists up to N entries of each kind that differ.  A CMake
# tree is configured before each run, untraced: only the build is traced.
# CCTRACE defaults to build/cctrace.  The logs, ground truths and databases
# stay in bench/work/recall/ (NAME.strace, NAME.truth.json,
# NAME.rules.json, NAME.MODE.json).  The wall time of each build is shown,
# for planning, not for comparison.  Installs what it lacks through
# scripts/deps.sh (root).
set -euo pipefail

builds="yaml-cpp expat re2 zstd lua lz4"
modes="default all bear"
list=0
while getopts b:m:l: opt; do
	case $opt in
	b) builds=$OPTARG ;;
	m) modes=$OPTARG ;;
	l) list=$OPTARG ;;
	*) echo "usage: $0 [-b builds] [-m modes] [-l n] [cctrace]" >&2
	   exit 2 ;;
	esac
done
shift $((OPTIND - 1))

top=$(cd "$(dirname "$0")/.." && pwd -P)
cctrace=$(realpath "${1:-$top/build/cctrace}")
work=$top/bench/work
out=$work/recall
[ -x "$cctrace" ] || { echo "$0: no cctrace at $cctrace" >&2; exit 1; }
sh "$top/scripts/deps.sh" bench
. "$top/bench/fetch.sh"

# Per build: the source package, "yes" to take the upstream tarball instead
# of Debian's tree, the directory of the tree to build in, the untraced
# preparation, the traced build, and what it shows.
yaml_cpp_pkg=yaml-cpp
yaml_cpp_prep="cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DYAML_CPP_BUILD_TESTS=OFF"
yaml_cpp_build="ninja -C build -j2"
yaml_cpp_what="CMake, C++, Ninja"
# Debian's patches to expat 2.5.0 do not build with CMake: upstream's tree.
expat_pkg=expat
expat_orig=yes
expat_sub=expat
expat_prep="cmake -S . -B build -DCMAKE_BUILD_TYPE=Release"
expat_build="make -C build -j2"
expat_what="CMake, C and C++, Makefiles"
# Debian's tree lacks the generated tables; Debian makes them from its
# unicode-data.
re2_pkg=re2
re2_prep="make REBUILD_TABLES=1 re2/perl_groups.cc re2/unicode_casefold.cc re2/unicode_groups.cc"
re2_build="make -j2"
re2_what="plain Makefile, g++"
zstd_pkg=libzstd
zstd_build="make -j2 CC=clang zstd-release"
zstd_what="plain Makefile, CC=clang"
# Debian's lua Makefile wants libtool: upstream's tree.
lua_pkg=lua5.4
lua_orig=yes
lua_build="make -j2 linux CC='ccache cc -std=gnu99'"
lua_what="plain Makefile through ccache, warm cache"
lua_ccache=warm
lua_cold_pkg=lua5.4
lua_cold_orig=yes
lua_cold_build=$lua_build
lua_cold_what="plain Makefile through ccache, empty cache"
lua_cold_ccache=cold
zstd_cc_pkg=libzstd
zstd_cc_build="make -j2 zstd-release"
zstd_cc_what="plain Makefile, cc"
lz4_pkg=lz4
lz4_build="make -j2"
lz4_what="plain Makefile, C"

# var BUILD FIELD: the field of a build's table, empty when not set.
var()
{
	eval "echo \"\${${1//-/_}_$2:-}\""
}

# tree BUILD: prints the pristine tree to copy.
tree()
{
	local pkg src tarball

	pkg=$(var "$1" pkg)
	src=$(fetch "$pkg")
	if [ "$(var "$1" orig)" != yes ]; then
		echo "${src%/}"
		return
	fi
	tarball=$(compgen -G "$work/src/${pkg}_*.orig.tar.*" | head -1)
	mkdir -p "$work/orig/$1"
	[ -n "$(ls "$work/orig/$1")" ] || tar xf "$tarball" -C "$work/orig/$1"
	compgen -G "$work/orig/$1/*/" | head -1 | sed 's|/$||'
}

# run BUILD SRC PREFIX: builds a fresh copy of SRC with PREFIX in front of
# the build command; the wall time in seconds goes to $out/time.
run()
{
	local b=$1 src=$2 pre=$3 dir prep cmd status=0
	local TIMEFORMAT='%1R s'

	rm -rf "$out/tree/$b"
	mkdir -p "$out/tree"
	cp -a "$src" "$out/tree/$b"
	[ "$(var "$b" ccache)" != cold ] || rm -rf "$CCACHE_DIR"
	dir=$out/tree/$b/$(var "$b" sub)
	dir=${dir%/}
	prep=$(var "$b" prep)
	cmd=$(var "$b" build)
	if [ -n "$prep" ]; then
		(cd "$dir" && export PWD="$dir" && eval "$prep") \
		    >"$out/$b.prep.log" 2>&1 ||
		    { echo "$0: $prep failed, see $out/$b.prep.log" >&2; exit 1; }
	fi
	{ time (cd "$dir" && export PWD="$dir" &&
	    eval "$pre $cmd" >"$out/$b.build.log" 2>&1); } 2> "$out/time" ||
	    status=$?
	[ $status = 0 ] || echo "warning: ${pre:-untraced} build of $b" \
	    "failed ($status), see $out/$b.build.log" >&2
	if [ -n "$(var "$b" ccache)" ]; then
		echo "$(cat "$out/time") $(ccache --print-stats | awk '
		    /^(direct|preprocessed)_cache_hit\t/ { h += $2 }
		    /^cache_miss\t/ { m += $2 }
		    END { printf "(ccache: %d hits, %d misses)", h, m }')" \
		    > "$out/time.new"
		mv "$out/time.new" "$out/time"
		ccache -z >/dev/null
	fi
}

# database BUILD MODE: keeps the database that the last run wrote.
database()
{
	local dir=$out/tree/$1/$(var "$1" sub)

	cp "${dir%/}/compile_commands.json" "$out/$1.$2.json" 2>/dev/null ||
	    : > "$out/$1.$2.json"
}

# compare LABEL EXPECTED RECORDED [OPTION]: one row, added to the totals.
compare()
{
	local row

	row=$(python3 "$top/bench/dbcompare.py" -l "$list" ${4:-} \
	    "$1" "$2" "$3")
	echo "$row"
	echo "$row" | head -1 | awk -v l="$1" '{
		n = split($0, f, " "); printf "%s", l
		for (i = n - 4; i <= n; i++) printf "\t%s", f[i]; print "" }' \
	    >> "$out/totals"
}

heading()
{
	printf "%-22s %8s %8s %8s %8s %8s\n" "" expected recorded missing \
	    extra wrong-dir
}

echo "cctrace: $cctrace"
echo "$(nproc) CPUs; $(uname -sr); $(strace -V | head -1);" \
    "$(bear --version 2>&1 | head -1); $(ccache --version | head -1)"
mkdir -p "$out"
: > "$out/totals"
export CCACHE_DIR=$work/ccache
for b in $builds; do
	[ -n "$(var "$b" pkg)" ] || { echo "$0: no build $b" >&2; exit 2; }
	src=$(tree "$b")
	echo
	echo "== $b ($(basename "$src")): $(var "$b" what): $(var "$b" build)"
	times=
	if [ "$(var "$b" ccache)" = warm ]; then
		rm -rf "$CCACHE_DIR"
		run "$b" "$src" ""
		times="warm-up $(cat "$out/time"), "
	fi
	run "$b" "$src" "strace -f -v -y -s 1048576 -e signal=none \
	    -e trace=execve,execveat,fork,vfork,clone,clone3,chdir,fchdir,openat \
	    -o $out/$b.strace"
	times="${times}strace $(cat "$out/time")"
	dir=$out/tree/$b/$(var "$b" sub)
	python3 "$top/bench/groundtruth.py" "$out/$b.strace" "${dir%/}" \
	    "$out/$b.truth.json" "$out/$b.rules.json"
	heading
	for m in $modes; do
		case $m in
		default) pre=$cctrace label=cctrace ;;
		all) pre="$cctrace --all" label="cctrace --all" ;;
		bear) pre="bear --" label="bear (by file)" ;;
		*) echo "$0: no mode $m" >&2; exit 2 ;;
		esac
		run "$b" "$src" "$pre"
		times="$times, $label $(cat "$out/time")"
		database "$b" "$m"
		compare "$label" "$out/$b.truth.json" "$out/$b.$m.json" \
		    "$([ "$m" = bear ] && echo -f)"
		if [ "$m" = default ]; then
			compare "cctrace rules" "$out/$b.rules.json" \
			    "$out/$b.default.json"
		fi
	done
	echo "wall time: $times"
done

echo
echo "== totals"
heading
awk -F '\t' '{ if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
	for (i = 2; i <= 6; i++) t[$1, i] += $i }
    END { for (k = 1; k <= n; k++) {
	l = order[k]; printf "%-22s", l
	for (i = 2; i <= 6; i++) printf " %8d", t[l, i]; print "" } }' \
    "$out/totals"
rm -rf "$out/tree"
