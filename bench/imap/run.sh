#!/usr/bin/env bash
# Runs the IMAP benchmarks against a sandbox Dovecot of their own: run.sh BUILD-DIR.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
dir=$(mktemp -d /tmp/ix-imap-bench.XXXXXX)
trap '"$root/scripts/sandbox-server.sh" stop "$dir" >/dev/null 2>&1 || true' EXIT
"$root/scripts/sandbox-server.sh" start "$dir" >/dev/null
IX_SANDBOX_DIR=$dir "$build/bench/imap/bench_imap_fetch"
