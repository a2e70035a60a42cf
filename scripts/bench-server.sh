#!/usr/bin/env bash
# Requests per second of talvoro-server's two hot endpoints, measured with wrk over keep-alive
# connections on loopback, on SQLite (the default) or on a throw-away local PostgreSQL cluster
# with its durability defaults (every commit flushed before the deduction is answered).
# Usage: scripts/bench-server.sh [build-dir] [seconds] [connections] [sqlite|postgresql]
set -euo pipefail
build="${1:-build}"
seconds="${2:-10}"
connections="${3:-32}"
engine="${4:-sqlite}"
server="$build/server/talvoro-server"
[ -x "$server" ] || { echo "build talvoro-server first: $server" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }

data="$(mktemp -d)"
out="$data/stdout"
phone="+8613800000000"
pid=""
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; }
  [ -z "${pgbin:-}" ] || "${as_owner[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$data" "${pgdir:-}"
}
trap cleanup EXIT

database=()
case "$engine" in
  sqlite) ;;
  postgresql)
    pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
    [ -x "$pgbin/initdb" ] || { echo "PostgreSQL is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
    pgdir="$(mktemp -d)"
    as_owner=()
    # PostgreSQL refuses to run as root.
    if [ "$(id -u)" -eq 0 ]; then
      chown nobody "$pgdir"
      as_owner=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    fi
    "${as_owner[@]}" "$pgbin/initdb" -D "$pgdir/data" -U talvoro -A trust -E UTF8 >/dev/null
    "${as_owner[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/log" -w \
      -o "-k $pgdir -c listen_addresses=''" start >/dev/null
    # Its own socket directory and no TCP port: nothing to collide with.
    database=(--database "postgresql://talvoro@/postgres?host=$pgdir")
    ;;
  *) echo "engine: sqlite or postgresql" >&2; exit 1 ;;
esac

"$server" grant "$phone" 1000000000 --data-dir "$data" "${database[@]}" >/dev/null
"$server" --port 0 --data-dir "$data" "${database[@]}" --log-level warning >"$out" &
pid=$!
for _ in $(seq 50); do grep -q '^listening ' "$out" && break; sleep 0.1; done
origin="$(sed -n 's/^listening //p' "$out" | head -1)"
[ -n "$origin" ] || { echo "server did not start" >&2; exit 1; }

cat >"$data/deduct.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"phone":"$phone","amount":0.007}'
wrk.headers["Content-Type"] = "application/json"
LUA

echo "check_quota on $engine ($connections connections, ${seconds}s):"
wrk -t1 -c"$connections" -d"${seconds}s" --latency "$origin/api/check_quota?phone=%2B${phone#+}" |
    grep -E 'Requests/sec|Latency|99%|Non-2xx'
echo "deduct_quota on $engine ($connections connections, ${seconds}s):"
wrk -t1 -c"$connections" -d"${seconds}s" --latency -s "$data/deduct.lua" "$origin/api/deduct_quota" |
    grep -E 'Requests/sec|Latency|99%|Non-2xx'
