#!/bin/sh
# Installs what building and testing cctrace needs and is not there yet:
# CMake, a C/C++ compiler, make, pkg-config, cJSON and GoogleTest; on Linux
# also clang and Ninja (CI's second build) and clangd (which a test runs on
# the database cctrace writes).
#
# With the argument "freebsd-vm", what scripts/freebsd-test.sh needs
# instead, from Debian's packages where they are at hand: clang and lld to
# build for FreeBSD, dpkg-dev to unpack cJSON's source, QEMU and xorriso to
# boot the FreeBSD machine.
set -eu

if [ "${1:-}" = freebsd-vm ]; then
	command -v dpkg-query >/dev/null || exit 0
	missing=
	for p in clang lld dpkg-dev qemu-system-x86 xorriso; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
		    grep -q 'ok installed' || missing="$missing $p"
	done
	if [ -n "$missing" ]; then
		echo "installing:$missing"
		apt-get update -qq
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
		    --no-install-recommends $missing
	fi
	exit 0
fi

case "$(uname -s)" in
Linux)
	missing=
	for p in cmake g++ gcc make pkg-config libcjson-dev libgtest-dev \
		    clang clangd ninja-build; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
		    grep -q 'ok installed' || missing="$missing $p"
	done
	if [ -n "$missing" ]; then
		echo "installing:$missing"
		apt-get update -qq
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
	fi
	;;
FreeBSD)
	missing=
	for p in cmake pkgconf libcjson googletest gmake; do
		pkg info -e "$p" || missing="$missing $p"
	done
	if [ -n "$missing" ]; then
		echo "installing:$missing"
		pkg install -y $missing
	fi
	;;
*)
	echo "deps.sh: unsupported system $(uname -s)" >&2
	exit 1
	;;
esac
