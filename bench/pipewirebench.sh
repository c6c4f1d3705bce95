#!/usr/bin/env bash
# One route (the engine on the PipeWire back end) against pw-loopback between the same nodes, on a
# private PipeWire at a forced quantum, in the same run:
#   bench/pipewirebench.sh [cost] [SECONDS [QUANTUM]]  CPU of the tone source to the main sink: pw-loopback,
#                                   the back end alone (a small driver), the engine on it and the engine on
#                                   pipewire-pulse; each with the daemon's, the session manager's and
#                                   pipewire-pulse's CPU, from /proc/<pid>/stat (default 15 s at 256 frames)
#   bench/pipewirebench.sh latency [QUANTUM]  click delay from a sink's monitor to another sink's monitor,
#                                   the engine and pw-loopback side by side in one recording (default 256)
#   bench/pipewirebench.sh glitch [QUANTUM [SECONDS]]  the tone through the engine and through pw-loopback
#                                   at once, each into a sink of its own, recorded, quiet then with one core
#                                   busy: the engine's xrun lines, glitches per route (default 256, 60 s)
#   bench/pipewirebench.sh restarts [COUNT]  daemon restarts (default 3) under one engine stream: the time
#                                   from the daemon answering to the stream restarted and its tone at the sink
#   bench/pipewirebench.sh memory [COUNT]  the engine's resident memory under four routes (periods 256,
#                                   1000, 441, 1500) at start and after each of COUNT daemon restarts (default 10)
# The engine's period is the quantum. Run it under /work/tools/isolated or on a machine without a
# PipeWire of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=cost
case "${1:-}" in cost | latency | glitch | restarts | memory) mode=$1; shift ;; esac
case $mode in
  cost) seconds=${1:-15}; quantum=${2:-256} ;;
  latency) quantum=${1:-256} ;;
  glitch) quantum=${1:-256}; seconds=${2:-60} ;;
  restarts) count=${1:-3}; quantum=256 ;;
  memory) count=${1:-10}; quantum=256 ;;
