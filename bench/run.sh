#!/bin/bash
# Times real C builds from Debian source packages bare and under cctrace,
# bear and strace, and prints each variant's median wall time and its ratio
# to the bare build.
#
#   bench/run.sh [-n ROUNDS] [-p PROJECTS] [-v VARIANTS] [CCTRACE]
#
# ROUNDS (default 5) builds per variant, interleaved round by round; each
# build starts from a fresh copy of the unpacked tree.  PROJECTS is a
# space-separated subset of "lua zstd execloop execargs"; execloop is no code
# base but 1000 runs of /bin/true from a shell, the cost of tracing a process
# with nothing to hide it; execargs is exec attempts with long vectors.
# VARIANTS is a subset of "bare cctrace cctrace-all bear strace
# strace-seccomp" (bare is always run: the ratios are to it; cctrace-all is
# cctrace --all).  Besides the wall time, the CPU time (user and system,
# of the tool and every process of the build) is shown: it varies less on a
# busy machine.  CCTRACE defaults to build/cctrace
# (a RelWithDebInfo build, see scripts/setup.sh).  Needs root for apt-get
# when the sources are not downloaded yet; they land in bench/work/.
set -euo pipefail

rounds=5
projects="lua zstd execloop execargs"
variants="bare cctrace cctrace-all bear strace strace-seccomp"
while getopts n:p:v: opt; do
	case $opt in
	n) rounds=$OPTARG ;;
	p) projects=$OPTARG ;;
	v) variants="bare $(echo "$OPTARG" | sed 's/\<bare\>//')" ;;
	*) echo "usage: $0 [-n rounds] [-p projects] [-v variants] [cctrace]" >&2
	   exit 2 ;;
	esac
done
shift $((OPTIND - 1))

top=$(cd "$(dirname "$0")/.." && pwd -P)
cctrace=$(realpath "${1:-$top/build/cctrace}")
work=$top/bench/work
[ -x "$cctrace" ] || { echo "$0: no cctrace at $cctrace" >&2; exit 1; }
for tool in make cc $(echo "$variants" | grep -o 'bear\|strace' | sort -u); do
	command -v $tool >/dev/null || { echo "$0: $tool missing" >&2; exit 1; }
done

. "$top/bench/fetch.sh"

# Per project: the source package, the timed build command and, where
# Debian's tree does not build with plain make, the upstream tarball to
# unpack instead (Debian's lua Makefile wants libtool and builds C++ too).
lua_pkg=lua5.4
lua_orig=yes
lua_build="make -j2 linux"
zstd_pkg=libzstd
zstd_orig=
zstd_build="make -j2 zstd-release"
execloop_pkg=
execloop_orig=
execloop_build="sh -c 'i=0; while [ \$i -lt 1000 ]; do /bin/true; i=\$((i + 1)); done'"
# An exec with 20,000 arguments, and one with 20,000 variables, each tried
# along a PATH of 18 directories: what a tracer costs that reads vectors no
# one needs.
execargs_pkg=
execargs_orig=
execargs_build="sh -c 'PATH=\$(seq -f /nonexistent%g -s : 17):/usr/bin:/bin exec env \$(seq -f V%g=1 20000) true'"

# tree PROJECT: prints the pristine tree to copy for each build.
tree()
{
	local pkg orig src tarball

	eval "pkg=\$${1}_pkg orig=\$${1}_orig"
	if [ -z "$pkg" ]; then
		mkdir -p "$work/orig/$1"
		echo "$work/orig/$1"
		return
	fi
	src=$(fetch "$pkg")
	if [ -z "$orig" ]; then
		echo "${src%/}"
		return
	fi
	tarball=$(compgen -G "$work/src/${pkg}_*.orig.tar.*" | head -1)
	mkdir -p "$work/orig/$1"
	[ -n "$(ls "$work/orig/$1")" ] ||
	    tar xf "$tarball" -C "$work/orig/$1"
	compgen -G "$work/orig/$1/*/" | head -1 | sed 's|/$||'
}

# build VARIANT PROJECT: times one build from a fresh copy; prints its wall
# time and CPU time in seconds.
build()
{
	local v=$1 p=$2 src=$3 cmd pre real user sys
	local tree=$work/run/$p TIMEFORMAT='%3R %3U %3S' 

	rm -rf "$tree"
	mkdir -p "$work/run"
	cp -a "$src" "$tree"
	eval "cmd=\$${p}_build"
	case $v in
	bare) pre= ;;
	cctrace) pre="$cctrace" ;;
	cctrace-all) pre="$cctrace --all" ;;
	bear) pre="bear --" ;;
	strace) pre="strace -f -e trace=execve -o /dev/null" ;;
	strace-seccomp)
		pre="strace -f --seccomp-bpf -e trace=execve -o /dev/null" ;;
	esac
	{ time (cd "$tree" && export PWD="$tree" &&
	    eval "$pre $cmd" >/dev/null 2>&1) ||
	    echo "warning: $v build of $p failed" >&2; } 2> "$work/time"
	read -r real user sys < "$work/time"
	case $v in
	cctrace|cctrace-all|bear)
		if [ -f "$tree/compile_commands.json" ]; then
			grep -c '"file":' "$tree/compile_commands.json" \
			    > "$work/count.$p.$v" || true
		else
			echo 0 > "$work/count.$p.$v"
		fi
		;;
	esac
	echo "$real $user $sys" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

# median COLUMN: of the numbers in that column of the input.
median()
{
	awk -v c="$1" '{ print $c }' | sort -n | awk '{ v[NR] = $1 } END {
		if (NR % 2) print v[(NR + 1) / 2];
		else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "cctrace: $cctrace"
echo "rounds: $rounds; $(nproc) CPUs; $(uname -sr)"
for p in $projects; do
	src=$(tree "$p")
	echo
	echo "== $p ($(basename "$src")): $(eval echo "\$${p}_build")"
	rm -f "$work"/times.$p.* "$work"/count.$p.*
	for r in $(seq "$rounds"); do
		for v in $variants; do
			build $v $p "$src" >> "$work/times.$p.$v"
		done
	done
	base=$(median 1 < "$work/times.$p.bare")
	cbase=$(median 2 < "$work/times.$p.bare")
	for v in $variants; do
		m=$(median 1 < "$work/times.$p.$v")
		c=$(median 2 < "$work/times.$p.$v")
		printf "%-15s median %8.3f s  %5.2fx   cpu %8.3f s  %5.2fx" \
		    $v "$m" "$(echo "$m $base" | awk '{ print $1 / $2 }')" \
		    "$c" "$(echo "$c $cbase" | awk '{ print $1 / $2 }')"
		[ -f "$work/count.$p.$v" ] &&
		    printf "  entries %s" "$(cat "$work/count.$p.$v")"
		echo
	done
	if [ -f "$work/count.$p.cctrace" ] && [ -f "$work/count.$p.bear" ]; then
		ours=$(cat "$work/count.$p.cctrace")
		theirs=$(cat "$work/count.$p.bear")
		[ "$ours" = "$theirs" ] ||
		    echo "note: cctrace recorded $ours entries, bear $theirs"
	fi
done
rm -rf "$work/run"
