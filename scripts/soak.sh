#!/usr/bin/env bash
# Soak: the engine on a private PulseAudio with 4 streams, a client that reconnects often with random
# valid and invalid requests, and the console changing the same streams, for SECONDS (default 600).
# Prints requests served, resident memory and descriptors at start and end, and the tone at the sink;
# fails if the engine died, memory or descriptors grew, or the tone is gone.   scripts/soak.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
scripts/build.sh release >/dev/null
source scripts/audio-servers.sh
trap 'stop_private_pulse' EXIT
start_private_pulse
# The engine's socket and log paths are machine-wide: one user of them at a time.
flock /tmp/vantrell-e2e.lock python3 scripts/engine_driver.py soak build/release/vantrell "$@"
