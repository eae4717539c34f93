#!/usr/bin/env bash
# Single-row routes of the service next to a bare Beast server answering the
# same bytes (the route's own JSON text, fetched first): wrk, keep-alive off,
# 32 connections, on the benchmark database.
# Usage: bench/vs_bare.sh [path...]   (default /produtos/526 /pedidos/4999)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), DURATION (10s).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}
db="$dir/bench-large.db"
duration=${DURATION:-10s}
mkdir -p "$dir/ours/bin/Config" "$dir/ours/bin/Logs" "$dir/ours/root/Norvessa/Config"
[ -f "$db" ] || python3 "$shared/seed_large.py" "$db"
cp build/src/app/apinorvessa "$dir/ours/bin/apinorvessa"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
  > "$dir/ours/bin/Config/Conexao.ini"
printf '[API]\nPorta=9000\nIP=http://0.0.0.0\nEmpresa=1\n' \
  > "$dir/ours/root/Norvessa/Config/Norvessa.ini"

NORVESSA_ROOT="$dir/ours/root" "$dir/ours/bin/apinorvessa" --headless \
  2> "$dir/ours.log" &
ours=$!
bare=
trap 'kill $ours $bare 2>/dev/null; wait 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  curl -s -o /dev/null http://127.0.0.1:9000/usuarios && break
  sleep 0.1
done
kill -0 "$ours" 2>/dev/null || { cat "$dir/ours.log" >&2; exit 1; }

run() {
  wrk -t2 -c32 -d"$duration" -H "Connection: close" --latency "$1" |
    awk '/Requests\/sec/ {rps=$2} /99%/ {p99=$2} END {print rps, p99}'
}
[ $# -gt 0 ] || set -- /produtos/526 /pedidos/4999
printf '%-16s %12s %12s %7s %10s %10s\n' path ours_req/s bare_req/s ratio ours_p99 bare_p99
for path in "$@"; do
  curl -s "http://127.0.0.1:9000$path" > "$dir/bare-body.json"
  build/bench/bare_beast_server 9201 2 "$dir/bare-body.json" >/dev/null &
  bare=$!
  sleep 0.3
  cmp -s <(curl -s "http://127.0.0.1:9000$path") <(curl -s http://127.0.0.1:9201/) ||
    { echo "the bodies differ for $path" >&2; exit 1; }
  wrk -t2 -c32 -d2s -H "Connection: close" "http://127.0.0.1:9000$path" >/dev/null
  read -r ours_rps ours_p99 < <(run "http://127.0.0.1:9000$path")
  read -r bare_rps bare_p99 < <(run http://127.0.0.1:9201/)
  kill $bare; wait $bare 2>/dev/null || true
  bare=
  awk -v p="$path" -v a="$ours_rps" -v b="$bare_rps" -v ap="$ours_p99" -v bp="$bare_p99" \
    'BEGIN {printf "%-16s %12s %12s %6.0f%% %10s %10s\n", p, a, b, 100*a/b, ap, bp}'
done
