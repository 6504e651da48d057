#!/usr/bin/env bash
# Runs the DNS benchmark against c-ares on a BIND of its own: run.sh BUILD-DIR.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
dir=$(mktemp -d /tmp/ix-dns-bench.XXXXXX)
cleanup() {
  "$root/scripts/dns-servers.sh" stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
"$root/scripts/dns-servers.sh" start "$dir" >/dev/null
IX_DNS_DIR=$dir "$build/bench/dns/bench_dns_query"
