#!/usr/bin/env bash
# The main job: builds the launcher for a local HTTPS product server (https://localhost:8443,
# trusting a CA made here), serves the version document and the updater from that server, and
# runs the launcher in a temporary home through the no-update path and the update path, telling
# what it started with which parameters and what it wrote. The build checks signed updates with a
# demo key made here at build time (never committed); a last run serves a tampered updater.
# Installs what it needs (Debian 12).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PORT=8443
BUILD=${VELORA_MAIN_JOB_BUILD:-$ROOT/build/main-job}
PYTHON=/usr/bin/python3

# --- packages --------------------------------------------------------------------------------
bash tools/install_deps.sh main

# --- build -----------------------------------------------------------------------------------
CA=$BUILD/test-ca
sh tests/support/make_test_ca.sh "$CA"
DEMO_KEY=$BUILD/demo-key/demo.key
DEMO_PUB=$BUILD/demo-key/demo.pub
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELORA_SERVER="https://localhost:$PORT" -DVELORA_SERVICE_API_SERVER="https://localhost:$PORT" \
  -DVELORA_EXTRA_CA_FILE="$CA/ca.pem" -DVELORA_UPDATE_PUBLIC_KEYS="$DEMO_PUB" \
  -DVELORA_BUILD_TESTS=OFF -DVELORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target velora-sign -j "${VELORA_JOBS:-2}" | tail -n 1
SIGN=$BUILD/tools/velora-sign
if [ ! -f "$DEMO_KEY" ]; then
  mkdir -p "$(dirname "$DEMO_KEY")"
  "$SIGN" keygen --private "$DEMO_KEY" --public "$DEMO_PUB"
fi
echo "=== building Velora_Launcher for https://localhost:$PORT, update key $DEMO_PUB"
cmake --build "$BUILD" --target Velora_Launcher -j "${VELORA_JOBS:-2}" | tail -n 1
LAUNCHER=$BUILD/launcher/Velora_Launcher

