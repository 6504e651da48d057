# shellcheck shell=bash
# Port and process helpers for the scripts that run test servers from a folder
# (sandbox-server.sh, socks-servers.sh, ntlm-server.sh, imap2-server.sh, ...): sourced, not run.
set -euo pipefail

# A port for a test server: free now, and below the range the kernel takes the ports of outgoing
# connections from, so that no connection of a test running meanwhile takes it before the server
# binds it.
free_port() {
  python3 - <<'PY'
import random
import socket

low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
first = max(1024, low - 10000)
while True:
    port = random.randrange(first, low) if low - first >= 100 else 0
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(s.getsockname()[1])
    break
PY
}

free_ports() {  # free_ports ARRAY N: N distinct free ports into the array named ARRAY
  local -n free_ports_out=$1
  free_ports_out=()
  while [[ ${#free_ports_out[@]} -lt $2 ]]; do
    local p; p=$(free_port)
    [[ " ${free_ports_out[*]} " == *" $p "* ]] || free_ports_out+=("$p")
  done
}

# A process that has ended may linger as a zombie until it is reaped: that counts as gone.
gone() { [[ ! -r /proc/$1/stat ]] || [[ $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) == Z ]]; }

end_pid() {  # end_pid PIDFILE
  local pidfile=$1
  [[ -f $pidfile ]] || return 0
  local pid; pid=$(cat "$pidfile")
  if [[ -n $pid ]] && ! gone "$pid"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do gone "$pid" && break; sleep 0.1; done
    gone "$pid" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
}

# The end of a test Dovecot's configuration: no penalty delay for the wrong passwords tests send
# on purpose, and no listeners for the protocols the tests do not use.
dovecot_quiet_services() {
  cat <<'CONF'
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    port = 0
  }
  inet_listener pop3s {
    port = 0
  }
}
service submission-login {
  inet_listener submission {
    port = 0
  }
}
service lmtp {
  unix_listener lmtp {
    mode = 0600
  }
}
CONF
}

# greets PORT [WORD]: the server's greeting arrives on the port (and holds WORD).
greets() {
  python3 - "$@" <<'PY' 2>/dev/null
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
greeting = b""
while b"\r\n" not in greeting:
    data = s.recv(500)
    if not data:
        break
    greeting += data
word = sys.argv[2].encode() if len(sys.argv) > 2 else b""
sys.exit(0 if greeting.startswith(b"* OK") and word in greeting else 1)
PY
}
