#!/usr/bin/env bash
# Private audio servers for tests and for headless runs. Source this file, then call
#   start_private_pulse [DIR]   a PulseAudio with two null sinks and a 440 Hz sine source;
#                               exports PULSE_SERVER and VANTRELL_PULSE_DIR
#   stop_private_pulse
#   kill_private_pulse          kills it as a crash would (SIGKILL); its directory and socket stay
#   restart_private_pulse       starts it again in the same directory, on the same socket
#   start_private_pipewire [DIR]  PipeWire, WirePlumber and pipewire-pulse under a D-Bus session of
#                               their own, with the same devices; exports PULSE_SERVER and
#                               VANTRELL_PIPEWIRE_DIR. The tone source is a program of the release
#                               build (VANTRELL_PIPEWIRE_TONE names another).
#   stop_private_pipewire / kill_private_pipewire / restart_private_pipewire  as for PulseAudio
#   kill_private_sound_server / restart_private_sound_server  whichever of the two is running
#   start_private_jack          jackd on the dummy driver (period VANTRELL_JACK_PERIOD, default 256),
#                               own server name; exports JACK_DEFAULT_SERVER
#   stop_private_jack
#   kill_private_jack           kills jackd as a crash would (SIGKILL)
#   restart_private_jack        starts it again under the same server name
# Each waits until its server answers and fails loudly when it does not.

VANTRELL_SINK_MAIN=${VANTRELL_SINK_MAIN:-vantrell_main}   # 48000 Hz, stereo, default sink
VANTRELL_SINK_ALT=${VANTRELL_SINK_ALT:-vantrell_alt}      # 44100 Hz, stereo
VANTRELL_SINE=${VANTRELL_SINE:-vantrell_sine}             # 440 Hz, mono, 48000 Hz, default source
VANTRELL_PIPEWIRE_TONE=${VANTRELL_PIPEWIRE_TONE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/release/tests/vantrell_pipewire_tone}

_wait_until() { # seconds command...
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# Running, not a zombie its parent has yet to reap.
_alive() { [ -e "/proc/$1" ] && ! grep -q ') Z ' "/proc/$1/stat" 2>/dev/null; }

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

# PipeWire as desktops run it: the daemon, its session manager and its PulseAudio server, on a
# D-Bus session of their own. The sinks are PipeWire's own null sinks. pipewire-pulse has no
# module-sine-source: the tone source is a small client of ours that publishes a source node and
# computes the sine in the graph's own cycles. (A pipe source fed from a FIFO drifted in pitch by up
# to 10 % on a busy machine; a client linked into a virtual source fell silent for seconds at a time.)
_write_pipewire_config() { # dir
  local dir=$1
  mkdir -p "$dir/config/pipewire/pipewire.conf.d"
  cat >"$dir/config/pipewire/pipewire.conf.d/vantrell.conf" <<CONF
context.objects = [
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = $VANTRELL_SINK_MAIN
      node.description = Vantrell_Main media.class = Audio/Sink audio.rate = 48000 audio.channels = 2
      audio.position = [ FL FR ] priority.session = 3000 } }
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = $VANTRELL_SINK_ALT
      node.description = Vantrell_Alt media.class = Audio/Sink audio.rate = 44100 audio.channels = 2
      audio.position = [ FL FR ] priority.session = 100 } }
]
CONF
  # The tone ranks above the main sink's monitor (which shares the sink's rank), so it is the
  # default source.
  cat >"$dir/session.sh" <<SESSION
pipewire &
# A restart finds the last run's socket file: wait for the daemon itself.
until pw-cli info 0 >/dev/null 2>&1; do sleep 0.05; done
"$VANTRELL_PIPEWIRE_TONE" $VANTRELL_SINE "Sine source at 440 Hz" 4000 &
wireplumber &
pipewire-pulse &
wait
SESSION
}

_pipewire_env() { # dir
  echo HOME="$1" XDG_RUNTIME_DIR="$1" XDG_CONFIG_HOME="$1/config" XDG_STATE_HOME="$1/state" \
    PIPEWIRE_RUNTIME_DIR="$1" PULSE_SERVER="unix:$1/pulse/native"
}

_launch_pipewire() { # dir
  local dir=$1
  # Its own session (and process group), so a kill reaches every part and nothing else.
  # shellcheck disable=SC2046
  setsid env $(_pipewire_env "$dir") dbus-run-session -- bash "$dir/session.sh" \
    >>"$dir/pipewire.log" 2>&1 </dev/null &
  echo $! >"$dir/pid"
  disown $! 2>/dev/null || true # its end is ours to cause; no job notice for it
}

# Answers, with its defaults chosen.
_pipewire_ready() { # dir
  # shellcheck disable=SC2046
  env $(_pipewire_env "$1") bash -c "pactl info | grep -q 'Default Source: $VANTRELL_SINE' &&
    pactl info | grep -q 'Default Sink: $VANTRELL_SINK_MAIN'"
}

# The processes of its group still running (zombies left to their parent serve nobody).
_pipewire_running() { # pgid
  ps -e -o pgid=,stat= | awk -v group="$1" '$1 == group && $2 !~ /^Z/ { found = 1 } END { exit !found }'
}

