#!/usr/bin/env bash
# The whole test suite: installs what is missing, checks the formatting, builds
# everything under AddressSanitizer and UndefinedBehaviorSanitizer with warnings
# as errors, runs the unit, component, process and lab tests, then builds the
# libFuzzer targets with clang and runs each for FUZZ_SECONDS (default 20, one
# per core at a time) from the checked-in seeds. Ends with one line of counts; any failure makes the
# script exit non-zero.
set -uo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
JOBS="${JOBS:-$(nproc)}"
start=$SECONDS
failures=()

./scripts/install-deps.sh || { echo "install-deps.sh failed"; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== format"
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  git ls-files -z -- '*.cc' '*.h' | xargs -0 -r clang-format --dry-run --Werror
else
  echo "(not a git checkout: checking every .cc and .h outside build directories)"
  find . \( -path './build*' -o -path './.*' \) -prune -o \( -name '*.cc' -o -name '*.h' \) \
    -print0 | xargs -0 -r clang-format --dry-run --Werror
fi || failures+=(format)

echo "== build (sanitizers)"
cmake -S . -B build-asan -G Ninja -DKEMD_SANITIZE=ON -DKEMD_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build-asan -j "$JOBS" || {
  echo "build failed"
  exit 1
}

echo "== tests"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900 2>&1 |
  tee build-asan/ctest.log
[ "${PIPESTATUS[0]}" -eq 0 ] || failures+=(tests)
tests_line=$(grep -E 'tests passed, [0-9]+ tests failed out of' build-asan/ctest.log | tail -n 1)

echo "== fuzz targets (${FUZZ_SECONDS}s each)"
bash scripts/fuzz.sh "$FUZZ_SECONDS" 2>&1 | tee build-asan/fuzz.log
[ "${PIPESTATUS[0]}" -eq 0 ] || failures+=(fuzz)
fuzz_line=$(grep -E '^fuzz: ' build-asan/fuzz.log | tail -n 1)

echo "== summary after $((SECONDS - start)) s"
grep -A 100 'The following tests FAILED' build-asan/ctest.log || true
echo "tests: ${tests_line:-no ctest summary}"
echo "${fuzz_line:-fuzz: not run (build failed)}"
if [ "${#failures[@]}" -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all passed"
