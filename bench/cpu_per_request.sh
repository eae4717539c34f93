#!/usr/bin/env bash
# CPU time the service spends per request on one route, one request at a
# time: the process's user and system time over COUNT requests, read from
# /proc, after a warm-up. Requests ask for gzip, as the shared benchmark's
# do.
# Usage: bench/cpu_per_request.sh [program] [path] (default:
#        build/src/app/apinorvessa, /pedidos/separacao)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench; its
#              bench-large.db), PORT (9410), COUNT (50), METHOD (GET),
#              BODY (for POST).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
path=${2:-/pedidos/separacao}
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}/cpu-per-request
port=${PORT:-9410}
count=${COUNT:-50}
. bench/bench_service.sh
start_bench_service "$program" "$dir" "$port"
ask() {
  if [ "${METHOD:-GET}" = POST ]; then
    curl -s -o /dev/null -H 'Accept-Encoding: gzip, deflate' \
      -H 'Content-Type: application/json' -d "${BODY:-}" \
      "http://127.0.0.1:$port$path"
  else
    curl -s -o /dev/null -H 'Accept-Encoding: gzip, deflate' \
      "http://127.0.0.1:$port$path"
  fi
}
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
for _ in 1 2 3; do ask; done
before=$(cpu)
for _ in $(seq 1 "$count"); do ask; done
after=$(cpu)
ticks=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v n="$count" -v hz="$ticks" -v p="$path" \
  'BEGIN { printf "%s: %.1f ms CPU per request (%d requests)\n", p, t * 1000 / hz / n, n }'
