#!/usr/bin/env bash
# Past 32 clients: goodput and p99 of the paged product list with and
# without waiting for a chain slot. For each client count, runs wrk with
# EsperaVagaMs=0 and with EsperaVagaMs=2000 (a fresh service for each run,
# the two settings alternating, ROUNDS times), and prints every run and the
# median per setting.
# Usage: bench/overload.sh [program]   (default build/src/app/apinorvessa)
# Environment: BENCH_DIR (/tmp/apinorvessa-bench), PORT (9500), CLIENTS
# ("32 64 128"), WAITS ("0 2000"), ROUNDS (3), DURATION (15s).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
shared=$(cd ../shared/bench && pwd)
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}
db="$dir/bench-large.db"
port=${PORT:-9500}
clients=${CLIENTS:-32 64 128}
waits=${WAITS:-0 2000}
rounds=${ROUNDS:-3}
duration=${DURATION:-15s}
run="$dir/overload"
mkdir -p "$run/bin/Config" "$run/bin/Logs" "$run/root/Norvessa/Config"
[ -f "$db" ] || python3 "$shared/seed_large.py" "$db"
cp "$program" "$run/bin/apinorvessa"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
  > "$run/bin/Config/Conexao.ini"
results="$run/results.txt"
: > "$results"

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null' EXIT

start() {
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nEsperaVagaMs=%s\n' \
    "$port" "$1" > "$run/root/Norvessa/Config/Norvessa.ini"
  rm -f "$run"/bin/Logs/*
  NORVESSA_ROOT="$run/root" "$run/bin/apinorvessa" --headless \
    2> "$run/service.log" &
  pid=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/estados" -X POST && return 0
    sleep 0.1
  done
  echo "the service did not start:" >&2
  cat "$run/service.log" >&2
  exit 1
}

stop() {
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=
}

for n in $clients; do
  for round in $(seq 1 "$rounds"); do
    for wait_ms in $waits; do
      start "$wait_ms"
      # A short warm-up: the file's pages in the cache.
      wrk -t2 -c4 -d2s -s bench/paged_post.lua "http://127.0.0.1:$port/produtos" >/dev/null
      line=$(wrk -t2 -c"$n" -d"$duration" --timeout 10s -s bench/paged_post.lua \
               "http://127.0.0.1:$port/produtos" | tail -n 1)
      stop
      echo "clients $n  wait $wait_ms  round $round  $line" | tee -a "$results"
      sleep 3  # TIME_WAIT sockets drain
    done
  done
done

echo
echo "median of $rounds runs:"
python3 - "$results" <<'PY'
import re, statistics, sys
runs = {}
for line in open(sys.argv[1]):
    m = re.search(r"clients (\d+)  wait (\d+) .* goodput ([\d.]+)/s  p50 (\d+) ms  p99 (\d+) ms", line)
    if m:
        key = (int(m.group(1)), int(m.group(2)))
        runs.setdefault(key, []).append((float(m.group(3)), int(m.group(5))))
for (n, w), v in sorted(runs.items()):
    print(f"clients {n:4d}  EsperaVagaMs {w:5d}  goodput {statistics.median(g for g, _ in v):7.1f}/s"
          f"  p99 {statistics.median(p for _, p in v):6.0f} ms")
PY
