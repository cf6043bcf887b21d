# Sourced by the benchmarks: fetch PACKAGE prints the directory where
# Debian's source package PACKAGE is unpacked, $work/src/PACKAGE-VERSION,
# after fetching it with apt-get source the first time (which needs root to
# add the deb-src entries and update the lists).  $top is the source tree.

fetch()
{
	mkdir -p "$work/src"
	if ! compgen -G "$work/src/$1-[0-9]*/" >/dev/null; then
		if [ -z "${updated:-}" ]; then
			sh "$top/scripts/deb-src.sh"
			apt-get update -qq || echo "apt-get update had errors"
			command -v dpkg-source >/dev/null ||
			    DEBIAN_FRONTEND=noninteractive \
			    apt-get install -y -qq dpkg-dev
			updated=1
		fi
		# A mirror may lack the newest version: try each one listed.
		(cd "$work/src" && apt-get source -qq "$1" >&2) || {
			local ver
			for ver in $(apt-cache showsrc "$1" |
			    sed -n 's/^Version: //p' | sort -ru); do
				(cd "$work/src" &&
				    apt-get source -qq "$1=$ver" >&2) &&
				    break
			done
		}
	fi
	compgen -G "$work/src/$1-[0-9]*/" | head -1
}
