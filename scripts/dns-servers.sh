#!/usr/bin/env bash
# Name servers for the DNS tests and benchmark, run entirely from DIR:
#   BIND         the parent zone ixdns.test on 127.0.0.1 and ::1, port PORT
#   Knot         the delegated zones child.ixdns.test and other.ixdns.test on 127.0.0.2, the same PORT
#   BIND noedns  the parent zone again on 127.0.0.1, NOEDNS_PORT, started with -T noedns
# Ports go to DIR/dns.env and standard output.
#
#   dns-servers.sh start DIR     new ports, every server started and answering
#   dns-servers.sh stop DIR      ends the processes it started (by PID)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=server-utils.sh
source "$here/server-utils.sh"
data=$(cd "$here/../tests/data/dns" && pwd)
cmd=${1:-}; dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { sed -n '2,9p' "$0" >&2; exit 2; }
mkdir -p "$dir"; dir=$(cd "$dir" && pwd)

die() {
  echo "dns-servers: $*" >&2
  for log in "$dir"/*.log; do [[ -f $log ]] && { echo "== $log" >&2; tail -n 15 "$log" >&2; }; done
  exit 1
}

stop() {
  local name
  for name in named named-noedns knotd; do end_pid "$dir/$name.pid"; done
}

# answers ADDRESS PORT NAME: the server gives an authoritative answer within 10 s.
answers() {
  local _
  for _ in $(seq 100); do
    dig @"$1" -p "$2" "$3" SOA +norec +noedns +time=1 +tries=1 2>/dev/null | grep -q 'status: NOERROR' && return 0
    sleep 0.1
  done
  return 1
}

# A port free for UDP and TCP on 127.0.0.1, 127.0.0.2 and ::1.
shared_port() {
  python3 - <<'PY'
import socket
while True:
    probe = socket.socket(); probe.bind(("127.0.0.1", 0)); port = probe.getsockname()[1]; probe.close()
    try:
        held = []
        for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET, "127.0.0.2"), (socket.AF_INET6, "::1")):
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                s = socket.socket(family, kind); held.append(s); s.bind((host, port))
        print(port)
        break
    except OSError:
        pass
    finally:
        for s in held: s.close()
PY
}

named_conf() {  # named_conf NAME LISTEN-V4 LISTEN-V6 PORT
  mkdir -p "$dir/$1"
  cat > "$dir/$1.conf" <<CONF
options {
  directory "$dir/$1";
  pid-file "$dir/$1/named.pid";
  session-keyfile "$dir/$1/session.key";
  listen-on port $4 { $2; };
  listen-on-v6 port $4 { $3; };
  recursion no;
  notify no;
  dnssec-validation no;
};
controls { };
zone "ixdns.test" { type primary; file "$zones/parent.zone"; };
CONF
}

start() {
  stop
  rm -rf "$dir"/*.log "$dir/named" "$dir/named-noedns" "$dir/knot" "$dir/zones"
  # The zones, each with 40 A records at "big": an answer over 512 bytes.
  zones=$dir/zones
  mkdir -p "$zones"
  local zone i
  for zone in parent child other; do
    cp "$data/$zone.zone" "$zones/"
    [[ $zone == other ]] && continue
    for i in $(seq 1 40); do echo "big IN A 198.51.100.$i"; done >> "$zones/$zone.zone"
  done
  local port noedns_port
  port=$(shared_port)
  noedns_port=$(free_port)

  named_conf named 127.0.0.1 ::1 "$port"
  named_conf named-noedns 127.0.0.1 none "$noedns_port"
  /usr/sbin/named -g -n 1 -c "$dir/named.conf" >>"$dir/named.log" 2>&1 &
  echo $! > "$dir/named.pid"
  /usr/sbin/named -g -n 1 -T noedns -c "$dir/named-noedns.conf" >>"$dir/named-noedns.log" 2>&1 &
  echo $! > "$dir/named-noedns.pid"

  # Knot's control socket path must fit 107 bytes: its run folder is a short one of its own.
  local rundir; rundir=$(mktemp -d /tmp/ixknot.XXXXXX)
  echo "$rundir" > "$dir/knot-rundir"
  mkdir -p "$dir/knot"
  cat > "$dir/knot.conf" <<CONF
server:
  rundir: "$rundir"
  listen: 127.0.0.2@$port
log:
  - target: stderr
    any: info
database:
  storage: "$dir/knot"
template:
  - id: default
    storage: "$zones"
    zonefile-sync: -1
    zonefile-load: whole
    journal-content: none
    semantic-checks: off
zone:
  - domain: child.ixdns.test
    file: "child.zone"
  - domain: other.ixdns.test
    file: "other.zone"
CONF
  /usr/sbin/knotd -c "$dir/knot.conf" >>"$dir/knotd.log" 2>&1 &
  echo $! > "$dir/knotd.pid"

  answers 127.0.0.1 "$port" ixdns.test || die "BIND does not answer on port $port"
  answers ::1 "$port" ixdns.test || die "BIND does not answer on ::1 port $port"
  answers 127.0.0.1 "$noedns_port" ixdns.test || die "BIND (noedns) does not answer on port $noedns_port"
  answers 127.0.0.2 "$port" child.ixdns.test || die "Knot does not answer on 127.0.0.2 port $port"

  cat > "$dir/dns.env" <<ENV
IX_DNS_PORT=$port
IX_DNS_NOEDNS_PORT=$noedns_port
ENV
  cat "$dir/dns.env"
}

case $cmd in
  start) start ;;
  stop)
    stop
    # A second stop finds nothing to do and still succeeds.
    if [[ -f $dir/knot-rundir ]]; then rm -rf "$(cat "$dir/knot-rundir")" "$dir/knot-rundir"; fi
    ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac
