#!/usr/bin/env bash
# Private audio servers for tests and for headless runs. Source this file, then call
#   start_private_pulse [DIR]   a PulseAudio with two null sinks and a 440 Hz sine source;
#                               exports PULSE_SERVER and VANTRELL_PULSE_DIR
#   stop_private_pulse
#   kill_private_pulse          kills it as a crash would (SIGKILL); its directory and socket stay
#   restart_private_pulse       starts it again in the same directory, on the same socket
#   start_private_jack          jackd on the dummy driver (period VANTRELL_JACK_PERIOD, default 256),
#                               own server name; exports JACK_DEFAULT_SERVER
#   stop_private_jack
# Each waits until its server answers and fails loudly when it does not.

VANTRELL_SINK_MAIN=${VANTRELL_SINK_MAIN:-vantrell_main}   # 48000 Hz, stereo, default sink
VANTRELL_SINK_ALT=${VANTRELL_SINK_ALT:-vantrell_alt}      # 44100 Hz, stereo
VANTRELL_SINE=${VANTRELL_SINE:-vantrell_sine}             # 440 Hz, mono, 48000 Hz, default source

_wait_until() { # seconds command...
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

_launch_pulse() { # dir
  local dir=$1
  # The daemon keeps its state, cookie and runtime files inside the private directory.
  HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir" PULSE_RUNTIME_PATH="$dir" \
    pulseaudio -n -F "$dir/default.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
      --use-pid-file=no --log-target=file:"$dir/pulse.log" >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/pid"
}

start_private_pulse() {
  local dir=${1:-$(mktemp -d /tmp/vantrell-pulse.XXXXXX)}
  mkdir -p "$dir"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=$VANTRELL_SINK_MAIN rate=48000 channels=2 sink_properties=device.description=Vantrell_Main
load-module module-null-sink sink_name=$VANTRELL_SINK_ALT rate=44100 channels=2 sink_properties=device.description=Vantrell_Alt
load-module module-sine-source source_name=$VANTRELL_SINE rate=48000 frequency=440
set-default-sink $VANTRELL_SINK_MAIN
set-default-source $VANTRELL_SINE
PA
  _launch_pulse "$dir"
  export VANTRELL_PULSE_DIR=$dir
  export PULSE_SERVER=unix:$dir/native
  if ! _wait_until 15 pactl info; then
    echo "private PulseAudio did not answer; its log:" >&2
    cat "$dir/pulse.log" >&2 || true
    stop_private_pulse
    return 1
  fi
}

stop_private_pulse() {
  [ -n "${VANTRELL_PULSE_DIR:-}" ] || return 0
  local pid; pid=$(cat "$VANTRELL_PULSE_DIR/pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    _wait_until 5 bash -c "! kill -0 $pid" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$VANTRELL_PULSE_DIR"
  unset VANTRELL_PULSE_DIR PULSE_SERVER
}

kill_private_pulse() {
  [ -n "${VANTRELL_PULSE_DIR:-}" ] || return 1
  local pid; pid=$(cat "$VANTRELL_PULSE_DIR/pid" 2>/dev/null || true)
  [ -n "$pid" ] || return 1
  kill -9 "$pid" 2>/dev/null || true
  # Gone, or a zombie its parent has not reaped yet: either way it serves nobody.
  _wait_until 5 bash -c "! kill -0 $pid || grep -q ') Z ' /proc/$pid/stat"
}

restart_private_pulse() {
  [ -n "${VANTRELL_PULSE_DIR:-}" ] || return 1
  kill_private_pulse || true
  _launch_pulse "$VANTRELL_PULSE_DIR"
  export PULSE_SERVER=unix:$VANTRELL_PULSE_DIR/native
  _wait_until 15 pactl info
}

start_private_jack() {
  export JACK_DEFAULT_SERVER=vantrell_test_jack
  local scheduling=--no-realtime
  [ -n "${VANTRELL_JACK_REALTIME:-}" ] && scheduling="-R -P 70"
  jackd $scheduling -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p "${VANTRELL_JACK_PERIOD:-256}" -C 2 -P 2 \
    >"/tmp/$JACK_DEFAULT_SERVER.log" 2>&1 &
  VANTRELL_JACK_PID=$!
  export VANTRELL_JACK_PID
  if ! _wait_until 15 jack_lsp -s "$JACK_DEFAULT_SERVER"; then
    echo "private jackd did not answer; its log:" >&2
    cat "/tmp/$JACK_DEFAULT_SERVER.log" >&2 || true
    stop_private_jack
    return 1
  fi
}

stop_private_jack() {
  [ -n "${VANTRELL_JACK_PID:-}" ] || return 0
  kill "$VANTRELL_JACK_PID" 2>/dev/null || true
  _wait_until 5 bash -c "! kill -0 $VANTRELL_JACK_PID" || kill -9 "$VANTRELL_JACK_PID" 2>/dev/null || true
  unset VANTRELL_JACK_PID JACK_DEFAULT_SERVER
}
