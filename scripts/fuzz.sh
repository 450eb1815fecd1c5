#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for SECONDS each (default 600)
# from the checked-in seeds in tests/fuzz/seeds/<target>/. New inputs that reach
# new code are kept in $FUZZ_CORPUS/<target>/ (default build-fuzz/corpus), never
# among the seeds. Stops at the first finding, printing the target, the saved
# input and how to replay it; exits non-zero then. FUZZ_FLAGS adds libFuzzer
# flags (e.g. "-jobs=2", or "-rss_limit_mb=64" to tighten a limit).
#   usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-600}
[ $# -gt 0 ] && shift
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
CORPUS=${FUZZ_CORPUS:-$BUILD/corpus}
JOBS="${JOBS:-$(nproc)}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/fuzz_*.cc; do
    targets+=("$(basename "$f" .cc)")
  done
fi

# Only the targets (and what they link) are built.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DKEMD_FUZZ=ON -DKEMD_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
ninja -C "$BUILD" -j "$JOBS" "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
passed=0
for name in "${targets[@]}"; do
  fuzzer="$BUILD/tests/fuzz/$name"
  [ -x "$fuzzer" ] || { echo "fuzz $name: no such target in $BUILD"; exit 2; }
  seeds=()
  if [ -d "tests/fuzz/seeds/$name" ]; then
    seeds=("tests/fuzz/seeds/$name")
  else
    echo "fuzz $name: no seeds in tests/fuzz/seeds/$name; starting from nothing"
  fi
  mkdir -p "$CORPUS/$name" "$BUILD/findings"
  log="$BUILD/$name.log"
  before=$(find "$CORPUS/$name" -type f | wc -l)
  if "$fuzzer" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$BUILD/findings/$name-" ${FUZZ_FLAGS:-} "$CORPUS/$name" "${seeds[@]}" \
      > "$log" 2>&1; then
    after=$(find "$CORPUS/$name" -type f | wc -l)
    echo "fuzz $name: ok (${SECONDS_EACH}s, corpus $before -> $after in $CORPUS/$name)"
    passed=$((passed + 1))
  else
    tail -n 60 "$log"
    input=$(grep -oE "Test unit written to \S+" "$log" | tail -n 1 | cut -d' ' -f5)
    echo "fuzz $name: FINDING; input ${input:-not saved}; replay: $fuzzer ${input:-}"
    [ -n "$input" ] && echo "input (base64): $(base64 -w0 "$input")"
    echo "fuzz: ${passed} passed, 1 failed (stopped at $name)"
    exit 1
  fi
done
echo "fuzz: ${passed} passed, 0 failed"
