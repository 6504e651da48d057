#!/usr/bin/env bash
# Installs what is missing, builds, starts the sandbox IMAP server and opens the client on it.
# The server keeps running after the window closes; stop it with: scripts/sandbox-server.sh stop build/sandbox-demo
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build=$root/build
# The window is asked for explicitly: a build tree configured without it keeps that choice in its cache.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIX_BUILD_DEMO=ON >/dev/null
# Only the client and the libraries it links: the tests are scripts/test.sh's to build.
cmake --build "$build" --target imap-client -j"$(nproc)"
sandbox=$build/sandbox-demo
"$root/scripts/sandbox-server.sh" start "$sandbox"
# shellcheck disable=SC1091
source "$sandbox/sandbox.env"
client=$build/demo/imap-client
if [[ ! -x "$client" ]]; then
  echo "The client window is not built yet; the sandbox server keeps running:"
  echo "  IMAP $IX_SANDBOX_HOST:$IX_SANDBOX_IMAP_PORT (STARTTLS), IMAPS $IX_SANDBOX_HOST:$IX_SANDBOX_IMAPS_PORT"
  echo "  user $IX_SANDBOX_USER, password $IX_SANDBOX_PASSWORD, CA $IX_SANDBOX_CA"
  exit 0
fi
# STARTTLS on the plain port, trusting the sandbox's throwaway CA.
run=("$client" --server "$IX_SANDBOX_HOST" --port "$IX_SANDBOX_IMAP_PORT" --user "$IX_SANDBOX_USER" \
  --password "$IX_SANDBOX_PASSWORD" --security starttls --ca-file "$IX_SANDBOX_CA")
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display: running the client under Xvfb."
  exec xvfb-run -a "${run[@]}"
fi
exec "${run[@]}"
