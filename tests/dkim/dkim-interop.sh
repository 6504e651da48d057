#!/usr/bin/env bash
# DKIM interop with dkimpy and OpenDKIM, the keys served by BIND from a folder: messages dkim-tool
# signs verify with both peers, messages dkimpy signs verify with dkim-tool and both peers, and a
# changed body or signed header fails everywhere. (OpenDKIM's signatures would reach our verifier
# in the same algorithms and canonicalizations as dkimpy's, which also signs with l=.)
#
#   dkim-interop.sh DKIM_TOOL
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/server-utils.sh
source "$here/../../scripts/server-utils.sh"
tool=$1
py=/usr/bin/python3
dir=$(mktemp -d /tmp/ix-dkim.XXXXXX)
trap 'end_pid "$dir/named.pid"; [[ -n ${KEEP:-} ]] || rm -rf "$dir"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# --- keys and the zone that publishes them -----------------------------------------------------
openssl genrsa -traditional -out "$dir/rsa.pem" 2048 2>/dev/null
openssl genpkey -algorithm ed25519 -out "$dir/ed.pem"
# dkimpy reads an Ed25519 key as the base64 of its 32-byte seed: the tail of the PKCS#8 DER.
openssl pkey -in "$dir/ed.pem" -outform DER | tail -c 32 | base64 > "$dir/ed.seed"
rsa_p=$(openssl rsa -in "$dir/rsa.pem" -pubout -outform DER 2>/dev/null | base64 -w0)
ed_p=$(openssl pkey -in "$dir/ed.pem" -pubout -outform DER | tail -c 32 | base64 -w0)
# A record as quoted strings of at most 255 bytes (a 2048-bit key needs two).
txt() { fold -w 250 <<<"$1" | sed 's/.*/"&"/' | tr '\n' ' '; }
port=$(free_port)
domain=dkim.test
cat > "$dir/zone" <<ZONE
\$TTL 300
@ IN SOA ns.$domain. admin.$domain. 1 3600 600 86400 300
@ IN NS ns.$domain.
ns IN A 127.0.0.1
rsa._domainkey IN TXT $(txt "v=DKIM1; k=rsa; p=$rsa_p")
ed._domainkey IN TXT $(txt "v=DKIM1; k=ed25519; p=$ed_p")
ZONE
cat > "$dir/named.conf" <<CONF
options {
  directory "$dir"; pid-file "$dir/named.pid"; session-keyfile "$dir/session.key";
  listen-on port $port { 127.0.0.1; }; listen-on-v6 { none; };
  recursion no; dnssec-validation no;
};
controls { };
zone "$domain" { type primary; file "$dir/zone"; };
CONF
/usr/sbin/named -g -n 1 -c "$dir/named.conf" > "$dir/named.log" 2>&1 &
for _ in $(seq 100); do
  dig +short +time=1 +tries=1 @127.0.0.1 -p "$port" "rsa._domainkey.$domain" TXT 2>/dev/null | grep -q DKIM1 && break
  sleep 0.1
done
dig +short @127.0.0.1 -p "$port" "rsa._domainkey.$domain" TXT | grep -q DKIM1 || { cat "$dir/named.log" >&2; exit 1; }

# OpenDKIM's resolver (libunbound) asks BIND for the test zone only.
cat > "$dir/unbound.conf" <<CONF
server:
  do-not-query-localhost: no
  local-zone: "test." nodefault
stub-zone:
  name: "$domain"
  stub-addr: 127.0.0.1@$port
CONF

# --- the messages -------------------------------------------------------------------------------
# One space after each colon: OpenDKIM's test mode rebuilds "Name: value" and loses any more.
printf 'From: Alice <alice@%s>\r\nTo: bob@example.net\r\nSubject: A  folded\r\n\t subject  line \r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <1@%s>\r\n\r\nHello  there, \r\n\r\nwith\ttabs and trailing space \r\n\r\n\r\n' \
  "$domain" "$domain" > "$dir/plain.eml"

