#!/usr/bin/env bash
# A Dovecot that offers AUTH=NTLM, with the NTLMv2 responses checked by Samba: winbindd (and the
# samba-dcerpcd it starts) for a standalone domain with one user, Dovecot asking it through
# ntlm_auth. Everything runs from DIR on 127.0.0.1; the Unix account lives in nss_wrapper's files.
# Needs root (winbindd's privileged pipe): otherwise start says so and starts nothing, without failing,
# so that the tests can skip. Connection details go to DIR/ntlm.env and standard output.
#
#   ntlm-server.sh start DIR     fresh state, new port, started and answering
#   ntlm-server.sh stop DIR      ends the processes it started (by PID)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=server-utils.sh
source "$here/server-utils.sh"
cmd=${1:-}; dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { sed -n '2,9p' "$0" >&2; exit 2; }
mkdir -p "$dir"; dir=$(cd "$dir" && pwd)

# Workgroup equal to the NetBIOS name: a client that sends an empty domain is then still local.
domain=IXNTLM
# winbind lower-cases user names, so the account is lower-case from the start.
user=ntlmtester pass=slateharbour7

die() {
  echo "ntlm-server: $*" >&2
  stop
  for log in "$dir"/*.log "$dir"/samba/log/*; do
    [[ -f $log ]] && { echo "== $log" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}

stop() {
  end_pid "$dir/run/master.pid"
  end_pid "$dir/winbindd.pid"
  # winbindd starts samba-dcerpcd, which outlives it.
  end_pid "$dir/samba/pid/samba-dcerpcd.pid"
}

start() {
  stop
  rm -f "$dir/ntlm.env"
  if [[ $(id -u) -ne 0 ]]; then
    echo "ntlm-server: needs root (winbindd's privileged pipe); nothing started" >&2
    return 0
  fi
  rm -rf "$dir/samba" "$dir/run" "$dir/state" "$dir/mail" "$dir"/*.log "$dir/ntlm.env"
  local s=$dir/samba
  mkdir -p "$s"/{lock,state,cache,private,pid,log,sockets,ncalrpc} "$dir/run" "$dir/state" "$dir/mail"
  # Servers that drop privileges must be able to traverse the folder.
  chmod 755 "$dir" "$s"

  # The Unix accounts smbpasswd, winbindd and samba-dcerpcd (its guest) look up, without touching /etc.
  grep -E '^(root|nobody):' /etc/passwd > "$dir/passwd"
  grep -E '^(root|nogroup):' /etc/group > "$dir/group"
  echo "$user:x:4712:4712:NTLM test user:/nonexistent:/usr/sbin/nologin" >> "$dir/passwd"
  echo "$user:x:4712:" >> "$dir/group"
  local nss=(env LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_PASSWD="$dir/passwd" NSS_WRAPPER_GROUP="$dir/group")

  cat > "$s/smb.conf" <<CONF
[global]
server role = standalone server
workgroup = $domain
netbios name = $domain
passdb backend = tdbsam:$s/private/passdb.tdb
ntlm auth = ntlmv2-only
interfaces = 127.0.0.1
bind interfaces only = yes
lock directory = $s/lock
state directory = $s/state
cache directory = $s/cache
private dir = $s/private
pid directory = $s/pid
ncalrpc dir = $s/ncalrpc
winbindd socket directory = $s/sockets
log file = $s/log/%m.log
logging = file
load printers = no
disable spoolss = yes
CONF
  printf '%s\n%s\n' "$pass" "$pass" | "${nss[@]}" smbpasswd -c "$s/smb.conf" -s -a "$user" >/dev/null \
    || die "smbpasswd cannot add $user"

  # Dovecot's auth process runs as the dovecot user: the privileged pipe's folder is its group's.
  mkdir -p "$s/state/winbindd_privileged"
  chgrp dovecot "$s/state/winbindd_privileged"
  chmod 750 "$s/state/winbindd_privileged"

  # Samba's clients honour the socket folder only when nss_wrapper is configured as well.
  local client=("${nss[@]}" SELFTEST_WINBINDD_SOCKET_DIR="$s/sockets")
  "${client[@]}" winbindd -F --no-process-group -s "$s/smb.conf" </dev/null >"$dir/winbindd.log" 2>&1 &
  echo $! > "$dir/winbindd.pid"
  local ready=
  for _ in $(seq 100); do
    if "${client[@]}" wbinfo -p >/dev/null 2>&1; then ready=1; break; fi
    gone "$(cat "$dir/winbindd.pid")" && break
    sleep 0.1
  done
  [[ -n $ready ]] || die "winbindd does not answer"

  # Dovecot runs the helper with an empty environment: the wrapper carries the settings.
  cat > "$dir/ntlm-helper.sh" <<HELPER
#!/bin/sh
LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_PASSWD='$dir/passwd' NSS_WRAPPER_GROUP='$dir/group' \\
  SELFTEST_WINBINDD_SOCKET_DIR='$s/sockets' exec /usr/bin/ntlm_auth --configfile='$s/smb.conf' "\$@"
HELPER
  chmod 755 "$dir/ntlm-helper.sh"

  local uid gid port; uid=$(id -u dovecot); gid=$(id -g dovecot); port=$(free_port)
  cat > "$dir/dovecot.conf" <<CONF
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = $uid
last_valid_uid = $uid
ssl = no
disable_plaintext_auth = no
auth_mechanisms = ntlm
auth_use_winbind = yes
auth_winbind_helper_path = $dir/ntlm-helper.sh
# Dovecot turns DOMAIN\\user into user@DOMAIN; the mail store wants the bare name.
auth_username_format = %n
auth_failure_delay = 0
mail_location = maildir:$dir/mail/%n
# winbind has checked the password; the passdb only has to exist.
passdb {
  driver = static
  args = nopassword=y
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$dir/mail/%n
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
  dovecot_quiet_services >> "$dir/dovecot.conf"
  chown "$uid:$gid" "$dir/mail"

  # Detached from our output: a test runner waits for its pipes to close.
  dovecot -c "$dir/dovecot.conf" </dev/null >/dev/null 2>&1 || die "dovecot did not start"
  ready=
  for _ in $(seq 100); do
    if greets "$port" AUTH=NTLM; then ready=1; break; fi
    sleep 0.1
  done
  [[ -n $ready ]] || die "dovecot does not offer AUTH=NTLM"

  cat > "$dir/ntlm.env" <<ENV
IX_NTLM_HOST=127.0.0.1
IX_NTLM_PORT=$port
IX_NTLM_DOMAIN=$domain
IX_NTLM_USER=$user
IX_NTLM_PASSWORD=$pass
ENV
  cat "$dir/ntlm.env"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac
