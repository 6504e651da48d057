#!/usr/bin/env bash
# make-certs.sh DIR: the TLS tests' certificates, afresh, as DIR/NAME.crt and NAME.key for ca, inter, good
# (+ -chain.crt, .p12), expired, notyet, wrongname, dnsip, wildcard, unknownca,
# clientonly, weakkey, sha1, client (+ client-enc.key, .p12; password "secret").
set -euo pipefail
dir=${1:?usage: make-certs.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
db=$dir/ca-db
rm -rf "$db"
mkdir -p "$db"
: >"$db/index.txt"
log=$db/openssl.log

run() {
  "$@" >"$log" 2>&1 || { echo "make-certs.sh: failed: $*" >&2; cat "$log" >&2; exit 1; }
}

# One configuration for every signer: the CA certificate and key come from the command line, the
# leaf's names and usage from IX_SAN and IX_EKU, its key identifiers from IX_SKI and IX_AKI.
cnf=$db/openssl.cnf
cat >"$cnf" <<CNF
[ca]
default_ca = ixca
[ixca]
database = $db/index.txt
new_certs_dir = $db
serial = $db/serial
default_md = sha256
default_days = 30
policy = anything
unique_subject = no
preserve = yes
email_in_dn = yes
[anything]
commonName = optional
organizationName = optional
organizationalUnitName = optional
emailAddress = optional
[req]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
[dn]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[inter]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = \$ENV::IX_EKU
subjectAltName = \$ENV::IX_SAN
subjectKeyIdentifier = \$ENV::IX_SKI
authorityKeyIdentifier = \$ENV::IX_AKI
CNF

names="DNS:mail.example.test,DNS:localhost,IP:127.0.0.1,IP:::1"
export IX_SAN=$names IX_EKU=serverAuth IX_SKI=hash IX_AKI=keyid

# cert NAME SUBJECT ISSUER SECTION [openssl ca options]: NAME.key and NAME.crt signed by ISSUER; the key
# is P-256 unless IX_KEY asks for RSA (rsa:BITS).
cert() {
  local name=$1 subject=$2 issuer=$3 section=$4
  local opts=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
  shift 4
  [[ -z ${IX_KEY:-} ]] || opts=(-newkey "$IX_KEY")
  run openssl req -config "$cnf" -new -utf8 "${opts[@]}" -nodes -subj "$subject" -keyout "$dir/$name.key" \
    -out "$db/$name.csr"
  run openssl ca -batch -config "$cnf" -notext -rand_serial -extensions "$section" -cert "$dir/$issuer.crt" \
    -keyfile "$dir/$issuer.key" -in "$db/$name.csr" -out "$dir/$name.crt" "$@"
}

# root NAME SUBJECT: a self-signed CA, NAME.crt.
root() {
  run openssl req -config "$cnf" -x509 -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -extensions root -subj "$2" -keyout "$dir/$1.key" -out "$dir/$1.crt"
}

root ca "/CN=ixmail test root/O=ixmail tests"
root otherca "/CN=ixmail other root/O=ixmail tests"
cert inter "/CN=ixmail test intermediate/O=ixmail tests" ca inter

IX_SAN="$names,email:postmaster@example.test" cert good "/CN=mail.example.test/O=ixmail tests/OU=good" inter leaf
cat "$dir/good.crt" "$dir/inter.crt" >"$dir/good-chain.crt"
run openssl pkcs12 -export -passout pass:secret -in "$dir/good.crt" -inkey "$dir/good.key" \
  -certfile "$dir/inter.crt" -out "$dir/good.p12"

cert expired "/CN=mail.example.test/OU=expired" ca leaf -startdate 20200101000000Z -enddate 20200102000000Z
cert notyet "/CN=mail.example.test/OU=not yet valid" ca leaf -startdate 20990101000000Z -enddate 20991231000000Z

IX_SAN=DNS:other.example.test cert wrongname "/CN=other.example.test" ca leaf
IX_SAN=DNS:127.0.0.1 cert dnsip "/CN=127.0.0.1" ca leaf
IX_SAN="DNS:*.example.test,DNS:m*.partial.test" cert wildcard "/O=ixmail tests/OU=wildcard" ca leaf

cert unknownca "/CN=mail.example.test/OU=unknown CA" otherca leaf

IX_EKU=clientAuth cert clientonly "/CN=mail.example.test/OU=client only" ca leaf
IX_KEY=rsa:1024 IX_SKI=none IX_AKI=none cert weakkey "/CN=mail.example.test/OU=weak key" ca leaf
cert sha1 "/CN=mail.example.test/OU=SHA-1" ca leaf -md sha1

IX_EKU=clientAuth IX_SAN=email:client-alt@example.test \
  cert client "/CN=ixmail test client/emailAddress=client@example.test" ca leaf
run openssl pkey -in "$dir/client.key" -aes256 -passout pass:secret -out "$dir/client-enc.key"
run openssl pkcs12 -export -passout pass:secret -in "$dir/client.crt" -inkey "$dir/client.key" -out "$dir/client.p12"

rm -rf "$db"
