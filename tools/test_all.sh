#!/usr/bin/env bash
# Runs every test: the normal build, the sanitizer build, a short run of each fuzz harness, the
# Windows build under Wine and the main job on a minimal Debian 12 root; builds the Release
# configuration as a user's plain build compiles it, with warnings as errors. Installs what it
# needs first (Debian 12). A test that fails once has failed: nothing is run again.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash tools/install_deps.sh

# The compiler cache is shared by every clone on the machine: paths count from the clone.
export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1

FUZZ_SECONDS=${VELORA_FUZZ_SECONDS:-10}
JOBS=${VELORA_JOBS:-2}

# Dialog tests need a display; give them a virtual one when there is none.
run_with_display() {
  if [ -n "${DISPLAY:-}" ]; then
    "$@"
  else
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
  fi
}

status=0
for preset in linux linux-asan; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "=== test: $preset"
  if ! run_with_display ctest --preset "$preset" -j "$JOBS" --timeout 300; then
    status=1
  fi
done

# The README's main job as a new user runs it: on a minimal Debian 12 root, as root. Mostly
# downloads, installs and cached compiles, so it runs beside the Release and fuzz stages.
echo "=== fresh root: the main job on a minimal Debian 12 (beside the next two stages)"
mkdir -p "$ROOT/build"
FRESH_LOG=$ROOT/build/fresh-root.log
( start=$(date +%s); rc=0
  bash tools/fresh_root.sh || rc=$?
  echo "=== fresh root: $(( $(date +%s) - start )) s"
  exit $rc ) < /dev/null > "$FRESH_LOG" 2>&1 &
fresh_pid=$!

# Release is what a newcomer builds first; a warning only that build type shows must not come
# back unnoticed.
echo "=== build: linux-release (warnings as errors)"
cmake --preset linux-release >/dev/null
if ! cmake --build --preset linux-release -j "$JOBS"; then
  status=1
fi

echo "=== fuzz smoke runs (${FUZZ_SECONDS}s each)"
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "$JOBS" --target fuzz_all
fuzz_total=0
fuzz_failed=0
while IFS= read -r harness; do
  name=$(basename "$harness")
  corpus="$ROOT/build/linux-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$ROOT/fuzz/corpus/$name" ] && seeds=("$ROOT/fuzz/corpus/$name")
  fuzz_total=$((fuzz_total + 1))
  if "$harness" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 "$corpus" "${seeds[@]}" \
      > "$ROOT/build/linux-fuzz/$name.log" 2>&1; then
    echo "fuzz $name: ok"
  else
    echo "fuzz $name: FAILED (see build/linux-fuzz/$name.log)"
    tail -n 40 "$ROOT/build/linux-fuzz/$name.log"
    fuzz_failed=$((fuzz_failed + 1))
    status=1
  fi
done < <(find "$ROOT/build/linux-fuzz/fuzz" -maxdepth 1 -type f -executable -name '*_fuzz' | sort)
echo "fuzz: $((fuzz_total - fuzz_failed)) passed, $fuzz_failed failed"

# Ends before the Windows stage, whose tests run under Wine and take their time from the cores.
echo "=== fresh root (log: build/fresh-root.log)"
if ! wait "$fresh_pid"; then
  status=1
fi
cat "$FRESH_LOG"

# The Windows build: cross-compiled with MinGW-w64, every test run as a Windows program in one
# Wine session on a virtual display of its own (the task dialog test needs one).
windows_stage() {
  echo "=== build: mingw"
  bash tools/mingw_deps.sh "$ROOT/build/mingw-deps" || return 1
  cmake --preset mingw >/dev/null || return 1
  cmake --build --preset mingw -j "$JOBS" || return 1

  echo "=== test: mingw (under Wine)"
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  local xvfb=$! rc=0
  sleep 1
  (
    export DISPLAY=":$n"
    # shellcheck source=tools/wine_env.sh
    source tools/wine_env.sh
    trap wine_env_stop EXIT
    wine_env_start "$ROOT/build/mingw" || exit 1
    ctest --preset mingw -j "$JOBS" --timeout 300
  ) || rc=1
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  return $rc
}
if ! windows_stage; then
  status=1
fi

exit $status
