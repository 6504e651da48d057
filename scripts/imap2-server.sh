#!/usr/bin/env bash
# The second IMAP server: a GNU Mailutils imap4d run entirely from DIR on 127.0.0.1, with one
# virtual user of its own. It differs from the sandbox server on purpose: "." separates levels,
# the greeting is a bare "* OK IMAP4rev1", INBOX is listed without a delimiter, and SELECT
# reports in another order. Connection details go to DIR/imap2.env and standard output.
#
#   imap2-server.sh start DIR    fresh mail store, a new port, started and answering
#   imap2-server.sh stop DIR     ends the server it started (by PID) and removes DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=server-utils.sh
source "$here/server-utils.sh"
cmd=${1:-}; dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { sed -n '2,8p' "$0" >&2; exit 2; }

# Virtual users log in as name@domain; the domain names the password file.
domain=localhost
user=ixtester@$domain pass=cobaltmeadow

stop() {
  local pidfile=$dir/imap4d.pid
  [[ -f $pidfile ]] || return 0
  local pid; pid=$(cat "$pidfile")
  # A stale file may name a process that is not ours any more: only our daemon is signalled.
  # The daemon ends its session children itself on SIGTERM.
  if [[ $pid =~ ^[0-9]+$ ]] && tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null \
    | grep -qF -- "--config-file=$dir/imap4d.conf"; then
    kill "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
  fi
  rm -f "$pidfile"
}

die() {
  echo "imap2-server: $*" >&2
  [[ -s $dir/imap4d.log ]] && tail -n 20 "$dir/imap4d.log" >&2
  stop
  exit 1
}

start() {
  command -v imap4d >/dev/null || die "imap4d is not installed (scripts/install-deps.sh)"
  stop
  rm -rf "$dir/mail" "$dir/passwd" "$dir/imap4d.conf" "$dir/imap4d.log" "$dir/imap2.env"
  mkdir -p "$dir/mail/${user%@*}/INBOX"/{cur,new,tmp} "$dir/passwd"

  # As root the daemon runs as nobody; the mail belongs to whoever the daemon runs as.
  local as=()
  local uid gid
  if [[ $(id -u) -eq 0 ]]; then
    uid=$(id -u nobody); gid=$(id -g nobody)
    as=(setpriv --reuid="$uid" --regid="$gid" --clear-groups)
  else
    uid=$(id -u); gid=$(id -g)
  fi

  local hash; hash=$(openssl passwd -6 "$pass") || die "cannot hash the password"
  printf '%s:%s:%s:%s:Second server tester:%s:/bin/false\n' "${user%@*}" "$hash" "$uid" "$gid" \
    "$dir/mail/${user%@*}" > "$dir/passwd/$domain"
  # CRAM-MD5 needs the clear password on the server side.
  printf '%s\t%s\n' "$user" "$pass" > "$dir/cram-passwd"
  chmod 600 "$dir/cram-passwd"

  local port; port=$(free_port)
  cat > "$dir/imap4d.conf" <<CONF
mode daemon;
foreground no;
pidfile "$dir/imap4d.pid";
max-children 20;
logging { syslog no; }
tcp-wrappers { enable no; }
auth { authorization virtdomain; authentication generic; }
virtdomain { passwd-dir "$dir/passwd"; }
gsasl { cram-passwd "$dir/cram-passwd"; }
mailbox { mail-spool "maildir://$dir/mail/\${user}/INBOX"; }
namespace personal {
  prefix "" {
    directory "$dir/mail/\${user}";
    delimiter ".";
    mailbox-type maildir;
  };
};
server 127.0.0.1:$port {
  timeout 300;
};
CONF

  # Two messages for SELECT to count.
  local m=$here/sandbox/messages n=0
  for f in "$m/inbox-1-plain.eml" "$m/inbox-4-8bit.eml"; do
    n=$((n + 1)); cp "$f" "$dir/mail/${user%@*}/INBOX/new/17000000$n.imap2$n.localhost"
  done
  chown -R "$uid:$gid" "$dir/mail" "$dir/passwd" "$dir/cram-passwd"
  chown "$uid:$gid" "$dir"
  chmod 755 "$dir"

  # Detached from our output: a test runner waits for its pipes to close.
  "${as[@]}" imap4d --config-file="$dir/imap4d.conf" </dev/null >"$dir/imap4d.log" 2>&1 \
    || die "imap4d did not start"
  local ready=
  for _ in $(seq 100); do
    if python3 - "$port" <<'PY' 2>/dev/null; then ready=1; break; fi
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
sys.exit(0 if s.recv(200).startswith(b"* OK") else 1)
PY
    sleep 0.1
  done
  [[ -n $ready ]] || die "no greeting on 127.0.0.1:$port"

  # Folders and a subscription that the tests did not make themselves.
  python3 - "$port" "$user" "$pass" <<'PY' || die "cannot prepare the test user's folders"
import imaplib, sys
port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
imap = imaplib.IMAP4("127.0.0.1", port, timeout=10)
imap.login(user, password)
for name in ("Sent", "Archive", "Archive.2024"):
    if imap.create(name)[0] != "OK":
        sys.exit(1)
imap.subscribe("Sent")
imap.logout()
PY

  cat > "$dir/imap2.env" <<ENV
IX_IMAP2_HOST=127.0.0.1
IX_IMAP2_PORT=$port
IX_IMAP2_USER=$user
IX_IMAP2_PASSWORD=$pass
IX_IMAP2_NAME=GNU Mailutils imap4d
ENV
  cat "$dir/imap2.env"
}

case "$cmd" in
  start) mkdir -p "$dir"; dir=$(cd "$dir" && pwd); start ;;
  stop)
    [[ -d $dir ]] || exit 0
    dir=$(cd "$dir" && pwd); stop
    # Only a directory this script laid out is removed whole.
    if [[ $dir != / && -f $dir/imap4d.conf && -d $dir/passwd ]]; then rm -rf "$dir"; fi
    ;;
  *) echo "imap2-server: unknown command $cmd" >&2; exit 2 ;;
esac