# --- the temporary home, the stubs and the server --------------------------------------------
WORK=$(mktemp -d /tmp/velora-main-job-XXXXXX)
SERVER_PID=""
XVFB_PID=""
CLOSER_PID=""
cleanup() {
  for pid in $CLOSER_PID $SERVER_PID $XVFB_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

HOME_DIR=$WORK/home
DATA=$HOME_DIR/.local/share
INSTALL=$DATA/"Velora Player"
mkdir -p "$INSTALL" "$WORK/served"
LOG=$WORK/started.log

# A stub records how it was started; "exit" keeps the shell from reading the updater's padding.
STUB='#!/bin/sh
{ printf "%s" "$(basename "$0") ($(wc -c < "$0") bytes) started with $# parameter(s):"
  for a in "$@"; do printf " \"%s\"" "$a"; done; echo; } >> "$VELORA_STUB_LOG"
exit 0'
printf '%s\n' "$STUB" > "$INSTALL/Velora_Player.exe"
chmod +x "$INSTALL/Velora_Player.exe"
printf '[Velora Player]\r\nLocalVersion=5\r\n' > "$INSTALL/settings.ini"
# The served updater: the stub and 2 MiB of padding, so the copy takes several chunks. Its
# signature document is made for version 6 with the demo key; the tampered copy differs in one
# byte of the padding.
SERVED=$WORK/served/updater.exe
{ printf '%s\n' "$STUB"; head -c 2097152 /dev/urandom; } > "$SERVED"
"$SIGN" sign --key "$DEMO_KEY" --version 6 --output "$SERVED.sig" "$SERVED"
cp "$SERVED" "$WORK/served/tampered.exe"
printf '\001' | dd of="$WORK/served/tampered.exe" bs=1 seek=1000000 conv=notrunc status=none

# routes <version> [<updater file served>]
routes() {
  cat > "$WORK/routes.json" <<JSON
{"/library/controllers/velora-softwareversion": {"status": 200, "body": "$1\r\n"},
 "/library/controllers/software/updater.exe": {"status": 200, "body_file": "${2:-$SERVED}"},
 "/library/controllers/software/updater.exe.sig": {"status": 200, "body_file": "$SERVED.sig"}}
JSON
}
routes 5
# The port is fixed: main jobs and test runs elsewhere on this machine take turns on it.
exec 9>"/tmp/velora-launcher-port-$PORT.lock"
flock -n 9 || { echo "=== port $PORT in use by another run here: waiting for it"; flock 9; }
"$PYTHON" tests/support/https_server.py --port "$PORT" --cert "$CA/server.pem" \
  --key "$CA/server.key" --routes "$WORK/routes.json" --log "$WORK/requests.jsonl" \
  > "$WORK/server.out" 2> "$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 1 100); do
  grep -q '^READY' "$WORK/server.out" 2>/dev/null && break
  kill -0 "$SERVER_PID" 2>/dev/null || { cat "$WORK/server.err"; echo "server did not start (port $PORT busy?)"; exit 1; }
  sleep 0.1
done
echo "=== local HTTPS product server on https://localhost:$PORT/library/controllers/"

# --- a display for the message ---------------------------------------------------------------
if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3> "$WORK/display" 2>/dev/null &
  XVFB_PID=$!
  for _ in $(seq 1 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
  [ -s "$WORK/display" ] || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=":$(head -n 1 "$WORK/display")"
  echo "=== no display: started Xvfb on $DISPLAY"
fi

sha() { sha256sum "$1" | cut -d' ' -f1; }
SETTINGS_SHA=$(sha "$INSTALL/settings.ini")

run_launcher() {
  : > "$LOG"
  : > "$WORK/requests.jsonl"
  : > "$WORK/closed"
  # Close the information message with the Return key once it is on the screen (GTK takes keys
  # only in the focused window). Runs until the launcher has ended.
  ( while :; do
      wid=$(xdotool search --onlyvisible --name '^Information$' 2>/dev/null | head -n 1) || true
      if [ -n "$wid" ]; then
        sleep 0.5
        timeout 5 xdotool windowfocus --sync "$wid" key Return 2>/dev/null &&
          echo yes > "$WORK/closed"
      fi
      sleep 0.2
    done ) &
  CLOSER_PID=$!
  local start end status=0
  start=$(date +%s%N)
  timeout 300 env -i PATH=/usr/bin:/bin HOME="$HOME_DIR" DISPLAY="$DISPLAY" ${XAUTHORITY:+XAUTHORITY="$XAUTHORITY"} \
    VELORA_STUB_LOG="$LOG" "$LAUNCHER" > "$WORK/launcher.out" 2>&1 || status=$?
  end=$(date +%s%N)
  kill "$CLOSER_PID" 2>/dev/null || true
  wait "$CLOSER_PID" 2>/dev/null || true
  CLOSER_PID=""
  for _ in $(seq 1 100); do [ -s "$LOG" ] && break; sleep 0.05; done
  sleep 0.2

  echo "launcher exit code: $status ($(( (end - start) / 1000000 )) ms)"
  "$PYTHON" - "$WORK/requests.jsonl" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    print(f"request: {r['method']} {r['path']}")
PY
  if [ -s "$WORK/closed" ]; then
    echo "information message: shown, closed with the Return key"
  else
    echo "information message: not shown"
  fi
  if [ -s "$LOG" ]; then
    sed 's/^/started: /' "$LOG"
  else
    echo "started: nothing"
  fi
  if grep -q '"/library/controllers/software/updater.exe.sig"' "$WORK/requests.jsonl"; then
    if grep -q '^updater.exe ' "$LOG"; then
      echo "signature: updater.exe.sig asked for first and verified by the launcher (version, size and SHA-256 match, signed with the demo key); the updater was written and started"
    else
      echo "signature: updater.exe.sig refused by the launcher; no updater.exe written, the player started instead"
    fi
  else
    echo "signature: not asked for"
  fi
  if [ -f "$INSTALL/updater.exe" ]; then
    local written served
    written=$(wc -c < "$INSTALL/updater.exe")
    served=$(wc -c < "$SERVED")
    if [ "$(sha "$INSTALL/updater.exe")" = "$(sha "$SERVED")" ]; then
      echo "bytes written: updater.exe, $written bytes, identical to the $served served"
    else
      echo "bytes written: updater.exe, $written bytes, DIFFERENT from the $served served"
    fi
  else
    echo "bytes written: none (no updater.exe)"
  fi
  if [ "$(sha "$INSTALL/settings.ini")" = "$SETTINGS_SHA" ]; then
    echo "settings.ini: unchanged"
  else
    echo "settings.ini: CHANGED"
  fi
}

echo
echo "=== run 1: installed version 5, server version 5 (no update)"
routes 5
run_launcher
echo
echo "=== the release: updater.exe.sig, made with velora-sign and the demo key"
sed 's/^/  /' "$SERVED.sig"
"$SIGN" verify --keys "$DEMO_PUB" --version 6 "$SERVED" "$SERVED.sig"
echo
echo "=== run 2: installed version 5, server version 6 (update, signed updater)"
routes 6
run_launcher
rm -f "$INSTALL/updater.exe"
echo
echo "=== run 3: installed version 5, server version 6, the served updater tampered with (one byte)"
routes 6 "$WORK/served/tampered.exe"
run_launcher
