#!/usr/bin/env bash
# Life cycle of scripts/sandbox on sandboxes of its own: 77 without writing
# anything when unavailable, and nothing left behind (state, namespaces,
# mounts, processes) after a down or after an up that fails at any step.
set -uo pipefail
sandbox="$(cd "$(dirname "$0")/../.." && pwd)/scripts/sandbox"
export ZELM_SANDBOX_DIR=$(mktemp -d /tmp/zelm-sandbox-lifecycle.XXXXXX)/state
trap '"$sandbox" down >/dev/null 2>&1; rm -rf "${ZELM_SANDBOX_DIR%/state}"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

ZELM_SANDBOX_UNAVAILABLE=1 "$sandbox" up 2>/dev/null; [ $? -eq 77 ] || fail "up when unavailable did not skip"
[ ! -e "$ZELM_SANDBOX_DIR" ] || fail "up when unavailable wrote $ZELM_SANDBOX_DIR"
[ "$(id -u)" -eq 0 ] || exit 77
for step in "" network bus avahi; do
  id=$(printf 't%05d' $((RANDOM % 100000)))
  ZELM_SANDBOX_ID=$id ZELM_SANDBOX_FAIL_AT=$step "$sandbox" up >/dev/null 2>&1
  code=$?
  if [ -n "$step" ]; then
    [ $code -eq 1 ] || fail "up failing at $step exited $code"
  else
    [ $code -eq 77 ] && exit 77
    [ $code -eq 0 ] && "$sandbox" exec A true && "$sandbox" down || fail "up, exec, down"
  fi
  [ ! -e "$ZELM_SANDBOX_DIR" ] || fail "${step:-down}: state directory left"
  ! ip netns list | grep "zelm-$id-" || fail "${step:-down}: namespaces left"
  ! grep "zelm-$id-" /proc/mounts || fail "${step:-down}: mounts left"
  # The bracket keeps grep from finding its own command line.
  ! grep -las "[/]${ZELM_SANDBOX_DIR#/}" /proc/[0-9]*/cmdline || fail "${step:-down}: processes left"
done
echo ok
