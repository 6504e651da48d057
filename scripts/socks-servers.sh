#!/usr/bin/env bash
# SOCKS proxies for the integration tests and benchmarks, run entirely from DIR on 127.0.0.1:
#   dante        SOCKS4 and SOCKS5 without authentication
#   dante (auth) SOCKS5 with user name and password (checked through nss_wrapper's files)
#   ssh -D       SOCKS4, SOCKS4a and SOCKS5, through a scratch sshd
#   microsocks   SOCKS5 without authentication
# Ports and the proxy user go to DIR/socks.env and standard output.
#
#   socks-servers.sh start DIR     new ports, every proxy started and accepting
#   socks-servers.sh stop DIR      ends the processes it started (by PID)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=server-utils.sh
source "$here/server-utils.sh"
cmd=${1:-}; dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { sed -n '2,10p' "$0" >&2; exit 2; }
mkdir -p "$dir"; dir=$(cd "$dir" && pwd)

proxy_user=socksuser proxy_pass=tunnelpass9

die() {
  echo "socks-servers: $*" >&2
  for log in "$dir"/*.log; do [[ -f $log ]] && { echo "== $log" >&2; tail -n 15 "$log" >&2; }; done
  exit 1
}

stop() {
  local name
  for name in ssh-tunnel sshd microsocks dante dante-auth; do end_pid "$dir/$name.pid"; done
}

# accepts PORT: something accepts connections on 127.0.0.1:PORT within 10 s.
accepts() {
  python3 - "$1" <<'PY'
import socket, sys, time
end = time.time() + 10
while time.time() < end:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
}

dante_conf() {  # dante_conf NAME PORT METHOD
  local privileges=""
  if [[ $(id -u) -eq 0 ]]; then
    privileges="user.privileged: root
user.unprivileged: nobody"
  fi
  cat > "$dir/$1.conf" <<CONF
logoutput: $dir/$1.log
internal: 127.0.0.1 port = $2
external: lo
clientmethod: none
socksmethod: $3
$privileges
client pass {
  from: 127.0.0.0/8 to: 0/0
}
socks pass {
  from: 127.0.0.0/8 to: 0/0
  command: connect
  protocol: tcp
}
CONF
}

start() {
  stop
  rm -f "$dir"/*.log
  # Servers that drop privileges must be able to traverse the folder.
  chmod 755 "$dir"
  local ports=()
  free_ports ports 5
  local dante_port=${ports[0]} dante_auth_port=${ports[1]} sshd_port=${ports[2]} ssh_port=${ports[3]}
  local micro_port=${ports[4]}

  # The proxy user lives in nss_wrapper's files, so /etc stays untouched.
  local hash; hash=$(openssl passwd -6 "$proxy_pass")
  grep -E '^(root|nobody):' /etc/passwd > "$dir/passwd"
  grep -E '^(root|nogroup):' /etc/group > "$dir/group"
  echo "$proxy_user:$hash:4711:4711:SOCKS test user:/nonexistent:/usr/sbin/nologin" >> "$dir/passwd"
  echo "$proxy_user:x:4711:" >> "$dir/group"
  echo "$proxy_user:$hash:19000:0:99999:7:::" > "$dir/shadow"
  printf '127.0.0.1 localhost\n::1 localhost\n' > "$dir/hosts"
  local nss=(env LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_PASSWD="$dir/passwd" NSS_WRAPPER_GROUP="$dir/group"
             NSS_WRAPPER_SHADOW="$dir/shadow" NSS_WRAPPER_HOSTS="$dir/hosts")

  dante_conf dante "$dante_port" none
  dante_conf dante-auth "$dante_auth_port" username
  /usr/sbin/danted -f "$dir/dante.conf" -p "$dir/dante.pid" >>"$dir/dante.log" 2>&1 &
  echo $! > "$dir/dante.pid"
  "${nss[@]}" /usr/sbin/danted -f "$dir/dante-auth.conf" -p "$dir/dante-auth.pid" >>"$dir/dante-auth.log" 2>&1 &
  echo $! > "$dir/dante-auth.pid"

  # ssh -D through a scratch sshd that knows one key.
  rm -f "$dir/host_key" "$dir/host_key.pub" "$dir/client_key" "$dir/client_key.pub"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" || die "cannot make the host key"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key" || die "cannot make the client key"
  cp "$dir/client_key.pub" "$dir/authorized_keys"
  cat > "$dir/sshd_config" <<CONF
Port $sshd_port
ListenAddress 127.0.0.1
HostKey $dir/host_key
PidFile none
AuthorizedKeysFile $dir/authorized_keys
UsePAM no
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
AllowTcpForwarding yes
CONF
  [[ $(id -u) -eq 0 ]] && mkdir -p /run/sshd
  /usr/sbin/sshd -D -e -f "$dir/sshd_config" >>"$dir/sshd.log" 2>&1 &
  echo $! > "$dir/sshd.pid"
  accepts "$sshd_port" || die "sshd does not accept connections"
  ssh -F /dev/null -N -D "127.0.0.1:$ssh_port" -p "$sshd_port" -i "$dir/client_key" \
    -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile="$dir/known_hosts" \
    -o ExitOnForwardFailure=yes -o LogLevel=ERROR "$(id -un)@127.0.0.1" >>"$dir/ssh-tunnel.log" 2>&1 &
  echo $! > "$dir/ssh-tunnel.pid"

  microsocks -i 127.0.0.1 -p "$micro_port" >>"$dir/microsocks.log" 2>&1 &
  echo $! > "$dir/microsocks.pid"

  local port
  for port in "$dante_port" "$dante_auth_port" "$ssh_port" "$micro_port"; do
    accepts "$port" || die "nothing accepts on port $port"
  done

  cat > "$dir/socks.env" <<ENV
IX_SOCKS_DANTE_PORT=$dante_port
IX_SOCKS_DANTE_AUTH_PORT=$dante_auth_port
IX_SOCKS_SSH_PORT=$ssh_port
IX_SOCKS_MICROSOCKS_PORT=$micro_port
IX_SOCKS_USER=$proxy_user
IX_SOCKS_PASSWORD=$proxy_pass
ENV
  cat "$dir/socks.env"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  *) sed -n '2,10p' "$0" >&2; exit 2 ;;
esac
