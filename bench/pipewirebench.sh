#!/usr/bin/env bash
# CPU of one route on the PipeWire back end against pw-loopback between the same nodes (the tone
# source to the main sink), at a forced quantum, in the same run of a private PipeWire: the client's
# CPU and the daemon's, the session manager's and pipewire-pulse's, from /proc/<pid>/stat.
#   bench/pipewirebench.sh [SECONDS [QUANTUM]]    (default 15 s at 256 frames; the route's period = QUANTUM)
# Run it under /work/tools/isolated or on a machine without a PipeWire of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-15}
quantum=${2:-256}
route=${VANTRELL_PIPEWIRE_ROUTE:-build/release/bench/vantrell_pipewire_route}
[ -x "$route" ] || cmake --build build/release -j2 --target vantrell_pipewire_route >/dev/null
source scripts/audio-servers.sh
trap 'stop_private_pipewire' EXIT
start_private_pipewire
export PIPEWIRE_RUNTIME_DIR=$VANTRELL_PIPEWIRE_DIR
pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
group=$(cat "$VANTRELL_PIPEWIRE_DIR/pid")
server_pids() { ps -o pid=,comm= -g "$group" | awk '$2 ~ /^(pipewire|wireplumber|pipewire-pulse)$/ { print $1 "=" $2 }'; }

ticks() { # pid: utime + stime
  awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

# Runs "$@" in the background for $seconds after a second to settle; prints each process's share
# of one core in percent.
measure() { # label command...
  local label=$1; shift
  "$@" >"$VANTRELL_PIPEWIRE_DIR/client.out" 2>&1 &
  local client=$!
  sleep 1
  local entries=("$client=client" $(server_pids)) before=() after=() entry
  for entry in "${entries[@]}"; do before+=("$(ticks "${entry%%=*}")"); done
  local start=$EPOCHREALTIME
  sleep "$seconds"
  for entry in "${entries[@]}"; do after+=("$(ticks "${entry%%=*}")"); done
  local elapsed; elapsed=$(echo "$EPOCHREALTIME - $start" | bc -l)
  kill "$client" 2>/dev/null || true
  wait "$client" 2>/dev/null || true
  local hz; hz=$(getconf CLK_TCK)
  local line="$label:" total=0 share i
  for i in "${!entries[@]}"; do
    share=$(echo "(${after[$i]} - ${before[$i]}) * 100 / $hz / $elapsed" | bc -l)
    total=$(echo "$total + $share" | bc -l)
    line+=$(printf ' %s %.2f%%' "${entries[$i]#*=}" "$share")
  done
  printf '%s; total %.2f%% of a core\n' "$line" "$total"
}

echo "quantum $quantum, $seconds s each"
measure pw-loopback pw-loopback -c 2 -C "$VANTRELL_SINE" -P "$VANTRELL_SINK_MAIN"
measure "engine back end" "$route" $((seconds + 5)) "$quantum"
grep -h periods "$VANTRELL_PIPEWIRE_DIR/client.out" || true
