#!/usr/bin/env bash
# The sandbox IMAP server: a Dovecot run entirely from DIR on 127.0.0.1, with a throwaway CA, two
# users and sample folders. Connection details go to DIR/sandbox.env and standard output.
# IX_SANDBOX_STRICT_PORT is a relay (proxy-relay.py) that makes the client look remote: there the
# server requires STARTTLS before any login.
#
#   sandbox-server.sh start DIR            fresh mail store, new ports, started and answering
#   sandbox-server.sh stop DIR             ends the processes it started (by PID)
#   sandbox-server.sh fill DIR FOLDER N    adds N generated messages to FOLDER
#   sandbox-server.sh append DIR FOLDER MB adds one message of about MB megabytes to FOLDER
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=server-utils.sh
source "$here/server-utils.sh"
cmd=${1:-}; dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { sed -n '2,9p' "$0" >&2; exit 2; }
mkdir -p "$dir"; dir=$(cd "$dir" && pwd)

user1=TarvelTester pass1=quartzmellow
user2=SecondTester pass2=amberfjord

die() { echo "sandbox-server: $*" >&2; [[ -f $dir/dovecot.log ]] && tail -n 20 "$dir/dovecot.log" >&2; exit 1; }

stop() {
  end_pid "$dir/relay.pid"
  end_pid "$dir/run/master.pid"
}

# Maildir of a folder (fs layout; the IMAP name is modified UTF-7 on disk as well).
folder_dir() { echo "$dir/mail/$1/$2"; }

deliver() {  # deliver USER FOLDER FILE
  local d; d=$(folder_dir "$1" "$2")
  mkdir -p "$d/cur" "$d/new" "$d/tmp"
  cp "$3" "$d/new/$(date +%s).$RANDOM$RANDOM.$(basename "$3").sandbox"
}

start() {
  stop
  rm -rf "$dir/mail" "$dir/run" "$dir/state" "$dir/dovecot.log"
  mkdir -p "$dir/run" "$dir/state" "$dir/mail"

  # Throwaway CA and a server certificate for localhost and 127.0.0.1.
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ixmail sandbox CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.crt" >/dev/null 2>&1 || die "cannot make the CA"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$dir/server.key" \
    -out "$dir/server.csr" >/dev/null 2>&1 || die "cannot make the server key"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
    -days 30 -extfile "$dir/server.ext" -out "$dir/server.crt" >/dev/null 2>&1 || die "cannot sign the server certificate"

  # Dovecot refuses mail access as root, so as root the mail belongs to the dovecot user.
  local mail_user internal_user login_user
  if [[ $(id -u) -eq 0 ]]; then
    mail_user=dovecot internal_user=dovecot login_user=dovenull
  else
    mail_user=$(id -un) internal_user=$(id -un) login_user=$(id -un)
  fi
  local uid gid; uid=$(id -u "$mail_user"); gid=$(id -g "$mail_user")

  printf '%s:{PLAIN}%s\n%s:{PLAIN}%s\n' "$user1" "$pass1" "$user2" "$pass2" > "$dir/passwd"

  local ports=()
  free_ports ports 4
  local port=${ports[0]} imaps_port=${ports[1]} haproxy_port=${ports[2]} strict_port=${ports[3]}

  cat > "$dir/dovecot.conf" <<CONF
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
default_internal_user = $internal_user
default_login_user = $login_user
first_valid_uid = $uid
last_valid_uid = $uid
ssl = yes
ssl_cert = <$dir/server.crt
ssl_key = <$dir/server.key
disable_plaintext_auth = no
# The relay's connections arrive through the haproxy listener from a documentation address:
# remote, hence not secured, so plaintext logins wait for STARTTLS there.
haproxy_trusted_networks = 127.0.0.1/32
remote 192.0.2.0/24 {
  disable_plaintext_auth = yes
}
auth_mechanisms = plain login cram-md5
auth_failure_delay = 0
auth_username_format = %u
mail_location = maildir:$dir/mail/%u:LAYOUT=fs:INBOX=$dir/mail/%u/INBOX
namespace inbox {
  inbox = yes
  separator = /
}
passdb {
  driver = passwd-file
  args = $dir/passwd
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$dir/mail/%u
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = $imaps_port
    ssl = yes
  }
  inet_listener imap_haproxy {
    address = 127.0.0.1
    port = $haproxy_port
    haproxy = yes
  }
}
CONF
  dovecot_quiet_services >> "$dir/dovecot.conf"

  # Sample folders and messages.
  local m=$here/sandbox/messages
  for u in "$user1" "$user2"; do
    for f in "$m"/inbox-*.eml; do deliver "$u" INBOX "$f"; done
    deliver "$u" Sent "$m/sent-1.eml"
    deliver "$u" Archive/2024 "$m/archive-2024-1.eml"
    mkdir -p "$(folder_dir "$u" "Entw&APw-rfe")"/{cur,new,tmp} "$(folder_dir "$u" Archive)"/{cur,new,tmp}
    printf 'Sent\nArchive\nArchive/2024\n' > "$dir/mail/$u/subscriptions"
  done
  chown -R "$uid:$gid" "$dir/mail"
  chmod 755 "$dir"

  # Detached from our output: a test runner waits for its pipes to close.
  dovecot -c "$dir/dovecot.conf" </dev/null >/dev/null 2>&1 || die "dovecot did not start"
  python3 "$here/proxy-relay.py" "$strict_port" "$haproxy_port" </dev/null >"$dir/relay.log" 2>&1 &
  echo $! > "$dir/relay.pid"
  # The master binds every listener before it starts a login process, so a greeting on the plain
  # port means the IMAPS port listens as well; the strict port's greeting also proves the relay.
  local ready=
  for _ in $(seq 100); do
    if greets "$port" && greets "$strict_port" LOGINDISABLED; then ready=1; break; fi
    sleep 0.1
  done
  [[ -n $ready ]] || { cat "$dir/relay.log" >&2; die "the server or the relay does not answer"; }

  cat > "$dir/sandbox.env" <<ENV
