#!/usr/bin/env bash
# Requests per second of talvoro-server's two hot endpoints, measured with wrk over keep-alive
# connections on loopback. Usage: scripts/bench-server.sh [build-dir] [seconds] [connections]
set -euo pipefail
build="${1:-build}"
seconds="${2:-10}"
connections="${3:-32}"
server="$build/server/talvoro-server"
[ -x "$server" ] || { echo "build talvoro-server first: $server" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }

data="$(mktemp -d)"
out="$data/stdout"
phone="+8613800000000"
"$server" grant "$phone" 1000000000 --data-dir "$data" >/dev/null
"$server" --port 0 --data-dir "$data" --log-level warning >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$data"' EXIT
for _ in $(seq 50); do grep -q '^listening ' "$out" && break; sleep 0.1; done
origin="$(sed -n 's/^listening //p' "$out" | head -1)"
[ -n "$origin" ] || { echo "server did not start" >&2; exit 1; }

cat >"$data/deduct.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"phone":"$phone","amount":0.007}'
wrk.headers["Content-Type"] = "application/json"
LUA

echo "check_quota ($connections connections, ${seconds}s):"
wrk -t1 -c"$connections" -d"${seconds}s" --latency "$origin/api/check_quota?phone=%2B${phone#+}" |
    grep -E 'Requests/sec|Latency|99%'
echo "deduct_quota ($connections connections, ${seconds}s):"
wrk -t1 -c"$connections" -d"${seconds}s" --latency -s "$data/deduct.lua" "$origin/api/deduct_quota" |
    grep -E 'Requests/sec|Latency|99%|Non-2xx'
