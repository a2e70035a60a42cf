#!/usr/bin/env bash
# Starts the backend stand-in on loopback, runs Talvoro against it, and stops the server when
# Talvoro ends (quit it from its status item's menu, or press Ctrl+C here).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
PORT=${TALVORO_PORT:-8765}
DATA=${TALVORO_SERVER_DATA:-"${XDG_DATA_HOME:-$HOME/.local/share}/talvoro-server"}
mkdir -p "$DATA"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No desktop session found (DISPLAY / WAYLAND_DISPLAY unset); Talvoro needs one." >&2
  exit 1
fi

"$BUILD/server/talvoro-server" --port "$PORT" --data-dir "$DATA" &
server=$!
stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# Wait (at most 10 s) until the server accepts connections.
for _ in $(seq 1 100); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
    break
  fi
  if ! kill -0 "$server" 2>/dev/null; then
    echo "talvoro-server did not start" >&2
    exit 1
  fi
  sleep 0.1
done

TALVORO_SERVICE_ORIGIN="http://127.0.0.1:$PORT" "$BUILD/src/talvoro"
