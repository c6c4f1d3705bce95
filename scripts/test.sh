#!/usr/bin/env bash
# Installs what is missing, builds, starts a private PulseAudio and runs every test:
# the libFuzzer targets for 30 s each, the release build (unit, end-to-end and package tests, and the
# end-to-end tests of streams, lost devices and server loss once more on a private PipeWire), the
# unit tests and the end-to-end tests of the failure paths under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the concurrency tests under ThreadSanitizer.
# The audio servers are stopped on every way out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh release
# One clang build serves the sanitizer run of the unit tests and the fuzz targets. It builds only what
# runs there: the unit tests, the end-to-end tests (they build the engine) and the fuzz targets.
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_SANITIZE=ON \
  -DVANTRELL_FUZZ=ON -DVANTRELL_BENCH=OFF >/dev/null
cmake --build build/asan -j"$(nproc)" --target vantrell_tests vantrell_e2e_tests socket_stream_fuzzer \
  console_command_fuzzer session_loader_fuzzer
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_TSAN=ON -DVANTRELL_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$(nproc)" --target vantrell_tests

source scripts/audio-servers.sh
trap 'stop_private_pipewire; stop_private_pulse' EXIT
trap 'exit 130' INT TERM
start_private_pulse

# The tests choose their own socket paths; one exported in the caller's shell must not leak in.
unset VANTRELL_SOCKET
status=0
# Before the test runners, so their summaries close the output. Needs no audio server.
echo "== fuzzing: a short run of each target"
VANTRELL_FUZZ_BUILD=build/asan scripts/fuzz.sh 30 -detect_leaks=0 || status=1
echo "== release build: all tests"
ctest --test-dir build/release --output-on-failure -j1 --timeout 300 -LE concurrency || status=1
# The tests of a stream, a lost device and a server restart again on PipeWire's PulseAudio server,
# as current desktops run it (about a minute), and the PipeWire back end's contract and own tests
# (they skip without it).
echo "== release build: stream, lost device and server restart on PipeWire"
pulse_server=$PULSE_SERVER
if start_private_pipewire; then
  ctest --test-dir build/release --output-on-failure -j1 --timeout 300 -L e2e \
    -R '^(EngineAudioTest\.|BackEnds/BackEnd(Streams|Disconnect)\.|BackEnds/BackEnd(Devices|Refusals)\..*/pipewire$|DeviceLossProtocolTest\.|ServerLossTest\.|SoundServerTest\.(ASink|AnUnderflow)|PipeWireBackEndTest\.|PipeWireRealtimeTest\.)' ||
    status=1
  # The engine's own audio tests once more on the PipeWire back end, over the graph's own protocol.
  PIPEWIRE_RUNTIME_DIR=$VANTRELL_PIPEWIRE_DIR VANTRELL_AUDIO=pipewire \
    ctest --test-dir build/release --output-on-failure -j1 --timeout 300 -L e2e -R '^EngineAudioTest\.' || status=1
else
  status=1
fi
stop_private_pipewire
export PULSE_SERVER=$pulse_server
echo "== sanitizer build: unit tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j1 --timeout 300 -L unit || status=1
# Every end-to-end test under the sanitizers would double the run; these cover the failure paths
# (server loss and return, refused rates, lost devices, streams without an output buffer).
echo "== sanitizer build: end-to-end tests of the failure paths"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j1 --timeout 300 -L e2e -R 'ServerLoss|DeviceLoss|Startup' || status=1
echo "== thread-sanitizer build: concurrency tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j1 --timeout 300 -L concurrency || status=1
exit $status
