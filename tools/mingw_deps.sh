#!/usr/bin/env bash
# Builds what the Windows test programs need beyond MinGW-w64's own packages: nettle, the
# codec tests' Twofish, CBC and CFB reference, cross-compiled from Debian's source package.
# Usage: tools/mingw_deps.sh <prefix>   (does nothing when <prefix> already holds it)
set -euo pipefail
PREFIX=${1:?usage: mingw_deps.sh <prefix>}
[ -f "$PREFIX/lib/libnettle.a" ] && [ -f "$PREFIX/lib/pkgconfig/nettle.pc" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! apt-get source --print-uris nettle >/dev/null 2>&1; then
  # Debian's source index, next to the binary one the machine already uses.
  $SUDO tee /etc/apt/sources.list.d/velora-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $SUDO apt-get update -qq
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
apt-get source --download-only nettle >/dev/null 2>&1
tar xzf nettle_*.orig.tar.gz
cd nettle-*/
./configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --prefix="$PREFIX" \
  --disable-public-key --disable-documentation --disable-shared --enable-static \
  --disable-assembler --disable-openssl >configure.log 2>&1 || { tail -n 30 configure.log; exit 1; }
make -j"${VELORA_JOBS:-2}" libnettle.a >make.log 2>&1 || { tail -n 30 make.log; exit 1; }
make install-headers install-static install-pkgconfig >/dev/null
echo "nettle for MinGW-w64 in $PREFIX"
