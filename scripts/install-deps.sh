#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and the client need.
# Idempotent and quiet: does nothing when all are present.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang pkg-config
  # libraries
  libssl-dev openssl qt6-base-dev libgl-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev tzdata python3 libgmime-3.0-dev curl
  # the sandbox IMAP server
  dovecot-core dovecot-imapd
  # the NTLM server (scripts/ntlm-server.sh): winbindd and ntlm_auth, smbpasswd for its user
  winbind samba-common-bin
  mailutils-imap4d  # the second IMAP server of the client's interop tests (scripts/imap2-server.sh)
  # the SOCKS proxies (scripts/socks-servers.sh): dante under nss_wrapper, ssh -D through a scratch sshd
  dante-server openssh-server openssh-client microsocks libnss-wrapper
  # the name servers of the DNS tests (scripts/dns-servers.sh), dig, and the DNS interop and benchmark peers
  bind9 bind9-dnsutils knot python3-dnspython libc-ares-dev
  # the DKIM interop and benchmark peers; unbound is OpenDKIM's resolver
  python3-dkim opendkim opendkim-tools libopendkim-dev unbound
  # running the client on a headless machine
  xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
