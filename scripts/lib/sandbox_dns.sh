# The unicast DNS side of scripts/sandbox (up --dns): an authoritative DNS
# server on host B that serves the wide-area DNS-SD test zone zelm.test.
# (scripts/lib/zelm.test.zone, plus generated instances) and the empty zone
# empty.test., and host A's resolver file that points at it:
# /etc/netns/<netns A>/resolv.conf, which `ip netns exec` (and so
# `scripts/sandbox exec A`) binds over /etc/resolv.conf; the machine's own
# /etc/resolv.conf is never touched. Sourced by scripts/sandbox after
# sandbox_procs.sh; expects ZS_DIR, ZS_REPO and the sandbox's variables.
#
# The server is BIND 9 (named): of Debian's authoritative servers it is the
# one that sends the names in a PTR record's data with the case the zone
# gives them. nsd and knot fold them to lower case, and a browse through
# them then sees "zelm alpha" for "Zelm Alpha" (avahi-daemon passes on what
# it receives). It runs in the foreground (-g) under our own pid record, as
# an authoritative server only, and answers within half a second of starting.

ZS_DNS_ZONE=zelm.test
ZS_DNS_EMPTY_ZONE=empty.test
# Generated instances: a type over the 100 records BIND allows an RRset by
# default (its answer only fits over TCP), and a larger one for the benchmark.
ZS_DNS_MANY=250
ZS_DNS_BENCH=1000

zs_write_dns_files() {
  local dir="$ZS_DIR/dns"
  mkdir -p "$dir" || return 1
  sed -e "s/@ADDR_A@/$ZELM_SANDBOX_ADDR_A/g" -e "s/@ADDR6_A@/$ZELM_SANDBOX_ADDR6_A/g" \
    -e "s/@ADDR_B@/$ZELM_SANDBOX_ADDR_B/g" -e "s/@ADDR6_B@/$ZELM_SANDBOX_ADDR6_B/g" \
    "$ZS_REPO/scripts/lib/$ZS_DNS_ZONE.zone" >"$dir/$ZS_DNS_ZONE.zone" || return 1
  zs_write_update_key "$dir" || return 1
  local i
  for ((i = 1; i <= ZS_DNS_MANY; i++)); do
    echo "_zelmmany._tcp PTR Zelm\\032Many\\032$i._zelmmany._tcp"
  done >>"$dir/$ZS_DNS_ZONE.zone"
  for ((i = 1; i <= ZS_DNS_BENCH; i++)); do
    echo "_zelmbench._tcp PTR Zelm\\032Bench\\032$i._zelmbench._tcp"
  done >>"$dir/$ZS_DNS_ZONE.zone"
  printf '$TTL 60\n@ SOA ns.%s. hostmaster.%s. 1 3600 600 86400 60\n@ NS ns.%s.\n' \
    "$ZS_DNS_ZONE" "$ZS_DNS_ZONE" "$ZS_DNS_ZONE" >"$dir/$ZS_DNS_EMPTY_ZONE.zone" || return 1
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
  max-records-per-type 0;
  dnssec-validation no;
  allow-query { any; };
};
controls { };
key "$ZS_DNS_KEY" { algorithm hmac-sha256; secret "$(cat "$dir/update.secret")"; };
zone "$ZS_DNS_ZONE" {
  type primary; file "$dir/$ZS_DNS_ZONE.zone";
  allow-update { key "$ZS_DNS_KEY"; };
};
zone "$ZS_DNS_EMPTY_ZONE" { type primary; file "$dir/$ZS_DNS_EMPTY_ZONE.zone"; };
EOF
  zs_write_resolver "$ZELM_SANDBOX_ADDR_B"
}

# Host A's resolver: ADDRESS alone. Rewritten in place, so that a process
# that already has it bound over its /etc/resolv.conf sees the change.
zs_write_resolver() { # ADDRESS
  local dir="/etc/netns/$ZELM_SANDBOX_NETNS_A"
  mkdir -p "$dir" || return 1
  printf 'nameserver %s\n' "$1" >"$dir/resolv.conf"
}

# At down: the resolver file of a namespace the sandbox made, and its folder.
zs_remove_resolver() { # NETNS
  case "$1" in zelm-*) ;; *) return 0 ;; esac
  rm -f "/etc/netns/$1/resolv.conf"
  rmdir "/etc/netns/$1" 2>/dev/null
  rmdir /etc/netns 2>/dev/null
  return 0
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
host-name = $ZELM_SANDBOX_HOSTNAME_A
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
