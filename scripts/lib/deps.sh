# Installs the Debian packages that building, testing and the demo need, when
# any is missing. Sourced by scripts/test and scripts/demo.

ZELM_PACKAGES=(
  g++ cmake ninja-build pkg-config make
  libgtest-dev libdbus-1-dev
  avahi-daemon avahi-utils dbus dbus-daemon
  python3 python3-zeroconf python3-dbus iproute2 procps util-linux binutils
  nlohmann-json3-dev libcli11-dev
  libc-ares-dev libldns-dev dnsutils
  dpkg-dev file
  bind9 nftables
  python3-jsonschema
)

zelm_install_deps() {
  local missing=()
  local pkg
  for pkg in "${ZELM_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  # A package's own start-up scripts must not start a system-wide daemon
  # (avahi-daemon on the machine's real interfaces): block them while we install.
  local guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    guard=1
  fi
  local rc=0
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } || rc=$?
  [ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d
  return $rc
}

