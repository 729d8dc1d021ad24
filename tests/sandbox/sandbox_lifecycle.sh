#!/usr/bin/env bash
# Life cycle of scripts/sandbox on a sandbox of its own (not the fixture's):
# 77 without writing anything when unavailable, full clean-up after a failed
# up at any step, and a down that leaves nothing behind.
set -uo pipefail

sandbox="$(cd "$(dirname "$0")/../.." && pwd)/scripts/sandbox"
work=$(mktemp -d /tmp/zelm-sandbox-lifecycle.XXXXXX)
export ZELM_SANDBOX_DIR="$work/state"
trap '"$sandbox" down >/dev/null 2>&1; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

expect_code() { # WANT DESCRIPTION CMD...
  local want=$1 what=$2
  shift 2
  "$@" >/dev/null 2>"$work/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit code $got, want $want; stderr: $(cat "$work/err")"
}

expect_nothing_left() { # ID WHAT
  [ ! -e "$ZELM_SANDBOX_DIR" ] || fail "$2: state directory left: $(ls -A "$ZELM_SANDBOX_DIR")"
  ! ip netns list | grep "zelm-$1-" || fail "$2: namespaces left"
  ! grep "zelm-$1-" /proc/mounts || fail "$2: mounts left"
  # Processes whose command line mentions the state directory (the bus and
  # avahi-daemon); the bracket keeps grep from finding its own command line.
  ! grep -las "[/]${ZELM_SANDBOX_DIR#/}" /proc/[0-9]*/cmdline || fail "$2: processes left"
}

ZELM_SANDBOX_UNAVAILABLE=1 expect_code 77 "up when unavailable" "$sandbox" up
[ ! -e "$ZELM_SANDBOX_DIR" ] || fail "up when unavailable wrote $ZELM_SANDBOX_DIR"
if [ "$(id -u)" -ne 0 ] || ! "$sandbox" up >/dev/null 2>"$work/err"; then
  [ $failures -eq 0 ] || exit 1
  grep -q unavailable "$work/err" && exit 77
  echo "FAILED: up: $(cat "$work/err")" >&2
  exit 1
fi
"$sandbox" down

for step in network bus avahi ""; do
  id=$(printf 't%05d' $((RANDOM % 100000)))
  if [ -n "$step" ]; then
    ZELM_SANDBOX_ID=$id ZELM_SANDBOX_FAIL_AT=$step expect_code 1 "up failing at $step" "$sandbox" up
  else
    ZELM_SANDBOX_ID=$id expect_code 0 "up" "$sandbox" up
    expect_code 0 "exec" "$sandbox" exec A true
    expect_code 0 "down" "$sandbox" down
  fi
  expect_nothing_left "$id" "${step:+up failing at }${step:-down}"
done
[ $failures -eq 0 ] || exit 1
echo ok
