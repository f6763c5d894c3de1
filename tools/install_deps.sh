#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs; the one list both README commands install
# from. Usage: tools/install_deps.sh [main|all]
#   main  the build and the main job (tools/main_job.sh)
#   all   that and everything the tests need (tools/test_all.sh; the default)
# Does nothing when they are all present already.
set -euo pipefail
GROUP=${1:-all}

# The build of the launcher and velora-sign, and the main job's server, display and stubs.
MAIN=(
  build-essential cmake ninja-build pkg-config ccache
  libcurl4-openssl-dev zlib1g-dev libidn2-dev libssl-dev libpsl-dev publicsuffix
  python3 openssl libgtk-3-0 xvfb xauth xdotool
)
# The tests: the test frameworks, the sanitizer and fuzz builds, the Windows build under Wine,
# the proxy and Kerberos servers, and the fresh-root stage.
TESTS=(
  git clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  nettle-dev libgtk-3-dev libx11-dev
  curl tinyproxy krb5-kdc krb5-admin-server krb5-user
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 libgnutls30 fonts-wine
  debootstrap debian-archive-keyring
)
case $GROUP in
  main) PACKAGES=("${MAIN[@]}") ;;
  all) PACKAGES=("${MAIN[@]}" "${TESTS[@]}") ;;
  *) echo "usage: $0 [main|all]" >&2; exit 2 ;;
esac

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
