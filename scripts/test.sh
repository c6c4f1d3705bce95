#!/usr/bin/env bash
# Installs what is missing, builds, starts a private PulseAudio and runs every test:
# a short fuzzing run of the session loader, the release build (unit and end-to-end tests), then
# the unit tests under AddressSanitizer/UndefinedBehaviorSanitizer. The audio server is stopped on
# every way out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh release
scripts/build.sh asan -DCMAKE_BUILD_TYPE=Debug -DVANTRELL_SANITIZE=ON -DVANTRELL_BENCH=OFF
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_TSAN=ON -DVANTRELL_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$(nproc)" --target vantrell_tests
cmake -S . -B build/fuzz-sessions -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_FUZZ=ON -DVANTRELL_BENCH=OFF >/dev/null
cmake --build build/fuzz-sessions -j"$(nproc)" --target session_loader_fuzz

source scripts/audio-servers.sh
trap 'stop_private_pulse' EXIT
trap 'exit 130' INT TERM
start_private_pulse

# Tests that run audio and control threads against each other; ThreadSanitizer must be clean on them.
CONCURRENCY_TESTS='RealtimeSafety|EffectRealtime|ConcurrentLines|SocketTest'

status=0
# Before the test runners, so their summaries close the output. Needs no audio server.
echo "== session loader fuzzing (30 s)"
mkdir -p build/fuzz-sessions/corpus
build/fuzz-sessions/session_loader_fuzz -dict=fuzz/sessions.dict -close_fd_mask=3 -max_total_time=30 \
  -print_final_stats=1 build/fuzz-sessions/corpus fuzz/sessions-seeds || status=1
echo "== release build: all tests"
ctest --test-dir build/release --output-on-failure -j1 --timeout 300 || status=1
echo "== sanitizer build: unit tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j1 --timeout 300 -L unit || status=1
echo "== thread-sanitizer build: concurrency tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j1 --timeout 300 -L unit -R "$CONCURRENCY_TESTS" || status=1
exit $status
