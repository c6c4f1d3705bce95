#!/usr/bin/env bash
# Installs what is missing, builds and runs the engine in the foreground. When no audio server
# answers (a headless machine), a private PulseAudio with a null sink and a sine source is
# started for the engine and stopped when it exits.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh release

source scripts/audio-servers.sh
if ! pactl info >/dev/null 2>&1 && ! jack_lsp >/dev/null 2>&1; then
  echo "No audio server answers; starting a private PulseAudio (null sink, 440 Hz sine source)."
  trap 'stop_private_pulse' EXIT
  start_private_pulse
  echo "Private PulseAudio at PULSE_SERVER=$PULSE_SERVER (record with: PULSE_SERVER=$PULSE_SERVER parec -d vantrell_main.monitor)"
fi
build/release/vantrell
