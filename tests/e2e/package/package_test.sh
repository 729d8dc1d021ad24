#!/usr/bin/env bash
# The Debian packages of a build, unpacked into a scratch root: a host built
# against them (the example host, examples/host) with find_package and with pkg-config finds the peer's service,
# and so does the unpacked zelm-mdns, with the plug-in it finds by itself.
# Runs on sandbox host A. Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
example=$(cd "$here/../../../examples/host" && pwd)
build=$1 version=$2 type=_zelmpkg._tcp name="Zelm Package $$"
work=$(mktemp -d /tmp/zelm-package.XXXXXX) peer=""
trap '[ -z "$peer" ] || kill "$peer"; rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/debs") >"$work/cpack.log" || { cat "$work/cpack.log"; exit 1; }
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
root=$work/root/usr

cmake -S "$example" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/cmake" >/dev/null
PKG_CONFIG_PATH=$(dirname "$(find "$root" -name ZelmMDNS.pc)") && export PKG_CONFIG_PATH
g++ -std=c++17 -o "$work/consumer-pc" "$example/main.cpp" -DZELM_PLUGIN="\"$(pkg-config --variable=plugin ZelmMDNS)\"" \
  $(pkg-config --cflags --libs ZelmMDNS) -Wl,-rpath,"$(pkg-config --variable=libdir ZelmMDNS)"

"$ZELM_SANDBOX_REPO/scripts/sandbox" exec B /usr/bin/python3 "$ZELM_SANDBOX_REPO/tests/integration/peer.py" publish \
  --name "$name" --type $type --port 7501 --for 120 >"$work/peer.log" &
peer=$!
for _ in $(seq 200); do grep -q '"published"' "$work/peer.log" && break || sleep 0.1; done

[ "$("$root/bin/zelm-mdns" --version)" = "zelm-mdns $version" ]
# The tool must load the plug-in unpacked beside it (the loader's log names the file).
for found in "$work/cmake/consumer $type" "$work/consumer-pc $type" "env -u ZELM_MDNS_PLUGIN LD_DEBUG=files $root/bin/zelm-mdns browse $type --quiet"; do
  $found 2>"$work/stderr" | grep -F "$name" >/dev/null || { echo "not found by: $found" >&2; cat "$work/stderr"; exit 1; }
done
grep -qF "file=$root/bin/../lib" "$work/stderr"
