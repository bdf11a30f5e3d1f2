#!/bin/sh
# Unpacks Debian's musl-dev:i386 into .cache/musl-i386 of the source tree,
# where the router's build (cmake/i386-static.cmake) finds musl's headers,
# start files and libc.a. Unpacked, not installed: the installed package
# depends on Debian's i686 cross compilers, which cannot be installed beside
# g++-multilib, and the i386 unit tests are built with g++-multilib.
# Needs the i386 architecture (dpkg --add-architecture i386; apt-get update).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$top/.cache/musl-i386
[ -f "$dest/usr/lib/i386-linux-musl/libc.a" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chown _apt "$work" 2>/dev/null || true  # apt fetches as the user _apt
(cd "$work" && apt-get download -qq musl-dev:i386)
mkdir -p "$(dirname "$dest")"
rm -rf "$dest.new"
dpkg-deb -x "$work"/musl-dev_*_i386.deb "$dest.new"
rm -rf "$dest"
mv "$dest.new" "$dest"
echo "unpack_musl_i386.sh: musl-dev:i386 unpacked into $dest"
