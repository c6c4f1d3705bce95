#!/usr/bin/env bash
# Builds the libFuzzer targets into build/fuzz (clang, AddressSanitizer and UBSan) and runs each one.
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
# SECONDS per target (default 30); 0 means no time limit, for example
#   scripts/fuzz.sh 0 -runs=10000000
# Each target keeps its growing corpus in build/fuzz/corpus-<target>, seeded from fuzz/corpus/<target>;
# a crash leaves its input as build/fuzz/crash-* and fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}; shift || true
cd "$root"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_FUZZ=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)"

status=0
for target in socket_stream console_command session_loader; do
  corpus=build/fuzz/corpus-$target
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=build/fuzz/)
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  echo "== fuzzing $target"
  # The engine's log lines go to the closed standard streams; libFuzzer keeps its own output.
  log=build/fuzz/$target.log
  "build/fuzz/fuzz/${target}_fuzzer" "${options[@]}" "$@" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=1
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec)|Done|==[0-9]+==|SUMMARY|Test unit written)' "$log" || true
done
exit $status
