#!/bin/sh
# Adds a deb-src twin of every enabled apt source, unless one is there, so
# that `apt-get source` can fetch Debian's source packages.  Run as root;
# apt-get update is left to the caller.
set -eu

if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list \
    /etc/apt/sources.list.d/; then
	exit 0
fi
out=/etc/apt/sources.list.d/cctrace-src
echo "adding deb-src entries mirroring the apt sources"
for f in /etc/apt/sources.list.d/*.sources; do
	[ -e "$f" ] || continue
	# deb822 stanzas: same URIs, suites and keys, source type.
	awk '/^Types:/ { print "Types: deb-src"; next } { print }' "$f"
	echo
done > "$out.sources"
[ -s "$out.sources" ] || rm -f "$out.sources"
cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -n 's/^deb[[:space:]]/deb-src /p' > "$out.list"
[ -s "$out.list" ] || rm -f "$out.list"
