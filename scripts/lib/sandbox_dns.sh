# The unicast DNS side of scripts/sandbox (up --dns): an authoritative DNS
# server on host B that serves the wide-area DNS-SD test zone zelm.test.
# (scripts/lib/zelm.test.zone), and the resolver file that points host A's
# avahi-daemon at it. Sourced by scripts/sandbox after sandbox_procs.sh;
# expects ZS_DIR, ZS_REPO and the sandbox's variables.
#
# The server is BIND 9 (named): of Debian's authoritative servers it is the
# one that sends the names in a PTR record's data with the case the zone
# gives them. nsd and knot fold them to lower case, and a browse through
# them then sees "zelm alpha" for "Zelm Alpha" (avahi-daemon passes on what
# it receives). It runs in the foreground (-g) under our own pid record, as
# an authoritative server only, and answers within half a second of starting.

ZS_DNS_ZONE=zelm.test

zs_write_dns_files() {
  local dir="$ZS_DIR/dns"
  mkdir -p "$dir" || return 1
  sed -e "s/@ADDR_A@/$ZELM_SANDBOX_ADDR_A/g" -e "s/@ADDR6_A@/$ZELM_SANDBOX_ADDR6_A/g" \
    -e "s/@ADDR_B@/$ZELM_SANDBOX_ADDR_B/g" -e "s/@ADDR6_B@/$ZELM_SANDBOX_ADDR6_B/g" \
    "$ZS_REPO/scripts/lib/$ZS_DNS_ZONE.zone" >"$dir/$ZS_DNS_ZONE.zone" || return 1
  zs_write_update_key "$dir" || return 1
  # Authoritative only, on B's IPv4 address only, no control channel; what it
  # writes (its managed-keys zone) stays in the state directory.
  cat >"$dir/named.conf" <<EOF
options {
  directory "$dir";
  pid-file none;
  listen-on port 53 { $ZELM_SANDBOX_ADDR_B; };
  listen-on-v6 { none; };
  recursion no;
  notify no;
  dnssec-validation no;
  allow-query { any; };
};
controls { };
key "$ZS_DNS_KEY" { algorithm hmac-sha256; secret "$(cat "$dir/update.secret")"; };
zone "$ZS_DNS_ZONE" {
  type primary; file "$dir/$ZS_DNS_ZONE.zone";
  allow-update { key "$ZS_DNS_KEY"; };
};
EOF
  # What avahi-daemon on A reads as /etc/resolv.conf: this server alone.
  printf 'nameserver %s\n' "$ZELM_SANDBOX_ADDR_B" >"$dir/resolv.conf"
}

# The TSIG key that signs registrations by DNS UPDATE, fresh for every
# sandbox, and the backend's update configuration for the zone (root's
# alone, as the backend demands), which the tests name in
# ZELM_DNSSD_UPDATE_CONFIG. The zone's journal is written beside the zone.
ZS_DNS_KEY=zelm-update.
zs_write_update_key() {
  local dir=$1
  (umask 077 && head -c 32 /dev/urandom | base64 >"$dir/update.secret") || return 1
  (umask 077 && cat >"$dir/dnssd-update.conf") <<EOF || return 1
[$ZS_DNS_ZONE]
server = $ZELM_SANDBOX_ADDR_B
key-name = $ZS_DNS_KEY
algorithm = hmac-sha256
secret = $(cat "$dir/update.secret")
host-name = zelm-host-a
EOF
}

# Starts named on host B in the foreground of a recorded process (role
# dns-b), as root (no -u: the state directory is root's), with one worker.
zs_start_dns() {
  local log="$ZS_DIR/dns-b.log"
  echo "--- start $(date +%T.%N)" >>"$log"
  zs_start_recorded dns-b "$log" ip netns exec "$ZELM_SANDBOX_NETNS_B" \
    named -g -4 -n 1 -c "$ZS_DIR/dns/named.conf"
}

# True once the server answers a query for the zone's SOA from host A: one
# UDP datagram to port 53 through bash's /dev/udp, and any reply counts.
zs_dns_answers() {
  ip netns exec "$ZELM_SANDBOX_NETNS_A" bash -c '
    exec 3<>"/dev/udp/$1/53" || exit 1
    printf "\x5a\x31\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x04zelm\x04test\x00\x00\x06\x00\x01" >&3
    read -r -t 0.3 -N 1 -u 3 _' sh "$ZELM_SANDBOX_ADDR_B" 2>/dev/null
}

# Waits until the server on B answers; at most 10 s.
zs_wait_dns_ready() {
  local deadline=$((SECONDS + 10))
  while ((SECONDS < deadline)); do
    if ! zs_role_alive dns-b; then
      echo "sandbox: the DNS server on host B exited; its log:" >&2
      tail -n 20 "$ZS_DIR/dns-b.log" >&2
      return 1
    fi
    zs_dns_answers && return 0
    sleep 0.05
  done
  echo "sandbox: the DNS server on host B does not answer after 10 s; its log:" >&2
  tail -n 20 "$ZS_DIR/dns-b.log" >&2
  return 1
}
