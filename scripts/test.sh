#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds everything under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs the unit, component,
# process and lab tests, then builds the libFuzzer targets with clang and runs
# each for a bounded time. Any failure makes the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
JOBS="${JOBS:-$(nproc)}"

./scripts/install-deps.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== format"
git ls-files -- '*.cc' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== build (sanitizers)"
cmake -S . -B build-asan -G Ninja -DKEMD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build-asan -j "$JOBS"

echo "== tests"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900

echo "== fuzz targets (${FUZZ_SECONDS}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKEMD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build-fuzz -j "$JOBS"
passed=0
failed=0
for fuzzer in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "tests/fuzz/seeds/$name" ] && seeds=("tests/fuzz/seeds/$name")
  if "$fuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=0 "$corpus" "${seeds[@]}" > "build-fuzz/$name.log" 2>&1; then
    echo "fuzz $name: ok"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"
    tail -n 60 "build-fuzz/$name.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
