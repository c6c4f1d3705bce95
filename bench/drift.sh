#!/usr/bin/env bash
# A stream from an input whose clock runs PPM parts per million fast (negative: slow) to a 48000 Hz
# null sink, for SECONDS; prints the click spacing at the sink and how the delay moved. "cost" in
# place of PPM compares the engine's CPU at +500 ppm, the stream passed one to one and followed.
#   bench/drift.sh PPM SECONDS [FRAMES]      for example: bench/drift.sh 500 600
#   bench/drift.sh cost SECONDS [FRAMES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ $# -ge 2 ] || { sed -n 2,6p "$0"; exit 2; }
[ -n "${VANTRELL_BINARY:-}" ] || [ -x build/release/vantrell ] || scripts/build.sh release >/dev/null
source scripts/audio-servers.sh
trap 'stop_private_pulse' EXIT
start_private_pulse
flock /tmp/vantrell-e2e.lock python3 bench/drift.py "${VANTRELL_BINARY:-build/release/vantrell}" "$@"
