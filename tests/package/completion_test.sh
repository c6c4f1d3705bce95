#!/usr/bin/env bash
# The bash completion of vantrellctl: registered for the command, offering the commands of the
# help and the options of each, and, from a running engine, stream ids, device ids, effect and
# parameter names. With no engine, or one that never answers, it offers nothing and returns quickly.
# Usage: completion_test.sh BUILD_DIR   (starts a private PulseAudio when PULSE_SERVER is unset)
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$here/common.sh"
ctl=$build/vantrellctl
tmp=$(mktemp -d)
engine='' listener=''
cleanup() {
  [ -n "$engine" ] && kill "$engine" 2>/dev/null && wait "$engine" 2>/dev/null
  [ -n "$listener" ] && kill "$listener" 2>/dev/null && wait "$listener" 2>/dev/null
  [ -n "${started_pulse:-}" ] && stop_private_pulse
  rm -rf "$tmp"
}
trap cleanup EXIT
export VANTRELL_SOCKET=$tmp/engine.sock

source "$root/contrib/bash-completion/vantrellctl"
[ "$(complete -p vantrellctl)" = "complete -F _vantrellctl vantrellctl" ] || fail "not registered: $(complete -p vantrellctl)"

# What the completion offers for a command line whose last word is being typed.
offers() {
  COMP_WORDS=("$ctl" "$@") COMP_CWORD=$#
  _vantrellctl
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
same() { # what, expected, actual
  [ "$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort)" = "$3" ] || fail "$1: expected [$(echo $2)], got [$(echo $3)]"
}

same "commands" "$(ctl_commands "$ctl") --help --version" "$(offers '')"
same "meter options" "--json --once --channels" "$(offers meter -)"
same "after --json, still the command" "streams" "$(offers --json stre)"
same "on or off" "on off" "$(offers enable 0 VolumeEffect '')"

# Nothing answers at the socket: nothing offered (the master chain's -1 aside).
same "ids, no engine" "-1" "$(offers effects '')"
# Something listens but never replies: the completion gives up within its deadline.
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(); time.sleep(60)' "$VANTRELL_SOCKET" &
listener=$!
wait_until 5 test -S "$VANTRELL_SOCKET" || fail "the silent listener did not start"
start=$SECONDS
same "ids, silent engine" "" "$(offers start '')"
[ $((SECONDS - start)) -le 2 ] || fail "completion waited $((SECONDS - start)) s on a silent engine"
kill "$listener"; wait "$listener" 2>/dev/null; listener=''
rm -f "$VANTRELL_SOCKET"

if [ -z "${PULSE_SERVER:-}" ]; then
  source "$root/scripts/audio-servers.sh"
  start_private_pulse && started_pulse=1
fi
(cd "$tmp" && exec "$build/vantrell" </dev/null >engine.out 2>&1) &
engine=$!
wait_until 20 "$ctl" streams >/dev/null 2>&1 || { fail "engine did not answer"; cat "$tmp/engine.out" >&2; exit 1; }
"$ctl" add >/dev/null || fail "vantrellctl add"
"$ctl" add-effect 0 ReverbEffect >/dev/null || fail "vantrellctl add-effect"

same "stream ids" "0" "$(offers start '')"
same "chain ids" "-1 0" "$(offers params '')"
same "input devices" "$("$ctl" devices | awk '$1 == "input" { print $2 }')" "$(offers add '')"
same "output devices" "$("$ctl" devices | awk '$1 == "output" { print $2 }')" "$(offers rates 1 '')"
same "effects on the chain" "ReverbEffect VolumeEffect" "$(offers remove-effect 0 '')"
same "effects it can add" "$("$ctl" effects 0 | sed -n 's/^can add: //p' | tr -d ,)" "$(offers add-effect 0 '')"
same "parameters" "volume" "$(offers set 0 VolumeEffect '')"
same "master chain parameters" "volume" "$(offers set -1 VolumeEffect vol)"

# Names come from whatever listens at the socket; none may run as shell code in the user's shell.
_vantrellctl_values() { printf '%s\n' "\$(touch $tmp/ran)" '`touch $tmp/ran`' PanEffect; }
same "names that are shell code" "PanEffect" "$(offers add-effect 0 '')"
[ ! -e "$tmp/ran" ] || fail "a name from the socket ran as a command"

[ $failures -eq 0 ]