esac
route=${VANTRELL_PIPEWIRE_ROUTE:-build/release/bench/vantrell_pipewire_route}
recorder=${VANTRELL_PIPEWIRE_RECORD:-build/release/bench/vantrell_pipewire_record}
needed=()
[ -x "$route" ] || needed+=(vantrell_pipewire_route)
[ -x "$recorder" ] || needed+=(vantrell_pipewire_record)
[ -x build/release/vantrell ] || needed+=(vantrell)
[ -x build/release/vantrellctl ] || needed+=(vantrellctl)
[ ${#needed[@]} -eq 0 ] || cmake --build build/release -j2 --target "${needed[@]}" >/dev/null
ctl=build/release/vantrellctl
source scripts/audio-servers.sh
trap 'stop_engine; stop_private_pipewire' EXIT
start_private_pipewire
export PIPEWIRE_RUNTIME_DIR=$VANTRELL_PIPEWIRE_DIR
export VANTRELL_SOCKET=$VANTRELL_PIPEWIRE_DIR/vantrell.sock
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

# The engine on back end $1 with its console on a FIFO (engine_console writes to it) and its log in
# $engine_log.
engine_pid='' engine_log='' console=''
start_engine() { # back end
  local fifo=$VANTRELL_PIPEWIRE_DIR/console.$1
  engine_log=$VANTRELL_PIPEWIRE_DIR/engine.$1.log
  mkfifo "$fifo"
  VANTRELL_AUDIO=$1 build/release/vantrell <"$fifo" >"$engine_log" 2>&1 &
  engine_pid=$!
  exec {console}>"$fifo"
  for _ in $(seq 100); do "$ctl" devices >/dev/null 2>&1 && break; sleep 0.1; done
}
engine_console() { echo "$*" >&"$console"; }
stop_engine() {
  [ -n "$engine_pid" ] || return 0
  { echo exit >&"$console"; } 2>/dev/null || true
  exec {console}>&-
  wait "$engine_pid" 2>/dev/null || true
  engine_pid=''
}
# The engine's id of the first device of that direction whose line matches the pattern.
device_id() { # input|output pattern
  "$ctl" devices | awk -v direction="$1" -v pattern="$2" '$1 == direction && $0 ~ pattern { print $2; exit }'
}
xrun_lines() { grep -c "Output underflow\|Input overflow" "$@" || true; }

# A null sink of the bench's own through pipewire-pulse (gone with the private server).
bench_sink() { # name channels [channel map]
  pactl load-module module-null-sink sink_name="$1" rate=48000 channels="$2" ${3:+channel_map=$3} \
    sink_properties=device.description="$1" >/dev/null
  _wait_until 10 bash -c "pw-link -i | grep -q '^$1:'"
}

# The engine itself on back end $1 (pipewire, or pulse through pipewire-pulse): one stream from the
# tone to the main sink, a period of one quantum, its default chain.
measure_engine() { # back end
  start_engine "$1"
  local input output
  input=$(device_id input 'Sine source')
  output=$(device_id output Vantrell_Main)
  "$ctl" add "$input" "$output" 1 2 48000 "$quantum" >/dev/null
  "$ctl" start 0 >/dev/null
  sleep 1
  measure_pid "engine ($1)" "$engine_pid"
  stop_engine
  echo "  xrun lines: $(xrun_lines "$engine_log")"
}

cost() {
  echo "quantum $quantum, $seconds s each"
  measure pw-loopback pw-loopback -c 2 -C "$VANTRELL_SINE" -P "$VANTRELL_SINK_MAIN"
  measure "back end alone" "$route" $((seconds + 5)) "$quantum"
  grep -h periods "$VANTRELL_PIPEWIRE_DIR/client.out" || true
  measure_engine pipewire
  measure_engine pulse
}

# Clicks played into bench_click; its monitor reaches bench_out three ways, each on a channel of its
# own: a direct link (FL, the reference), pw-loopback (FR) and the engine (RL). One recording of
# bench_out's monitor holds all three, so the delays need no clock but the graph's.
latency() {
  bench_sink bench_click 2
  bench_sink bench_out 4 front-left,front-right,rear-left,rear-right
  pw-link bench_click:monitor_FL bench_out:playback_FL
  pw-loopback -c 1 -C bench_click -P bench_out --capture-props='audio.position=[FL] stream.capture.sink=true' \
    --playback-props='audio.position=[FR]' >/dev/null 2>&1 &
  local loopback=$!
  start_engine pipewire
  local input output
  input=$(device_id input 'Monitor of bench_click')
  output=$(device_id output bench_out)
  "$ctl" add "$input" "$output" 2 4 48000 "$quantum" >/dev/null
  engine_console removeChannelRedirect 0 0  # (1, 1) stays; FR of the input is silent
  engine_console addChannelRedirect 0 0 2   # FL in -> RL out
  "$ctl" start 0 >/dev/null
  sleep 2
  local take=$VANTRELL_PIPEWIRE_DIR/clicks.raw
  "$recorder" bench_out.monitor 4 7 "$take" 2>/dev/null &
  local recording=$!
  sleep 0.5
  python3 -c 'import struct, sys
rate = 48000
second = b"\0" * (8 * rate // 2)
click = struct.pack("<ff", 0.9, 0.0) * 48 + b"\0" * (8 * rate // 2 - 8 * 48)
sys.stdout.buffer.write(second + click * 8 + second)' |
    pacat -d bench_click --raw --format=float32le --channels=2 --rate=48000
  wait "$recording"
  kill "$loopback" 2>/dev/null || true
  wait "$loopback" 2>/dev/null || true
  stop_engine
  python3 - "$take" "$quantum" "$(xrun_lines "$engine_log")" <<'PY'
import array, statistics, sys
samples = array.array("f")
samples.frombytes(open(sys.argv[1], "rb").read())
rate, quantum, channels = 48000, int(sys.argv[2]), 4
def onsets(channel):
    found, last = [], -rate
    for frame in range(0, len(samples) // channels):
        if abs(samples[frame * channels + channel]) > 0.3 and frame - last > rate // 5:
            found.append(frame)
            last = frame
    return found
reference = onsets(0)
print("quantum %d (%.2f ms), %d clicks; engine xrun lines: %s" % (quantum, 1000.0 * quantum / rate, len(reference), sys.argv[3]))
for name, channel in (("pw-loopback", 1), ("engine", 2)):
    arrivals = onsets(channel)
    delays = [min((a - r for a in arrivals if 0 <= a - r < rate // 5), default=None) for r in reference]
    delays = [d for d in delays if d is not None]
    if not delays:
        print("  %-11s no click came through" % name)
        continue
    ms = [1000.0 * d / rate for d in delays]
    print("  %-11s delay median %.2f ms (%.2f quanta), min %.2f, max %.2f ms over %d clicks"
          % (name, statistics.median(ms), statistics.median(delays) / quantum, min(ms), max(ms), len(ms)))
PY
}

glitches_in() { # file channels [tone file]: glitch count, the first few times, and those the tone lacks
  python3 - "$@" <<'PY'
import sys
sys.path.insert(0, "bench")
import glitchcount
def glitches(path, channels):
    samples = glitchcount.read_float32(path)
    return samples, glitchcount.count_glitches(samples, channels, 48000, 440)
channels = int(sys.argv[2])
samples, times = glitches(sys.argv[1], channels)
first = " (at %s s)" % ", ".join("%.1f" % t for t in times[:5]) if times else ""
own = ""
if len(sys.argv) > 3:
    # The recorders start within milliseconds of each other; the route delays by a few quanta.
    tone = glitches(sys.argv[3], 1)[1]
    own = ", %d not within 50 ms of one of the tone's" % sum(all(abs(t - u) > 0.05 for u in tone) for t in times)
print("%d glitches in %.0f s%s, level %.2f%s" % (len(times), len(samples) / channels / 48000, own,
                                               glitchcount.amplitude_of(samples, channels, 48000), first))
PY
}

# The tone through the engine into bench_engine and through pw-loopback into bench_loop, both at
# once; each sink's monitor recorded by a recorder that keeps every period, and the tone itself
# beside them: a glitch there too is the graph's (or the recorder's), not the route's.
glitch() {
  echo "quantum $quantum, $seconds s a load; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  local take=$VANTRELL_PIPEWIRE_DIR/take.raw
  "$recorder" "$VANTRELL_SINE" 1 20 "$take" 2>/dev/null
  echo "  the tone recorded directly: $(glitches_in "$take" 1)"
  bench_sink bench_engine 2
  bench_sink bench_loop 2
  pw-loopback -c 2 -C "$VANTRELL_SINE" -P bench_loop >/dev/null 2>&1 &
  local loopback=$!
  start_engine pipewire
  "$ctl" add "$(device_id input 'Sine source')" "$(device_id output bench_engine)" 1 2 48000 "$quantum" >/dev/null
  "$ctl" start 0 >/dev/null
  sleep 2
  local load busy mark
  for load in quiet busy; do
    busy=''
    if [ $load = busy ]; then
      nice -n 0 bash -c 'while :; do :; done' &
      busy=$!
    fi
    mark=$(wc -l <"$engine_log")
    "$recorder" bench_engine.monitor 2 "$seconds" "$take.engine" 2>/dev/null &
    local first=$!
    "$recorder" bench_loop.monitor 2 "$seconds" "$take.loop" 2>/dev/null &
    local second=$!
    "$recorder" "$VANTRELL_SINE" 1 "$seconds" "$take.tone" 2>/dev/null &
    wait "$first" "$second" $! || true
    [ -z "$busy" ] || { kill "$busy"; wait "$busy" 2>/dev/null || true; }
    echo "  $load: engine xrun lines $(tail -n +"$((mark + 1))" "$engine_log" | xrun_lines)"
    echo "    engine      $(glitches_in "$take.engine" 2 "$take.tone")"
    echo "    pw-loopback $(glitches_in "$take.loop" 2 "$take.tone")"
    echo "    the tone    $(glitches_in "$take.tone" 1)"
  done
  kill "$loopback" 2>/dev/null || true
  wait "$loopback" 2>/dev/null || true
  stop_engine
}

restarts() {
  start_engine pipewire
  "$ctl" add "$(device_id input 'Sine source')" "$(device_id output Vantrell_Main)" 1 2 48000 "$quantum" >/dev/null
  "$ctl" start 0 >/dev/null
  sleep 2
  local i answered back tone slowest=0 lost=0 line before xruns
  for i in $(seq "$count"); do
    before=$(grep -c "restarted: its devices are back" "$engine_log" || true)
    xruns=$(xrun_lines "$engine_log")
    kill_private_pipewire
    local launched=$EPOCHREALTIME
    _launch_pipewire "$VANTRELL_PIPEWIRE_DIR"
    local deadline=$((SECONDS + 20))
    until pw-cli info 0 >/dev/null 2>&1; do
      [ $SECONDS -lt $deadline ] || { echo "  restart $i: the daemon did not answer in 20 s"; lost=1; break 2; }
      sleep 0.01
    done
    answered=$EPOCHREALTIME
    # The tone at the main sink's monitor: a recorder tried until the session manager links it.
    tone=''
    ( until out=$("$recorder" "$VANTRELL_SINK_MAIN.monitor" 2 15 /dev/null 0.1 2>/dev/null) && [ -n "$out" ]; do
        sleep 0.05; done; echo "${out#loud at }" >"$VANTRELL_PIPEWIRE_DIR/tone.at" ) &
    local watcher=$!
    back=''
    deadline=$((SECONDS + 20))
    while [ $SECONDS -lt $deadline ]; do
      [ "$(grep -c "restarted: its devices are back" "$engine_log" || true)" -gt "$before" ] && { back=$EPOCHREALTIME; break; }
      sleep 0.01
    done
    timeout 20 tail --pid="$watcher" -f /dev/null || kill "$watcher" 2>/dev/null || true
    tone=$(cat "$VANTRELL_PIPEWIRE_DIR/tone.at" 2>/dev/null || true)
    rm -f "$VANTRELL_PIPEWIRE_DIR/tone.at"
    line=$(printf '  restart %d: daemon answering %.2f s after its launch;' "$i" "$(echo "$answered - $launched" | bc -l)")
    if [ -n "$back" ]; then
      line+=$(printf ' "restarted" line %.3f s after it answered' "$(echo "$back - $answered" | bc -l)")
      slowest=$(echo "if ($back - $answered > $slowest) $back - $answered else $slowest" | bc -l)
    else
      line+=' no "restarted" line in 20 s'
      lost=1
    fi
    if [ -n "$tone" ]; then
      line+=$(printf ', tone at the sink %.3f s after' "$(echo "$tone - $answered" | bc -l)")
      slowest=$(echo "if ($tone - $answered > $slowest) $tone - $answered else $slowest" | bc -l)
    else
      line+=', no tone at the sink'
    fi
    _wait_until 20 _pipewire_ready "$VANTRELL_PIPEWIRE_DIR"
    pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
    sleep 2
    echo "$line; xrun lines $(($(xrun_lines "$engine_log") - xruns))"
    if [ -z "$back" ] && [ -z "$tone" ]; then
      echo "  the stream did not come back: no more restarts"
      break
    fi
  done
  if [ $lost = 1 ]; then printf '  slowest: a stream that did not come back'; else printf '  slowest %.2f s' "$slowest"; fi
  printf ' (target 2 s); engine xrun lines %s\n' "$(xrun_lines "$engine_log")"
  stop_engine
  [ -z "${VANTRELL_BENCH_VERBOSE:-}" ] || cat "$engine_log"
}


memory() {
  local periods=(256 1000 441 1500) input output
  resident() { awk '/^VmRSS/ { total = $2 } /^RssAnon/ { anon = $2 } END { printf "%d kB (anonymous %d kB)", total, anon }' "/proc/$engine_pid/status"; }
  start_engine pipewire
  input=$(device_id input 'Sine source')
  output=$(device_id output Vantrell_Main)
  for i in "${!periods[@]}"; do
    "$ctl" add "$input" "$output" 1 2 48000 "${periods[$i]}" >/dev/null
    "$ctl" start "$i" >/dev/null
  done
  sleep 3
  echo "resident memory, ${#periods[@]} routes: at start $(resident)"
  for i in $(seq "$count"); do
    restart_private_pipewire >/dev/null
    pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
    # Every route back (each says so once a restart), then a moment to settle.
    _wait_until 20 bash -c "[ \$(grep -c 'restarted: its devices are back' '$engine_log') -ge $((i * ${#periods[@]})) ]" ||
      echo "  restart $i: not every route came back in 20 s"
    sleep 2
    echo "  after restart $i: $(resident)"
  done
  stop_engine
}

$mode
