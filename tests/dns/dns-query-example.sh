#!/usr/bin/env bash
# Runs the dns-query example against the test name servers: dns-query-example.sh DNS-QUERY DNS-DIR.
# Its line for a record and its error for a missing name; dns-interop.py compares the records it
# prints for every other kind of answer (TCP, IPv6, truncated, the child zone) with dnspython's.
set -euo pipefail
exe=$1
# shellcheck disable=SC1091
source "$2/dns.env"
fail() { echo "dns-query-example: $*" >&2; exit 1; }

out=$("$exe" --server 127.0.0.1 --port "$IX_DNS_PORT" www.ixdns.test A)
[[ $out == "www.ixdns.test. 300 IN A 192.0.2.1" ]] || fail "A: '$out'"
status=0
err=$("$exe" --server 127.0.0.1 --port "$IX_DNS_PORT" nothing.ixdns.test A 2>&1) || status=$?
[[ $status -eq 1 && $err == "dns-query: No such name" ]] || fail "NXDOMAIN: $status '$err'"
echo "dns-query-example: all as expected"
