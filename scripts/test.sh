#!/usr/bin/env bash
# Installs what is missing, checks the components for include cycles, builds everything twice
# (normal, and with AddressSanitizer and UndefinedBehaviorSanitizer), runs every test on both,
# then builds the fuzz targets with clang and runs each for a while. Any failure, sanitizer
# report or crash fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${ORVAN_FUZZ_SECONDS:-30}

bash scripts/setup.sh

# The project's components must not include each other in a cycle; nothing else runs until
# they don't. ORVAN_SKIP_CYCLE_CHECK=1 skips it, as a local aid while a cycle is being broken.
echo "== include cycles"
if [ "${ORVAN_SKIP_CYCLE_CHECK:-}" = 1 ]; then
  echo "skipped (ORVAN_SKIP_CYCLE_CHECK=1)"
elif ! python3 scripts/include_cycles.py; then
  echo "tests: 0 passed, 1 failed"
  exit 1
fi

passed=0 failed=0
run_ctest() {  # build-dir
  local log=$1/ctest.log status=0
  (cd "$1" && ctest -j"$jobs" --output-on-failure --timeout 600) 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -n "$line" ]; then
    local total fail
    fail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - fail)); failed=$((failed + fail))
  else
    failed=$((failed + 1))
  fi
  return $status
}

status=0

echo "== normal build"
cmake -S . -B build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j"$jobs"
run_ctest build/normal || status=1

echo "== sanitizer build"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DORVAN_SANITIZE=ON -DORVAN_BENCH=OFF >/dev/null
cmake --build build/sanitize -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build/sanitize || status=1

# The card resource's workers under ThreadSanitizer: only its tests, so the stage stays short.
echo "== thread sanitizer (card resource)"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DORVAN_TSAN=ON -DORVAN_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$jobs" --target dravo_pci_resource_test
# halt_on_error: any report fails the test.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd build/tsan && ctest -R '^dravo_pci_resource_test$' --output-on-failure --timeout 600) 2>&1 | tee build/tsan/ctest.log || status=1
if grep -qE '^100% tests passed' build/tsan/ctest.log; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); status=1
fi

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVAN_FUZZ=ON >/dev/null
cmake --build build/fuzz -j"$jobs"
mapfile -t fuzzers < build/fuzz/fuzzers.txt
run_fuzzer() {  # name: runs it, leaves its exit status in build/fuzz/NAME.status
  local fuzzer=$1 corpus=$root/build/fuzz/corpus/$1 seeds=() bin
  mkdir -p "$corpus"
  [ -d "tests/fuzz/seeds/$fuzzer" ] && seeds=("$root/tests/fuzz/seeds/$fuzzer")
  bin=$(find build/fuzz -type f -name "$fuzzer" -perm -u+x | head -1)
  local rc=0
  (cd build/fuzz && "$root/$bin" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
     -artifact_prefix="$root/build/fuzz/$fuzzer-" "$corpus" "${seeds[@]}") \
     > "build/fuzz/$fuzzer.log" 2>&1 || rc=$?
  echo $rc > "build/fuzz/$fuzzer.status"
}
# Half the cores at once, so the machine stays responsive.
parallel=$(( jobs > 1 ? jobs / 2 : 1 ))
for fuzzer in "${fuzzers[@]}"; do
  [ -n "$fuzzer" ] || continue
  rm -f "build/fuzz/$fuzzer.status"
  run_fuzzer "$fuzzer" &
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
done
wait
for fuzzer in "${fuzzers[@]}"; do
  [ -n "$fuzzer" ] || continue
  if [ "$(cat "build/fuzz/$fuzzer.status" 2>/dev/null)" = 0 ]; then
    echo "fuzz $fuzzer: ok ($(grep -Eo 'Done [0-9]+ runs' "build/fuzz/$fuzzer.log" | tail -1))"
    passed=$((passed + 1))
  else
    echo "fuzz $fuzzer: FAILED"; tail -60 "build/fuzz/$fuzzer.log"
    failed=$((failed + 1)); status=1
  fi
done

echo "tests: $passed passed, $failed failed"
exit $status
