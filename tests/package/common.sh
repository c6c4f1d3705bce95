# Shared by the package tests: failures are collected, the script's status reports them.
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Every word of $2 must appear in $3 between blanks or line ends ("add" is not in "add-effect");
# $1 names what is checked.
expect_words() {
  local what=$1 text=" ${3//$'\n'/ } " word
  for word in $2; do
    [[ $text == *" $word "* ]] || fail "$what: '$word' missing"
  done
}

# Runs the command until it succeeds, for at most $1 seconds.
wait_until() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# The commands a program's help lists: vantrellctl's synopsis lines, vantrell's console commands.
ctl_commands() { "$1" --help | sed -n 's/^  \([a-z][a-z-]*\).*/\1/p'; }
console_commands() { "$1" --help | sed -n '/^Console commands:/,$p' | tail -n +2; }