start_private_pipewire() {
  if [ ! -x "$VANTRELL_PIPEWIRE_TONE" ]; then
    echo "no tone source for PipeWire at $VANTRELL_PIPEWIRE_TONE: build the release tree first" >&2
    return 1
  fi
  local dir=${1:-$(mktemp -d /tmp/vantrell-pipewire.XXXXXX)}
  mkdir -p "$dir"
  _write_pipewire_config "$dir"
  _launch_pipewire "$dir"
  export VANTRELL_PIPEWIRE_DIR=$dir
  export PULSE_SERVER=unix:$dir/pulse/native
  if ! _wait_until 20 _pipewire_ready "$dir"; then
    echo "private PipeWire did not answer; its log:" >&2
    cat "$dir/pipewire.log" >&2 || true
    stop_private_pipewire
    return 1
  fi
}

stop_private_pipewire() {
  [ -n "${VANTRELL_PIPEWIRE_DIR:-}" ] || return 0
  local pid; pid=$(cat "$VANTRELL_PIPEWIRE_DIR/pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then
    kill -- -"$pid" 2>/dev/null || true
    _wait_until 5 bash -c "$(declare -f _pipewire_running); ! _pipewire_running $pid" ||
      kill -9 -- -"$pid" 2>/dev/null || true
  fi
  rm -rf "$VANTRELL_PIPEWIRE_DIR"
  unset VANTRELL_PIPEWIRE_DIR PULSE_SERVER
}

kill_private_pipewire() {
  [ -n "${VANTRELL_PIPEWIRE_DIR:-}" ] || return 1
  local pid; pid=$(cat "$VANTRELL_PIPEWIRE_DIR/pid" 2>/dev/null || true)
  [ -n "$pid" ] || return 1
  kill -9 -- -"$pid" 2>/dev/null || true
  _wait_until 5 bash -c "$(declare -f _pipewire_running); ! _pipewire_running $pid"
}

restart_private_pipewire() {
  [ -n "${VANTRELL_PIPEWIRE_DIR:-}" ] || return 1
  kill_private_pipewire || true
  _launch_pipewire "$VANTRELL_PIPEWIRE_DIR"
  export PULSE_SERVER=unix:$VANTRELL_PIPEWIRE_DIR/pulse/native
  _wait_until 20 _pipewire_ready "$VANTRELL_PIPEWIRE_DIR"
}

# For tests that take the server away under the engine, whichever server the script started.
kill_private_sound_server() {
  if [ -n "${VANTRELL_PIPEWIRE_DIR:-}" ]; then kill_private_pipewire; else kill_private_pulse; fi
}

restart_private_sound_server() {
  if [ -n "${VANTRELL_PIPEWIRE_DIR:-}" ]; then restart_private_pipewire; else restart_private_pulse; fi
}

_launch_jack() {
  local scheduling=--no-realtime
  [ -n "${VANTRELL_JACK_REALTIME:-}" ] && scheduling="-R -P 70"
  jackd $scheduling -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p "${VANTRELL_JACK_PERIOD:-256}" -C 2 -P 2 \
    >>"/tmp/$JACK_DEFAULT_SERVER.log" 2>&1 </dev/null &
  VANTRELL_JACK_PID=$!
  export VANTRELL_JACK_PID
  # Kept in a file too: a restart from another shell (a test) must leave the stop its new pid.
  echo "$VANTRELL_JACK_PID" >"/tmp/$JACK_DEFAULT_SERVER.pid"
  disown "$VANTRELL_JACK_PID" 2>/dev/null || true
}

_jack_pid() { cat "/tmp/${JACK_DEFAULT_SERVER:-}.pid" 2>/dev/null || true; }

start_private_jack() {
  export JACK_DEFAULT_SERVER=vantrell_test_jack
  : >"/tmp/$JACK_DEFAULT_SERVER.log"
  _launch_jack
  if ! _wait_until 15 jack_lsp -s "$JACK_DEFAULT_SERVER"; then
    echo "private jackd did not answer; its log:" >&2
    cat "/tmp/$JACK_DEFAULT_SERVER.log" >&2 || true
    stop_private_jack
    return 1
  fi
}

stop_private_jack() {
  [ -n "${JACK_DEFAULT_SERVER:-}" ] || return 0
  local pid; pid=$(_jack_pid)
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    _wait_until 5 bash -c "$(declare -f _alive); ! _alive $pid" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "/tmp/$JACK_DEFAULT_SERVER.pid"
  unset VANTRELL_JACK_PID JACK_DEFAULT_SERVER
}

kill_private_jack() {
  [ -n "${JACK_DEFAULT_SERVER:-}" ] || return 1
  local pid; pid=$(_jack_pid)
  [ -n "$pid" ] || return 1
  kill -9 "$pid" 2>/dev/null || true
  _wait_until 5 bash -c "$(declare -f _alive); ! _alive $pid"
}

restart_private_jack() {
  [ -n "${JACK_DEFAULT_SERVER:-}" ] || return 1
  kill_private_jack || true
  # jackd refuses to start while the killed one is still a zombie: launch again until one stays.
  local deadline=$((SECONDS + 15))
  while [ $SECONDS -lt $deadline ]; do
    _launch_jack
    _wait_until 15 bash -c "$(declare -f _alive); jack_lsp -s $JACK_DEFAULT_SERVER || ! _alive $VANTRELL_JACK_PID"
    jack_lsp -s "$JACK_DEFAULT_SERVER" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}
