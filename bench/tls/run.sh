#!/usr/bin/env bash
# Runs the TLS benchmarks: the bulk stream against a local OpenSSL server with a certificate made
# here, and IMAP over TLS against curl on a sandbox Dovecot of their own: run.sh BUILD-DIR.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
dir=$(mktemp -d /tmp/ix-tls-bench.XXXXXX)
trap '"$root/scripts/sandbox-server.sh" stop "$dir" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
mkdir "$dir/stream"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$dir/stream/key.pem" -out "$dir/stream/cert.pem" >/dev/null 2>&1
"$build/bench/tls/bench_tls_stream" "$dir/stream/cert.pem" "$dir/stream/key.pem"
"$root/scripts/sandbox-server.sh" start "$dir" >/dev/null
IX_SANDBOX_DIR=$dir "$build/bench/tls/bench_tls_imap"
