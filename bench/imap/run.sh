#!/usr/bin/env bash
# Runs the IMAP benchmarks against a sandbox Dovecot of their own: run.sh BUILD-DIR.
#
# With two CPUs or more, the server keeps the first CPU to itself and the clients (ours, curl,
# imaplib) run on the others, as they would against a server on another machine. Left to the
# scheduler, a client shares the server's CPU in some runs and not in others, and the one that
# uses more CPU loses more by it: the 50 MB fetches then varied by a fifth from run to run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
dir=$(mktemp -d /tmp/ix-imap-bench.XXXXXX)
trap '"$root/scripts/sandbox-server.sh" stop "$dir" >/dev/null 2>&1 || true' EXIT
server=() clients=()
if [[ $(nproc) -ge 2 ]]; then
  server=(taskset -c 0) clients=(taskset -c "1-$(($(nproc) - 1))")
fi
"${server[@]}" "$root/scripts/sandbox-server.sh" start "$dir" >/dev/null
IX_SANDBOX_DIR=$dir "${clients[@]}" "$build/bench/imap/bench_imap_fetch"
