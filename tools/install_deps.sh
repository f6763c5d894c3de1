#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the main job need.
# Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache git clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  libcurl4-openssl-dev zlib1g-dev libidn2-dev nettle-dev libssl-dev libgtk-3-dev libx11-dev
  libpsl-dev publicsuffix
  python3 openssl curl xvfb xauth xdotool tinyproxy krb5-kdc krb5-admin-server krb5-user
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 libgnutls30 fonts-wine
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
