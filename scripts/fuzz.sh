#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for SECONDS each (default 600)
# from the checked-in seeds in tests/fuzz/seeds/<target>/. New inputs that reach
# new code are kept in $FUZZ_CORPUS/<target>/ (default build-fuzz/corpus), never
# among the seeds. After the first finding no new target starts; it prints the
# target, the saved input and how to replay it, and exits non-zero. Targets run
# side by side, one per core (JOBS). FUZZ_FLAGS adds libFuzzer
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
# Runs one target; its verdict goes to $BUILD/<target>.verdict.
fuzz_one() {
  local name=$1 fuzzer="$BUILD/tests/fuzz/$1" seeds=() log="$BUILD/$1.log" before after input
  if [ -d "tests/fuzz/seeds/$name" ]; then
    seeds=("tests/fuzz/seeds/$name")
  else
    echo "fuzz $name: no seeds in tests/fuzz/seeds/$name; starting from nothing"
  fi
  mkdir -p "$CORPUS/$name" "$BUILD/findings"
  before=$(find "$CORPUS/$name" -type f | wc -l)
  if "$fuzzer" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$BUILD/findings/$name-" ${FUZZ_FLAGS:-} "$CORPUS/$name" "${seeds[@]}" \
      > "$log" 2>&1; then
    after=$(find "$CORPUS/$name" -type f | wc -l)
    echo "fuzz $name: ok (${SECONDS_EACH}s, corpus $before -> $after in $CORPUS/$name)" \
      > "$BUILD/$name.verdict"
  else
    input=$(grep -oE "Test unit written to \S+" "$log" | tail -n 1 | cut -d' ' -f5 || true)
    {
      tail -n 60 "$log"
      echo "fuzz $name: FINDING; input ${input:-not saved}; replay: $fuzzer ${input:-}"
      [ -n "$input" ] && echo "input (base64): $(base64 -w0 "$input")"
    } > "$BUILD/$name.verdict"
    return 1
  fi
}

for name in "${targets[@]}"; do
  [ -x "$BUILD/tests/fuzz/$name" ] || { echo "fuzz $name: no such target in $BUILD"; exit 2; }
  rm -f "$BUILD/$name.verdict"
done

# As many targets at once as there are cores: each is single-threaded.
passed=0
failed=()
pids=()
names=()
next=0
while [ $next -lt ${#targets[@]} ] || [ ${#pids[@]} -gt 0 ]; do
  while [ $next -lt ${#targets[@]} ] && [ ${#pids[@]} -lt "$JOBS" ] && [ ${#failed[@]} -eq 0 ]; do
    fuzz_one "${targets[$next]}" &
    pids+=($!)
    names+=("${targets[$next]}")
    next=$((next + 1))
  done
  [ ${#pids[@]} -eq 0 ] && break
  wait -n "${pids[@]}" || true
  still=()
  still_names=()
  for i in "${!pids[@]}"; do
    if kill -0 "${pids[$i]}" 2> /dev/null; then
      still+=("${pids[$i]}")
      still_names+=("${names[$i]}")
    else
      wait "${pids[$i]}" && passed=$((passed + 1)) || failed+=("${names[$i]}")
      cat "$BUILD/${names[$i]}.verdict" 2> /dev/null || true
    fi
  done
  pids=("${still[@]}")
  names=("${still_names[@]}")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: ${passed} passed, ${#failed[@]} failed (${failed[*]}; no new target started after)"
  exit 1
fi
echo "fuzz: ${passed} passed, 0 failed"
