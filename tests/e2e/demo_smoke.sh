#!/usr/bin/env bash
# Smoke test of scripts/demo against an existing build tree: it must succeed,
# its table must list the peer's services and the one it registered, and it
# must leave no sandbox state behind.
# Usage: demo_smoke.sh REPO BUILD_DIR. Exit 77 where the sandbox cannot run.
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "demo needs root for the sandbox: skipped" >&2; exit 77; }
output=$("$1/scripts/demo" --no-build --build-dir "$2" 2>&1)
status=$?
printf '%s\n' "$output"
[ $status -eq 77 ] && exit 77
[ $status -eq 0 ] || { echo "FAILED: scripts/demo exited with $status" >&2; exit 1; }
for name in "Demo Printer" "Demo Web Server" "Demo Wiki" "Demo Sensor on A"; do
  grep -Eq "^$name +_(http|ipp)\._tcp\.? +[^ ]+ +198\.18\.0\.[12] +[0-9]+" <<<"$output" ||
    { echo "FAILED: no complete table row for '$name'" >&2; exit 1; }
done
[ ! -d "$2/demo-sandbox" ] || { echo "FAILED: the demo left its sandbox state behind" >&2; exit 1; }
echo ok