# --- verifiers: each prints nothing useful, answers by its exit code ---------------------------
verify_ours() { "$tool" verify --dns-server 127.0.0.1 --dns-port "$port" < "$1" > "$dir/out" 2>&1; }
verify_dkimpy() { "$py" "$here/dkimpy-peer.py" verify "$port" < "$1" > "$dir/out" 2>&1; }
verify_opendkim() {
  printf 'Mode v\nResolverConfiguration %s\nSyslog no\n' "$dir/unbound.conf" > "$dir/od-verify.conf"
  # OpenDKIM reads its test file with LF line ends, and exits 0 whatever the verdict.
  sed 's/\r$//' "$1" > "$dir/lf.eml"
  opendkim -x "$dir/od-verify.conf" -t "$dir/lf.eml" > "$dir/out" 2>&1 || return 1
  grep -q ') succeeded$' "$dir/out" && ! grep -qi 'failed' "$dir/out"
}

# expect RESULT NAME FILE VERIFIER...: each verifier passes (RESULT=pass) or fails (RESULT=fail).
expect() {
  local result=$1 name=$2 file=$3 verifier; shift 3
  for verifier in "$@"; do
    if "verify_$verifier" "$file"; then
      [[ $result == pass ]] || fail "$name: $verifier accepted a changed message"
    else
      [[ $result == fail ]] || fail "$name: $verifier refused it: $(tr '\n' ' ' < "$dir/out")"
    fi
  done
}

# check_all FILE...: each signed message verifies everywhere, and fails everywhere once its body or
# a signed header is changed.
check_all() {
  local f name
  for f in "$@"; do
    name=$(basename "$f" .eml)
    expect pass "$name" "$f" ours dkimpy opendkim
    sed 's/^Hello  there/Hello there!/' "$f" > "$f.body"
    sed 's/^To: bob@/To: eve@/' "$f" > "$f.header"
    expect fail "$name (body)" "$f.body" ours dkimpy opendkim
    expect fail "$name (header)" "$f.header" ours dkimpy opendkim
  done
}

# --- signers: each signs plain.eml into $dir/NAME.eml ---------------------------------------------
ours() {  # NAME ARGS...
  local name=$1; shift
  "$tool" sign --domain "$domain" "$@" < "$dir/plain.eml" > "$dir/$name.eml"
}
theirs_py() {  # NAME KEY SELECTOR CANON ALGORITHM [l]
  local name=$1 key=$2 selector=$3; shift 3
  "$py" "$here/dkimpy-peer.py" sign "$key" "$domain" "$selector" "$@" < "$dir/plain.eml" > "$dir/$name.eml"
}

# --- each signs, the others and we verify ----------------------------------------------------------
for canon in simple/simple simple/relaxed relaxed/simple relaxed/relaxed; do
  ours "ours-${canon/\//-}" --key "$dir/rsa.pem" --selector rsa --canon "$canon"
  theirs_py "py-${canon/\//-}" "$dir/rsa.pem" rsa "$canon" rsa-sha256
done
# rsa-sha1 and header names repeated and absent: the peers judge our signatures; our verifier meets
# the same hash in our own, and the bottom-up field choice in the unit canonicalization case.
ours ours-sha1 --key "$dir/rsa.pem" --selector rsa --algorithm rsa-sha1 --canon relaxed/relaxed
ours ours-ed25519 --key "$dir/ed.pem" --selector ed --algorithm ed25519-sha256 --canon relaxed/relaxed
theirs_py py-ed25519 "$dir/ed.seed" ed relaxed/relaxed ed25519-sha256
ours ours-twice-absent --key "$dir/rsa.pem" --selector rsa --canon relaxed/simple \
  --headers From:From:To:Subject:X-Absent:Date
ours ours-length --key "$dir/rsa.pem" --selector rsa --canon simple/simple --length 20
theirs_py py-length "$dir/rsa.pem" rsa simple/relaxed rsa-sha256 l
ours ours-copied --key "$dir/rsa.pem" --selector rsa --canon relaxed/relaxed --copy From:Subject
# l= covers only the first 20 bytes: a change after them still verifies.
sed 's/trailing space/TRAILING space/' "$dir/ours-length.eml" > "$dir/length-tail.eml"
expect pass "l= tail" "$dir/length-tail.eml" ours dkimpy opendkim

check_all "$dir"/ours-*.eml "$dir"/py-*.eml

echo "dkim interop: $failures failed"
[[ $failures -eq 0 ]]
