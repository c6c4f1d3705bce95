#!/usr/bin/env bash
# CPU of one route against pw-loopback between the same nodes (the tone source to the main sink), at
# a forced quantum, in the same run of a private PipeWire: pw-loopback, the PipeWire back end alone
# (a small driver), the engine on it and the engine on pipewire-pulse; each with the daemon's, the
# session manager's and pipewire-pulse's CPU, from /proc/<pid>/stat.
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
  measure_pid "$label" "$client"
  kill "$client" 2>/dev/null || true
  wait "$client" 2>/dev/null || true
}

# The share of a core of process `pid` and of the servers over $seconds.
measure_pid() { # label pid
  local label=$1 client=$2
  local entries=("$client=client" $(server_pids)) before=() after=() entry
  for entry in "${entries[@]}"; do before+=("$(ticks "${entry%%=*}")"); done
  local start=$EPOCHREALTIME
  sleep "$seconds"
  for entry in "${entries[@]}"; do after+=("$(ticks "${entry%%=*}")"); done
  local elapsed; elapsed=$(echo "$EPOCHREALTIME - $start" | bc -l)
  local hz; hz=$(getconf CLK_TCK)
  local line="$label:" total=0 share i
  for i in "${!entries[@]}"; do
    share=$(echo "(${after[$i]} - ${before[$i]}) * 100 / $hz / $elapsed" | bc -l)
    total=$(echo "$total + $share" | bc -l)
    line+=$(printf ' %s %.2f%%' "${entries[$i]#*=}" "$share")
  done
  printf '%s; total %.2f%% of a core\n' "$line" "$total"
}

# The engine itself on back end $1 (pipewire, or pulse through pipewire-pulse): one stream from the
# tone to the main sink, a period of one quantum, its default chain.
measure_engine() { # back end
  local ctl=build/release/vantrellctl fifo=$VANTRELL_PIPEWIRE_DIR/console.$1
  export VANTRELL_SOCKET=$VANTRELL_PIPEWIRE_DIR/vantrell.sock
  mkfifo "$fifo"
  VANTRELL_AUDIO=$1 build/release/vantrell <"$fifo" >"$VANTRELL_PIPEWIRE_DIR/engine.$1.log" 2>&1 &
  local engine=$! console
  exec {console}>"$fifo"
  for _ in $(seq 100); do "$ctl" devices >/dev/null 2>&1 && break; sleep 0.1; done
  local input output
  input=$("$ctl" devices | awk '$1 == "input" && /Sine source/ { print $2; exit }')
  output=$("$ctl" devices | awk '$1 == "output" && /Vantrell_Main/ { print $2; exit }')
  "$ctl" add "$input" "$output" 1 2 48000 "$quantum" >/dev/null
  "$ctl" start 0 >/dev/null
  sleep 1
  measure_pid "engine ($1)" "$engine"
  echo exit >&"$console"
  exec {console}>&-
  wait "$engine" 2>/dev/null || true
  echo "  xrun lines: $(grep -c "underflow\|overflow" "$VANTRELL_PIPEWIRE_DIR/engine.$1.log" || true)"
}

echo "quantum $quantum, $seconds s each"
measure pw-loopback pw-loopback -c 2 -C "$VANTRELL_SINE" -P "$VANTRELL_SINK_MAIN"
measure "back end alone" "$route" $((seconds + 5)) "$quantum"
grep -h periods "$VANTRELL_PIPEWIRE_DIR/client.out" || true
[ -x build/release/vantrell ] || cmake --build build/release -j2 --target vantrell vantrellctl >/dev/null
measure_engine pipewire
measure_engine pulse
