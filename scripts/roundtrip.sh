#!/usr/bin/env bash
# Round trip of a FaderValue request to its reply, p50 and p99 over 1000 requests with 4 streams
# running, on a private PulseAudio.   scripts/roundtrip.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
scripts/build.sh release >/dev/null
source scripts/audio-servers.sh
trap 'stop_private_pulse' EXIT
start_private_pulse
# The engine's socket and log paths are machine-wide: one user of them at a time.
flock /tmp/vantrell-e2e.lock python3 scripts/engine_driver.py roundtrip build/release/vantrell "$@"
