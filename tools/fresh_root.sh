#!/usr/bin/env bash
# The README's main job on a machine that has nothing: a minimal Debian 12 root (debootstrap
# minbase, from the archive the machine's own apt sources name), cloned into and run there as
# root, with the main job's account checked run by run.
# The root is built once into a cache folder outside the clone; each run starts from a fresh
# copy of it. Usage: tools/fresh_root.sh   (VELORA_FRESH_ROOT_CACHE overrides the cache folder)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CACHE=${VELORA_FRESH_ROOT_CACHE:-/var/cache/velora-fresh-root}
SUITE=bookworm
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# The root shares the host's network: its main job takes turns on the port with the main jobs
# and tests here through the host's lock file.
PORT_LOCK=/tmp/velora-launcher-port-8443.lock

fail() {
  echo "fresh root: FAILED: $*"
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot and mount)"
command -v debootstrap >/dev/null || fail "debootstrap is not installed (bash tools/install_deps.sh installs it)"
[ -f "$KEYRING" ] || fail "$KEYRING is missing (Debian package debian-archive-keyring)"

# The first archive the machine's apt sources name for $SUITE (deb822 files and one-line lists).
archive_from_apt_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$SUITE" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") {
          split(uris, u, " "); print u[1]; found = 1; exit
        }
        types = ""; suites = ""; uris = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); sub(/^[^:]*:[ \t]*/, ""); }
      key == "types:" { types = $0 } key == "suites:" { suites = $0 } key == "uris:" { uris = $0 }
      END { if (!found) flush() }' "$f"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk -v suite="$SUITE" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) print $i }'
}
ARCHIVE=$(archive_from_apt_sources | awk 'NR == 1')
[ -n "$ARCHIVE" ] || fail "the machine's apt sources name no Debian archive for $SUITE"

# --- the cached root ------------------------------------------------------------------------
BASE=$CACHE/$SUITE-minbase
mkdir -p "$CACHE/runs"
exec 8>"$CACHE/.lock"
flock 8
if [ "$(cat "$BASE/.velora-archive" 2>/dev/null)" != "$ARCHIVE" ]; then
  echo "=== fresh root: debootstrap --variant=minbase $SUITE from $ARCHIVE into $BASE"
  rm -rf --one-file-system "$BASE" "$BASE.new"
  if ! debootstrap --variant=minbase --keyring="$KEYRING" "$SUITE" "$BASE.new" "$ARCHIVE" \
      > "$CACHE/debootstrap.log" 2>&1; then
    tail -n 20 "$CACHE/debootstrap.log"
    fail "debootstrap could not build the root from $ARCHIVE (log: $CACHE/debootstrap.log)"
  fi
  # A downloaded package index would make the first run skip what a new machine does.
  rm -rf "$BASE.new/var/lib/apt/lists/"* "$BASE.new/var/cache/apt/archives/"*.deb
  echo "$ARCHIVE" > "$BASE.new/.velora-archive"
  mv "$BASE.new" "$BASE"
fi

# --- a fresh copy of it ---------------------------------------------------------------------
# remove_run <run folder>: ends what runs in its root, unmounts and deletes it.
remove_run() {
  local run=$1 root=$1/root p m
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  # Deepest first.
  while read -r m; do
    umount -l "$m" 2>/dev/null || true
  done < <(awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts |
           sort -r)
  # Never delete through a mount that is still there (the host's /dev).
  if awk -v r="$root" '$2 == r || index($2, r "/") == 1 { found = 1 } END { exit !found }' \
      /proc/self/mounts; then
    echo "fresh root: $root still has mounts; left in place"
  else
    rm -rf --one-file-system "$run"
  fi
}
# Runs that were killed left their copy behind: a run holds its lock while it lives, and is
# made under the cache's lock.
for old in "$CACHE"/runs/run-*; do
  [ -d "$old" ] || continue
  if flock -n "$old/.lock" true 2>/dev/null || [ ! -e "$old/.lock" ]; then
    remove_run "$old"
  fi
