#!/usr/bin/env bash
# sanitize-tests.sh [address|thread|all]
#
# Runs the tests once more under the sanitizers, each build in a folder of its own:
# - address: every test program with AddressSanitizer and UndefinedBehaviorSanitizer
#   (build-asan/); any report fails the test that caused it;
# - thread: the scheduler's and the job's tests with ThreadSanitizer (build-tsan/): they run
#   real jobs on worker threads beside the driving thread.
# Debug builds (-O0): they compile much faster than optimised ones, which matters more here
# than how fast the tests then run. Expects the packages and corpora of ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
WHICH=${1:-all}
CORPORA="$PWD/build/corpora"
JOBS=$(nproc)

configure() {  # folder, sanitizers
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELVAN_SANITIZE="$2" -DZELVAN_BENCH=OFF \
    -DZELVAN_CORPORA_DIR="$CORPORA" >/dev/null
}

if [ "$WHICH" = address ] || [ "$WHICH" = all ]; then
  configure build-asan address,undefined
  cmake --build build-asan
  (cd build-asan &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      LSAN_OPTIONS=suppressions="$PWD/../scripts/lsan-suppressions.txt" \
      ctest --output-on-failure -j"$JOBS")
fi

if [ "$WHICH" = thread ] || [ "$WHICH" = all ]; then
  configure build-tsan thread
  cmake --build build-tsan --target test_jobs test_engine zelvan-cli rawdll
  (cd build-tsan &&
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --output-on-failure -j"$JOBS" -R '^(SchedulerTest|RealRun|ConversionJobTest)\.')
fi
