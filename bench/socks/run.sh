#!/usr/bin/env bash
# Runs the SOCKS benchmark against curl through the same dante, on a sandbox Dovecot and proxies of
# their own: run.sh BUILD-DIR.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
dir=$(mktemp -d /tmp/ix-socks-bench.XXXXXX)
cleanup() {
  "$root/scripts/socks-servers.sh" stop "$dir/socks" >/dev/null 2>&1 || true
  "$root/scripts/sandbox-server.sh" stop "$dir/sandbox" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
# Servers that drop privileges must be able to traverse the folder.
chmod 755 "$dir"
"$root/scripts/sandbox-server.sh" start "$dir/sandbox" >/dev/null
"$root/scripts/socks-servers.sh" start "$dir/socks" >/dev/null
IX_SANDBOX_DIR=$dir/sandbox IX_SOCKS_DIR=$dir/socks "$build/bench/socks/bench_socks_imap"