done
RUN=$(mktemp -d "$CACHE/runs/run-XXXXXX")
exec 7>"$RUN/.lock"
flock 7
R=$RUN/root
trap 'remove_run "$RUN"' EXIT
cp -a "$BASE" "$R"
exec 8>&-

bind() { # bind <host path> <path in the root>
  if [ -d "$1" ]; then mkdir -p "$R$2"; else touch "$R$2"; fi
  mount --bind "$1" "$R$2"
}
# What every installed Debian has and a bare root lacks.
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' > "$R/etc/hosts"
cp -L /etc/resolv.conf "$R/etc/resolv.conf"
mount -t proc proc "$R/proc"
bind /dev /dev
if [ -d /dev/pts ]; then bind /dev/pts /dev/pts; fi
mount -t tmpfs -o mode=1777 tmpfs "$R/tmp"
[ -e "$PORT_LOCK" ] || { : > "$PORT_LOCK" && chmod 666 "$PORT_LOCK"; }
bind "$PORT_LOCK" "$PORT_LOCK"
# A chroot shares the host's services: no package may start one here.
printf '#!/bin/sh\nexit 101\n' > "$R/usr/sbin/policy-rc.d"
chmod +x "$R/usr/sbin/policy-rc.d"
# Downloaded packages and compiled objects are kept between runs: they change what is fetched
# and compiled, not what is installed or built.
mkdir -p "$CACHE/apt-archives/partial" "$CACHE/ccache"
bind "$CACHE/apt-archives" /var/cache/apt/archives
bind "$CACHE/ccache" /var/cache/velora-ccache

git clone -q "$ROOT" "$R/root/velora"
echo "=== fresh root: $(git -C "$R/root/velora" log -1 --format='%h %s' | cut -c1-72)"

OUT=$RUN/main_job.out
rc=0
start=$(date +%s)
timeout 840 chroot "$R" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 CCACHE_DIR=/var/cache/velora-ccache \
  bash -c 'cd /root/velora && bash tools/main_job.sh' < /dev/null > "$OUT" 2>&1 || rc=$?
echo "=== fresh root: main job ended with exit code $rc after $(( $(date +%s) - start )) s"

# --- its account ----------------------------------------------------------------------------
# Read by the lines' leading words only, so that other wording may change.
account=$(awk '
  /^=== run [0-9]+:/ { n++; code[n] = ""; player[n] = 0; updater[n] = 0; wrote[n] = 0; settings[n] = 1; next }
  n == 0 { next }
  /^launcher exit code: / { code[n] = $4 }
  /^started: Velora_Player\.exe / { player[n]++ }
  /^started: updater\.exe .*"6"/ { updater[n]++ }
  /^bytes written: updater\.exe/ && !/DIFFERENT/ { wrote[n] = 1 }
  /^settings\.ini: / && !/unchanged/ { settings[n] = 0 }
  END {
    ok = (n == 3)
    for (i = 1; i <= n; i++) {
      if (i == 2) want = (player[i] == 0 && updater[i] == 1 && wrote[i] == 1)
      else want = (player[i] == 1 && updater[i] == 0 && wrote[i] == 0)
      good = want && code[i] == "0" && settings[i]
      printf "run %d: exit code %s, player started %d, updater started %d, updater written %s, settings %s: %s\n",
        i, code[i] == "" ? "?" : code[i], player[i], updater[i], wrote[i] ? "yes" : "no",
        settings[i] ? "unchanged" : "CHANGED", good ? "ok" : "WRONG"
      ok = ok && good
    }
    if (n != 3) printf "%d runs in the account, 3 expected\n", n
    exit !ok
  }' "$OUT") || { [ "$rc" -ne 0 ] || rc=1; }
echo "$account"
if [ "$rc" -ne 0 ]; then
  echo "--- the main job's output"
  tail -n 80 "$OUT"
  fail "the main job on a fresh $SUITE root did not do what the README says"
fi
echo "fresh root: ok (no update, then the signed updater written and started, then the tampered one refused)"
