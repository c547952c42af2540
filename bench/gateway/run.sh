#!/usr/bin/env bash
# Measures zolt-gateway with wrk against nginx answering a fixed 302 on this machine, in one
# run, and prints each figure as a ratio:
#   redirects/s at 50 connections, gateway vs nginx           (target >= 0.5x)
#   durable creations/s at 50 connections, vs the disk's sync ceiling (target >= 20,000)
#   resident memory while redirecting over a 1,000,000-link database (flat: last/first ~ 1.0x)
# Usage: bench/gateway/run.sh [path to zolt-gateway]   (DURATION=10s by default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
gateway=${1:-}
if [ -z "$gateway" ]; then
  for candidate in "$root/build/release/gateway/zolt-gateway" "$root/build/default/gateway/zolt-gateway"; do
    if [ -x "$candidate" ]; then gateway=$candidate; break; fi
  done
fi
if [ -z "$gateway" ] || [ ! -x "$gateway" ]; then
  echo "run.sh: build zolt-gateway first (cmake --preset release && cmake --build --preset release)" >&2
  exit 1
fi
duration=${DURATION:-10s}
links=${LINKS:-1000000}
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    if ! ss -ltnH "sport = :$p" | grep -q .; then echo "$p"; return; fi
  done
}

wait_port() {
  for _ in $(seq 200); do
    if curl -s -o /dev/null "http://127.0.0.1:$1/"; then return 0; fi
    sleep 0.05
  done
  echo "run.sh: nothing answers on port $1" >&2
  cat "$work/nginx/error.log" >&2 2>/dev/null || true
  exit 1
}

# wrk's requests per second; refuses a run with errors or non-3xx/2xx answers.
wrk_rate() {
  local out
  out=$(wrk -t2 -c50 -d"$duration" "$@")
  if grep -q "Non-2xx or 3xx" <<<"$out" || grep -q "Socket errors" <<<"$out"; then
    echo "run.sh: wrk saw failures:" >&2
    echo "$out" >&2
    exit 1
  fi
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}

rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# --- nginx, the ceiling: a fixed 302 ---
nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { return 302 http://example.com/a; }
  }
}
CONF
"$nginx_bin" -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)
wait_port "$nginx_port"

# --- the gateway on a fresh database ---
gw_port=$(free_port)
"$gateway" --listen "127.0.0.1:$gw_port" --db "$work/bench.db" 2>/dev/null &
gw_pid=$!
pids+=($gw_pid)
wait_port "$gw_port"
link=$(curl -s "http://127.0.0.1:$gw_port/_app.php?type=text&url=http://example.com/a")

nginx_rate=$(wrk_rate "http://127.0.0.1:$nginx_port/abcdefg")
gw_rate=$(wrk_rate "$link")
create_rate=$(wrk_rate -s "$here/create.lua" "http://127.0.0.1:$gw_port/" -- "r$RANDOM$RANDOM")
kill "$gw_pid"; wait "$gw_pid" 2>/dev/null || true

# --- memory over a large database: filled directly, then redirects spread over all of it ---
big="$work/big.db"
sqlite3 "$big" <<SQL >/dev/null
PRAGMA journal_mode=WAL;
CREATE TABLE IF NOT EXISTS links (code TEXT PRIMARY KEY NOT NULL, address TEXT NOT NULL UNIQUE,
  created INTEGER NOT NULL DEFAULT (strftime('%s','now')));
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $links)
INSERT INTO links(code, address) SELECT printf('%07d', i), 'http://m.example/page/' || i FROM n;
SQL
"$gateway" --listen "127.0.0.1:$gw_port" --db "$big" 2>/dev/null &
gw_pid=$!
pids+=($gw_pid)
wait_port "$gw_port"
rss_start=$(rss_kb "$gw_pid")
rss=()
for _ in 1 2 3; do
  wrk -t2 -c50 -d"$duration" -s "$here/lookup.lua" "http://127.0.0.1:$gw_port/" -- "$links" >/dev/null
  rss+=("$(rss_kb "$gw_pid")")
done
check=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "http://127.0.0.1:$gw_port/$(printf %07d "$links")")

# A durable creation waits for one disk sync, so 50 connections can never go faster than
# 50 / (one sync's latency): measured here on the same disk as the database.
syncs=200
sync_start=$(date +%s.%N)
dd if=/dev/zero of="$work/sync.probe" bs=4k count=$syncs oflag=dsync 2>/dev/null
sync_end=$(date +%s.%N)
sync_ceiling=$(awk -v s="$sync_start" -v e="$sync_end" -v n=$syncs 'BEGIN { printf "%.0f", 50 / ((e - s) / n) }')

echo "zolt-gateway benchmark (wrk, 2 threads, 50 connections, $duration each, $(nproc) cores)"
echo "redirects/s:         gateway $gw_rate, nginx fixed 302 $nginx_rate -> $(ratio "$gw_rate" "$nginx_rate")x nginx (target >= 0.5x)"
echo "durable creations/s: $create_rate -> $(ratio "$create_rate" "$sync_ceiling")x this disk's ceiling of $sync_ceiling/s (50 / sync latency), $(ratio "$create_rate" 20000)x the 20,000/s target"
echo "RSS over $links links: idle ${rss_start} KiB, after runs 1/2/3 ${rss[0]}/${rss[1]}/${rss[2]} KiB -> run 3 is $(ratio "${rss[2]}" "${rss[0]}")x run 1 (flat ~ 1.0x)"
echo "spot check: /0999999 -> $check"
