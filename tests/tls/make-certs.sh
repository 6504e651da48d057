#!/usr/bin/env bash
# make-certs.sh DIR: the TLS tests' certificates, afresh, as DIR/NAME.crt and NAME.key for ca, inter, good
# (+ -chain.crt, .p12), expired, notyet, wrongname, dnsip, wildcard, selfsigned, unknownca, badinter (+ -chain.crt),
# clientonly, weakkey, sha1, tls1, client (+ client-enc.key, .p12; password "secret"); nointer is good.crt alone.
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
# leaf's names and usage from IX_SAN and IX_EKU, its key identifiers from IX_SKI and IX_AKI, an
# intermediate's constraints from IX_CA.
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
basicConstraints = \$ENV::IX_CA
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
[self]
basicConstraints = CA:FALSE
extendedKeyUsage = \$ENV::IX_EKU
subjectAltName = \$ENV::IX_SAN
subjectKeyIdentifier = hash
CNF

names="DNS:mail.example.test,DNS:localhost,IP:127.0.0.1,IP:::1"
export IX_SAN=$names IX_EKU=serverAuth IX_SKI=hash IX_AKI=keyid IX_CA="critical, CA:TRUE, pathlen:0"

# newkey NAME SUBJECT [rsa:BITS]: NAME.key and the request NAME.csr, a P-256 key unless RSA is asked.
newkey() {
  local opts=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
  [[ -z ${3:-} ]] || opts=(-newkey "$3")
  run openssl req -config "$cnf" -new -utf8 "${opts[@]}" -nodes -subj "$2" -keyout "$dir/$1.key" -out "$db/$1.csr"
}

# sign NAME ISSUER SECTION [openssl ca options]: NAME.crt from NAME.csr, signed by ISSUER.
sign() {
  local name=$1 issuer=$2 section=$3
  shift 3
  run openssl ca -batch -config "$cnf" -notext -rand_serial -extensions "$section" -cert "$dir/$issuer.crt" \
    -keyfile "$dir/$issuer.key" -in "$db/$name.csr" -out "$dir/$name.crt" "$@"
}

# root NAME SUBJECT [SECTION]: a self-signed NAME.crt, by default a CA.
root() {
  run openssl req -config "$cnf" -x509 -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -extensions "${3:-root}" -subj "$2" -keyout "$dir/$1.key" -out "$dir/$1.crt"
}

root ca "/CN=ixmail test root/O=ixmail tests"
root otherca "/CN=ixmail other root/O=ixmail tests"
newkey inter "/CN=ixmail test intermediate/O=ixmail tests"
sign inter ca inter
newkey badinter-ca "/CN=ixmail not a CA/O=ixmail tests"
IX_CA="critical, CA:FALSE" sign badinter-ca ca inter

newkey good "/CN=mail.example.test/O=ixmail tests/OU=good"
IX_SAN="$names,email:postmaster@example.test" sign good inter leaf
cat "$dir/good.crt" "$dir/inter.crt" >"$dir/good-chain.crt"
run openssl pkcs12 -export -passout pass:secret -in "$dir/good.crt" -inkey "$dir/good.key" \
  -certfile "$dir/inter.crt" -out "$dir/good.p12"

newkey expired "/CN=mail.example.test/OU=expired"
sign expired ca leaf -startdate 20200101000000Z -enddate 20200102000000Z
newkey notyet "/CN=mail.example.test/OU=not yet valid"
sign notyet ca leaf -startdate 20990101000000Z -enddate 20991231000000Z

newkey wrongname "/CN=other.example.test"
IX_SAN=DNS:other.example.test sign wrongname ca leaf
newkey dnsip "/CN=127.0.0.1"
IX_SAN=DNS:127.0.0.1 sign dnsip ca leaf
newkey wildcard "/O=ixmail tests/OU=wildcard"
IX_SAN="DNS:*.example.test,DNS:m*.partial.test" sign wildcard ca leaf

root selfsigned "/CN=mail.example.test/O=Grüße GmbH/emailAddress=self@example.test" self

newkey unknownca "/CN=mail.example.test/OU=unknown CA"
sign unknownca otherca leaf
newkey badinter "/CN=mail.example.test/OU=bad intermediate"
sign badinter badinter-ca leaf
cat "$dir/badinter.crt" "$dir/badinter-ca.crt" >"$dir/badinter-chain.crt"

newkey clientonly "/CN=mail.example.test/OU=client only"
IX_EKU=clientAuth sign clientonly ca leaf
newkey weakkey "/CN=mail.example.test/OU=weak key" rsa:1024
IX_SKI=none IX_AKI=none sign weakkey ca leaf
newkey sha1 "/CN=mail.example.test/OU=SHA-1"
sign sha1 ca leaf -md sha1
newkey tls1 "/CN=mail.example.test/OU=TLS 1.0" rsa:2048
sign tls1 ca leaf

newkey client "/CN=ixmail test client/emailAddress=client@example.test"
IX_EKU=clientAuth IX_SAN=email:client-alt@example.test sign client ca leaf
run openssl pkey -in "$dir/client.key" -aes256 -passout pass:secret -out "$dir/client-enc.key"
run openssl pkcs12 -export -passout pass:secret -in "$dir/client.crt" -inkey "$dir/client.key" -out "$dir/client.p12"

rm -rf "$db"
