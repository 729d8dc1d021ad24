#!/usr/bin/env bash
# Life cycle of scripts/sandbox on a sandbox of its own (not the fixture's):
# 77 without writing anything when unavailable, full clean-up after a failed
# up, exec's environment and exit codes, and a down that leaves nothing.
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
sandbox="$repo/scripts/sandbox"
work=$(mktemp -d /tmp/zelm-sandbox-lifecycle.XXXXXX)
export ZELM_SANDBOX_DIR="$work/state"
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

expect_code() { # WANT DESCRIPTION CMD...
  local want=$1 what=$2 got
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit code $got, want $want; stderr: $(cat "$work/err")"
}

# Processes whose command line mentions the state directory (the bus and the
# avahi-daemon of this test's sandbox). Only reads /proc.
processes_of_state() {
  # The bracket keeps grep from finding its own command line.
  grep -las "[/]${ZELM_SANDBOX_DIR#/}" /proc/[0-9]*/cmdline | cut -d/ -f3
  return 0
}

expect_nothing_left() { # ID WHAT
  local id=$1 what=$2
  [ ! -e "$ZELM_SANDBOX_DIR" ] || fail "$what: state directory left: $(ls -A "$ZELM_SANDBOX_DIR")"
  ip netns list | grep -q "zelm-$id-" && fail "$what: namespaces left: $(ip netns list | grep "zelm-$id-")"
  grep -q "zelm-$id-" /proc/mounts && fail "$what: mounts left: $(grep "zelm-$id-" /proc/mounts)"
  local left
  left=$(processes_of_state)
  [ -z "$left" ] || fail "$what: processes left: $left"
}

new_id() { printf 't%05d' $((RANDOM % 100000)); }

cleanup() {
  "$sandbox" down >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# Unavailable: 77 and nothing written; the rest then needs a real sandbox.
ZELM_SANDBOX_UNAVAILABLE=1 expect_code 77 "up when unavailable" "$sandbox" up
[ ! -e "$ZELM_SANDBOX_DIR" ] || fail "up when unavailable wrote $ZELM_SANDBOX_DIR"
expect_code 77 "exec with no sandbox" "$sandbox" exec A true
expect_code 77 "daemon start with no sandbox" "$sandbox" daemon start
expect_code 3 "status with no sandbox" "$sandbox" status
expect_code 0 "down with no sandbox" "$sandbox" down
if [ "$(id -u)" -ne 0 ] || ! "$sandbox" up >/dev/null 2>"$work/err"; then
  [ $failures -eq 0 ] || exit 1
  grep -q unavailable "$work/err" && exit 77
  echo "FAILED: up: $(cat "$work/err")" >&2
  exit 1
fi
"$sandbox" down

# A failure at any step takes down what the earlier steps made.
for step in network bus avahi; do
  id=$(new_id)
  ZELM_SANDBOX_ID=$id ZELM_SANDBOX_FAIL_AT=$step expect_code 1 "up failing at $step" "$sandbox" up
  expect_nothing_left "$id" "up failing at $step"
done

# A working sandbox, with a daemon on B too.
id=$(new_id)
ZELM_SANDBOX_ID=$id expect_code 0 "up --daemon-b" "$sandbox" up --daemon-b
expect_code 7 "exec passes the exit code" "$sandbox" exec A sh -c 'exit 7'
expect_code 0 "exec environment" "$sandbox" exec B sh -c \
  '[ "$ZELM_SANDBOX_HOST" = B ] && [ "$ZELM_SANDBOX_ADDR_B" = 198.18.0.2 ] &&
   [ "$ZELM_SANDBOX_DIR" = "'"$ZELM_SANDBOX_DIR"'" ] && [ "$ZELM_SANDBOX_HOSTNAME_A" = zelm-a ] &&
   [ "$DBUS_SYSTEM_BUS_ADDRESS" = "$ZELM_SANDBOX_BUS_B" ] && [ "$ZELM_SANDBOX_BUS_A" != "$ZELM_SANDBOX_BUS_B" ]'
expect_code 0 "nested exec reaches B from A" "$sandbox" exec A "$sandbox" exec B \
  sh -c 'ip -o -4 addr show dev "$ZELM_SANDBOX_IF_B" | grep -q " 198.18.0.2/24 "'
grep -q . "$work/out" && fail "nested exec printed: $(cat "$work/out")"
expect_code 0 "avahi on B sees avahi on A" "$sandbox" exec B avahi-resolve -4 --name zelm-a.local
grep -q "198.18.0.1" "$work/out" || fail "avahi on B resolved zelm-a.local as: $(cat "$work/out")"

# up over a live sandbox replaces it.
first=$id
id=$(new_id)
pids=$(cut -d' ' -f1 "$ZELM_SANDBOX_DIR"/pids/*)
ZELM_SANDBOX_ID=$id expect_code 0 "up over a live sandbox" "$sandbox" up
ip netns list | grep -q "zelm-$first-" && fail "the replaced sandbox's namespaces are left"
for pid in $pids; do
  [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null || echo gone)" = Z ] || [ ! -e "/proc/$pid" ] ||
    fail "pid $pid of the replaced sandbox still runs"
done

expect_code 0 "down" "$sandbox" down
expect_nothing_left "$id" "down"
expect_code 0 "down again" "$sandbox" down

[ $failures -eq 0 ] || exit 1
echo ok
