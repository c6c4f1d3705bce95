#!/usr/bin/env bash
# The engine against a real sound server (figures from one run each; see bench/serverbench.py):
#   bench/serverbench.sh cost [SECONDS]     module-loopback vs the engine, 1 and 8 streams (PulseAudio)
#   bench/serverbench.sh latency            click latency vs module-loopback at 20 ms, ring gaps (PulseAudio)
#   bench/serverbench.sh startup            start to the socket answering, 5 starts (PulseAudio)
#   bench/serverbench.sh restarts [COUNT]   server restarts under four streams (PulseAudio)
#   bench/serverbench.sh underruns [SECONDS] 256-frame stream, one core busy, real time off and on
#   bench/serverbench.sh glitch [FRAMES [SECONDS [STREAMS]]]  a tone through the engine, pacat | pacat and
#                                           module-loopback, quiet and one core busy: xruns, glitches heard
#   bench/serverbench.sh stall [FRAMES [STOPS]]  one stream stopped (SIGSTOP) for 4 to 16 ms, STOPS times each:
#                                           how many stops were heard, the engine vs pacat | pacat
#   bench/serverbench.sh attach [STREAMS [CYCLES]]  16 streams at 256 frames, recorders arriving at their
#                                           sinks' monitors and leaving: underflows, engine vs pacat | pacat
#   bench/serverbench.sh crowd [STREAMS [SECONDS]]  60 streams of 256 frames on one sink: share of real
#                                           time's periods each writes, CPU, the engine's server entries
#   bench/serverbench.sh scale [SECONDS]    16 streams at 128 frames with effects, JACK dummy (default 300 s)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command=${1:?cost, latency, startup, restarts, underruns, glitch, stall, attach, crowd or scale}; shift
[ -n "${VANTRELL_BINARY:-}" ] || [ -x build/release/vantrell ] || scripts/build.sh release >/dev/null
source scripts/audio-servers.sh
if [ "$command" = scale ]; then
  trap 'stop_private_jack' EXIT
  # Real-time scheduling where the machine grants it (root, or an rtprio limit), as a JACK user runs it.
  if [ -z "${VANTRELL_JACK_REALTIME+set}" ] && chrt -f 1 true 2>/dev/null; then export VANTRELL_JACK_REALTIME=1; fi
  # VANTRELL_JACK_REALTIME= (empty) asks for the server without it.
  if [ -n "${VANTRELL_JACK_REALTIME:-}" ]; then echo "jackd: real-time scheduling"; else echo "jackd: no real-time scheduling"; fi
  VANTRELL_JACK_PERIOD=128 start_private_jack
  unset PULSE_SERVER
else
  trap 'stop_private_pulse' EXIT
  start_private_pulse
fi
# The engine's socket, log and shared-memory paths are machine-wide: one user of them at a time.
flock /tmp/vantrell-e2e.lock python3 bench/serverbench.py "$command" "${VANTRELL_BINARY:-build/release/vantrell}" "$@"