IX_SANDBOX_HOST=127.0.0.1
IX_SANDBOX_IMAP_PORT=$port
IX_SANDBOX_IMAPS_PORT=$imaps_port
IX_SANDBOX_STRICT_PORT=$strict_port
IX_SANDBOX_CA=$dir/ca.crt
IX_SANDBOX_USER=$user1
IX_SANDBOX_PASSWORD=$pass1
IX_SANDBOX_USER2=$user2
IX_SANDBOX_PASSWORD2=$pass2
ENV
  cat "$dir/sandbox.env"
}

fill() {  # fill FOLDER N: maildir files written directly; Dovecot indexes them on the next access
  local folder=$1 count=$2 d
  d=$(folder_dir "$user1" "$folder")
  mkdir -p "$d/cur" "$d/new" "$d/tmp"
  python3 - "$d/new" "$count" <<'PY'
import os, sys, random
target, count = sys.argv[1], int(sys.argv[2])
words = "alpha beta gamma delta mail folder server message header body test".split()
for i in range(1, count + 1):
    body = "\r\n".join(" ".join(random.choice(words) for _ in range(10)) for _ in range(20))
    text = (f"From: Sender {i} <sender{i}@example.org>\r\nTo: tarveltester@localhost\r\n"
            f"Subject: Generated message {i}\r\nDate: Mon, 01 Jan 2024 10:00:00 +0000\r\n"
            f"Message-ID: <gen-{i}@example.org>\r\nMIME-Version: 1.0\r\n"
            f"Content-Type: text/plain; charset=us-ascii\r\n\r\n{body}\r\n")
    with open(os.path.join(target, f"17000000{i:08d}.gen{i}.sandbox"), "w", newline="") as f:
        f.write(text)
PY
  chown -R "$(stat -c %u:%g "$dir/mail/$user1")" "$d"
}

append() {  # append FOLDER MB: one message with a base64 attachment of random data
  local folder=$1 mb=$2 d
  d=$(folder_dir "$user1" "$folder")
  mkdir -p "$d/cur" "$d/new" "$d/tmp"
  python3 - "$d/new" "$mb" <<'PY'
import base64, os, sys
target, mb = sys.argv[1], float(sys.argv[2])
raw = os.urandom(int(mb * 1024 * 1024 * 3 / 4))
b64 = base64.encodebytes(raw).replace(b"\n", b"\r\n")
head = (b"From: Big Sender <big@example.org>\r\nTo: tarveltester@localhost\r\nSubject: Large message\r\n"
        b"Date: Mon, 01 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
        b"Content-Type: multipart/mixed; boundary=\"big\"\r\n\r\n--big\r\nContent-Type: text/plain\r\n\r\n"
        b"Large attachment follows.\r\n--big\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
        b"Content-Transfer-Encoding: base64\r\n\r\n")
with open(os.path.join(target, f"{os.getpid()}.big.sandbox"), "wb") as f:
    f.write(head + b64 + b"--big--\r\n")
PY
  chown -R "$(stat -c %u:%g "$dir/mail/$user1")" "$d"
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  fill) fill "${3:?folder}" "${4:?count}" ;;
  append) append "${3:?folder}" "${4:?megabytes}" ;;
  *) echo "sandbox-server: unknown command $cmd" >&2; exit 2 ;;
esac
