#!/usr/bin/env bash
# Smoke test of scripts/demo against an existing build tree: it must succeed
# and its table must list the peer's services and the one it registered.
# Usage: demo_smoke.sh REPO BUILD_DIR. Exit 77 where the sandbox cannot run.
set -uo pipefail
repo=$1
build_dir=$2

if [ "$(id -u)" -ne 0 ]; then
  echo "demo needs root for the sandbox: skipped" >&2
  exit 77
fi
output=$("$repo/scripts/demo" --no-build --build-dir "$build_dir" 2>&1)
status=$?
printf '%s\n' "$output"
[ $status -eq 77 ] && exit 77
if [ $status -ne 0 ]; then
  echo "FAILED: scripts/demo exited with $status" >&2
  exit 1
fi
for name in "Demo Printer" "Demo Web Server" "Demo Wiki" "Demo Sensor on A"; do
  if ! grep -Eq "^$name +_(http|ipp)\._tcp\.? +[^ ]+ +198\.18\.0\.[12] +[0-9]+" <<<"$output"; then
    echo "FAILED: no complete table row for '$name'" >&2
    exit 1
  fi
done
if [ -d "$build_dir/demo-sandbox" ]; then
  echo "FAILED: the demo left its sandbox state behind" >&2
  exit 1
fi
echo "ok"
