#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UBSan) and runs each one.
#   [VANTRELL_FUZZ_BUILD=DIR] scripts/fuzz.sh [SECONDS] [libFuzzer options...]
# DIR is the build folder (default build/fuzz); the test script passes its sanitizer build, which
# also holds the fuzz targets.
# SECONDS per target (default 30); 0 means no time limit, for example
#   scripts/fuzz.sh 0 -runs=10000000
# VANTRELL_FUZZ_TARGETS picks targets (default: socket_stream console_command session_loader); two
# runs with different targets and the same DIR may go side by side, one per core.
# Each target grows its corpus in $build/corpus-<target>, started afresh from fuzz/corpus/<target>
# (VANTRELL_FUZZ_RESUME=1 goes on from what the last run left there); a crash leaves its input as
# $build/crash-* and fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}; shift || true
cd "$root"
build=$(realpath -m "${VANTRELL_FUZZ_BUILD:-build/fuzz}")
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_FUZZ=ON \
  -DVANTRELL_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target socket_stream_fuzzer console_command_fuzzer session_loader_fuzzer

status=0
for target in ${VANTRELL_FUZZ_TARGETS:-socket_stream console_command session_loader}; do
  corpus=$build/corpus-$target
  # A run's speed and reach depend on the corpus it starts from: the same start, the same figures.
  [ "${VANTRELL_FUZZ_RESUME:-}" = 1 ] || rm -rf "$corpus"
  # Inputs save sessions under whatever names they spell, relative to the working folder: each
  # target runs in a scratch folder of its own, removed afterwards, so every path below is absolute.
  # In memory where possible: each save flushes its file to disk.
  mkdir -p "$corpus"
  scratch=$(mktemp -d /dev/shm/vantrell-fuzz-$target.XXXXXX 2>/dev/null || mktemp -d "$build/scratch-$target.XXXXXX")
  # libFuzzer counts as rare every feature hit fewer times than the threshold (255 by default) and
  # scans that list for each feature of each input run: as the corpus grows the list does, and the
  # scan took more of a grown corpus's time than the engine did (1,857 inputs a second against
  # 2,772 at 16, from the same grown corpus over 45 s). The rarest still weigh most in picking what to mutate.
  options=(-max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=$build/
           -entropic_feature_frequency_threshold=16)
  [ -f "$root/fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
  echo "== fuzzing $target"
  # The engine's log lines go to the closed standard streams; libFuzzer keeps its own output.
  log=$build/$target.log
  (cd "$scratch" && TMPDIR="$scratch" "$build/fuzz/${target}_fuzzer" "${options[@]}" "$@" "$corpus" "$root/fuzz/corpus/$target") \
    >"$log" 2>&1 || status=1
  rm -rf "$scratch"
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec)|Done|==[0-9]+==|SUMMARY|Test unit written)' "$log" || true
done
exit $status
