#!/usr/bin/env bash
# Runs every test: the normal build, the sanitizer build, and a short run of each fuzz harness.
# Installs what it needs first (Debian 12).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash tools/install_deps.sh

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

exit $status
