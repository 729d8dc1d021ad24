# The per-host daemons of scripts/sandbox: a private D-Bus system bus and an
# avahi-daemon bound to the host's veth end. Sourced by scripts/sandbox after
# sandbox_procs.sh; expects ZS_DIR.

# A system bus with the stock system bus's policy: anyone may connect, send
# signals and talk to the bus driver, but owns no name, calls no one and sends
# only the replies it was asked for; root (the sandbox's clients and
# avahi-daemon) owns and calls everything; anyone may call the daemon, as its
# own bus policy allows. Tests thus meet what an unprivileged process on a real
# system can send them.
zs_write_bus_config() { # FILE SOCKET
  cat >"$1" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$2</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <allow send_destination="org.freedesktop.Avahi"/>
    <allow receive_sender="org.freedesktop.Avahi"/>
    <deny send_destination="org.freedesktop.Avahi" send_interface="org.freedesktop.Avahi.Server"
          send_member="SetHostName"/>
  </policy>
  <policy user="root">
    <allow own="*"/>
    <allow send_type="method_call"/>
  </policy>
</busconfig>
EOF
}

# A unix socket path must fit in 108 bytes; deep state directories get their
# bus socket in a temporary directory instead, which down removes. Either
# directory is open to all users, who may connect to a system bus.
zs_bus_socket_path() { # HOST
  local path="$ZS_DIR/bus-$1.socket"
  if [ ${#path} -gt 100 ]; then
    local dir
    dir=$(mktemp -d /tmp/zelm-sandbox-bus.XXXXXX) && chmod 0755 "$dir"
    echo "$dir" >>"$ZS_DIR/tmpdirs"
    path="$dir/bus-$1.socket"
  fi
  echo "$path"
}

# Starts the bus of HOST (a or b) inside NETNS and prints its address.
zs_start_bus() { # HOST NETNS [SOCKET]
  local host=$1 netns=$2 socket=${3:-} conf out pid address
  [ -n "$socket" ] || socket=$(zs_bus_socket_path "$host")
  conf="$ZS_DIR/bus-$host.conf"
  zs_write_bus_config "$conf" "$socket"
  # --fork returns once the socket listens; the pid and address come back on stdout.
  out=$(ip netns exec "$netns" dbus-daemon --config-file="$conf" --fork --print-pid=1 --print-address=1 \
    2>>"$ZS_DIR/bus-$host.log") || {
    echo "sandbox: dbus-daemon for host ${host^^} did not start, see $ZS_DIR/bus-$host.log" >&2
    return 1
  }
  address=$(grep '^unix:' <<<"$out" | head -n1)
  pid=$(grep -E '^[0-9]+$' <<<"$out" | head -n1)
  [ -n "$pid" ] && [ -n "$address" ] || {
    echo "sandbox: unexpected dbus-daemon output: $out" >&2
    return 1
  }
  zs_record_pid "bus-$host" "$pid" || return 1
  # Clients need only the path; the guid would pin them to this bus instance.
  echo "${address%%,*}"
}

# Starts the bus of HOST again on the socket of BUS_ADDRESS, where its clients
# look for it.
zs_restart_bus() { # HOST NETNS BUS_ADDRESS
  local socket=${3#unix:path=}
  # A bus that was killed leaves its socket file behind.
  rm -f "$socket"
  zs_start_bus "$1" "$2" "$socket" >/dev/null
}

# Multicast DNS only: the backend asks unicast DNS itself, so the daemon's
# wide-area client stays off.
zs_write_avahi_config() { # FILE HOSTNAME INTERFACE
  cat >"$1" <<EOF
[server]
host-name=$2
domain-name=local
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$3
enable-dbus=yes
disallow-other-stacks=no
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
[reflector]
enable-reflector=no
EOF
}

# Runs avahi-daemon for HOST in the foreground of a recorded background
# process. Its own mount namespace gets a fresh /run (pid file and socket
# private to this daemon, nothing created on the machine) and an empty
# services folder (the machine's static services stay out of the sandbox).
zs_start_avahi() { # HOST NETNS BUS_ADDRESS
  local host=$1 netns=$2 bus=$3
  local conf="$ZS_DIR/avahi-$host.conf" log="$ZS_DIR/avahi-$host.log"
  echo "--- start $(date +%T.%N)" >>"$log"
  DBUS_SYSTEM_BUS_ADDRESS=$bus zs_start_recorded "avahi-$host" "$log" \
    ip netns exec "$netns" unshare --mount --propagation private sh -c '
      mount -t tmpfs -o mode=0755 zelm-sandbox /run || exit 1
      if [ -d /etc/avahi/services ]; then
        mount -t tmpfs -o mode=0755,ro zelm-sandbox /etc/avahi/services || exit 1
      fi
      exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f "$1"' \
    sh "$conf"
}

# Waits until the avahi-daemon of HOST has joined the bus and finished
# probing its host name (server state 2, "running"); at most 20 s.
zs_wait_avahi_ready() { # HOST BUS_ADDRESS
  local host=$1 bus=$2 reply deadline=$((SECONDS + 20))
  while ((SECONDS < deadline)); do
    if ! zs_role_alive "avahi-$host"; then
      echo "sandbox: avahi-daemon on host ${host^^} exited; its log:" >&2
      tail -n 20 "$ZS_DIR/avahi-$host.log" >&2
      return 1
    fi
    reply=$(DBUS_SYSTEM_BUS_ADDRESS=$bus dbus-send --system --print-reply --reply-timeout=1000 \
      --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null) || reply=""
    if grep -q 'int32 2$' <<<"$reply"; then
      return 0
    fi
    sleep 0.1
  done
  echo "sandbox: avahi-daemon on host ${host^^} not ready after 20 s; its log:" >&2
  tail -n 20 "$ZS_DIR/avahi-$host.log" >&2
  return 1
}
