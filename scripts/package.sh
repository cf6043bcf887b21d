#!/bin/sh
# Makes the Debian package, build-deb/cctrace_<version>_amd64.deb, and
# checks it with lintian.  Installs the packaging tools and the build
# dependencies that are missing, checks that CMake's project version and
# debian/changelog agree, builds a clean copy of the tree with
# dpkg-buildpackage (which runs the tests) and prints lintian's report.
# Fails if lintian finds an error or a warning.
set -eu
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
sh scripts/deps.sh package
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
	apt-get update -qq
	apt-get build-dep -y -qq ./
fi

version=$(sed -n 's/^project(cctrace VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ -z "$version" ] || [ "$version" != "$changelog" ]; then
	echo "package.sh: CMakeLists.txt has version '$version'," \
	    "debian/changelog '$changelog'" >&2
	exit 1
fi

# dpkg-buildpackage leaves its products beside the tree it builds.
out=build-deb
src=$out/cctrace-$version
rm -rf "$out"
mkdir -p "$src"
tar -cf - --exclude=./.git --exclude='./build*' --exclude=./bench/work . |
    tar -xf - -C "$src"
(cd "$src" && dpkg-buildpackage -us -uc -b -j2)

deb=$out/cctrace_${version}_amd64.deb
echo "--- lintian $deb"
if lintian --display-info --fail-on error,warning "$deb"; then
	echo "--- lintian: no error, no warning"
else
	echo "--- lintian: failed" >&2
	exit 1
fi
