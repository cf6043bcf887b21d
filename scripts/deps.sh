#!/bin/sh
# Installs what building and testing cctrace needs and is not there yet:
# CMake, a C/C++ compiler, make, pkg-config, cJSON and GoogleTest; on Linux
# also clang and Ninja (CI's second build), clangd (which a test runs on
# the database cctrace writes) and ccache (whose runs a test traces).
#
# With an argument, what another script needs instead, from Debian's
# packages where they are at hand:
#   freebsd-vm  scripts/freebsd-test.sh: clang and lld to build for FreeBSD,
#               dpkg-dev to unpack cJSON's source, QEMU and xorriso to boot
#               the FreeBSD machine;
#   package     scripts/package.sh: the Debian packaging tools;
#   bench       bench/recall.sh: the compilers and build tools of the builds
#               it runs (re2's tables need python3-six and unicode-data),
#               ccache, strace, bear, dpkg-dev and python3.
set -eu

# The package manager's own output goes to this file, and only its end to
# the screen, on failure.
log=${TMPDIR:-/tmp}/cctrace-deps.log

# logged COMMAND ...: runs it with its output appended to $log.
logged()
{
	if ! "$@" >>"$log" 2>&1; then
		echo "deps.sh: '$*' failed; the end of $log:" >&2
		tail -n 20 "$log" >&2
		exit 1
	fi
}

# apt_missing [APT-GET OPTION ...] -- PACKAGE ...: installs the packages
# that are not installed yet.
apt_missing()
{
	opts=
	while [ "$1" != -- ]; do
		opts="$opts $1"
		shift
	done
	shift
	missing=
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
		    grep -q 'ok installed' || missing="$missing $p"
	done
	[ -n "$missing" ] || return 0
	echo "installing:$missing (output in $log)"
	logged apt-get update
	# shellcheck disable=SC2086
	logged env DEBIAN_FRONTEND=noninteractive apt-get install -y $opts \
	    $missing
}

case "${1:-}" in
freebsd-vm)
	command -v dpkg-query >/dev/null || exit 0
	apt_missing --no-install-recommends -- clang lld dpkg-dev \
	    qemu-system-x86 xorriso
	exit 0
	;;
package)
	apt_missing -- dpkg-dev debhelper lintian
	exit 0
	;;
bench)
	apt_missing -- make gcc g++ clang cmake ninja-build ccache strace bear \
	    dpkg-dev python3 python3-six unicode-data
	exit 0
	;;
esac

case "$(uname -s)" in
Linux)
	apt_missing -- cmake g++ gcc make pkg-config libcjson-dev libgtest-dev \
	    clang clangd ninja-build ccache
	;;
FreeBSD)
	missing=
	for p in cmake pkgconf libcjson googletest gmake; do
		pkg info -e "$p" || missing="$missing $p"
	done
	if [ -n "$missing" ]; then
		echo "installing:$missing (output in $log)"
		# shellcheck disable=SC2086
		logged pkg install -y $missing
	fi
	;;
*)
	echo "deps.sh: unsupported system $(uname -s)" >&2
	exit 1
	;;
esac
