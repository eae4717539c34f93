#!/usr/bin/env bash
# What nginx with TLS costs in front of the service, and what a second
# instance gives: GET /produtos/526 and POST /cidades ({"iduf":"35"}) with
# wrk straight to one instance (Connection: close, as the service answers),
# then through nginx (scripts/cluster.sh) with one and with two instances
# (keep-alive from wrk to nginx; nginx opens a connection to an instance per
# request). One table: req/s, p99 and errors per route and setup.
# Usage: bench/cluster.sh [program]   (default build/src/app/apinorvessa,
#                                      after scripts/build.sh release)
# Environment: DURATION (10s), CLIENTS (32 connections), BASE_PORT (9700),
#   HTTPS_PORT (9743), BENCH_DIR (/tmp/apinorvessa-bench; its bench-large.db,
#   made by ../shared/bench/seed_large.py when missing, else the demo
#   database), DB (another SQLite file).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
duration=${DURATION:-10s}
clients=${CLIENTS:-32}
export BASE_PORT=${BASE_PORT:-9700}
export HTTPS_PORT=${HTTPS_PORT:-9743}
export CLUSTER_DIR=$base/cluster
export NORVESSA_BIN=$program
unset HTTP_PORT

db=${DB:-}
if [ -z "$db" ]; then
  if [ ! -f "$base/bench-large.db" ] && [ -f ../shared/bench/seed_large.py ]; then
    mkdir -p "$base"
    python3 ../shared/bench/seed_large.py "$base/bench-large.db"
  fi
  [ -f "$base/bench-large.db" ] && db=$base/bench-large.db
fi
mkdir -p "$base"
if [ -n "$db" ]; then
  # A copy: the instances leave their WAL files beside it.
  cp "$db" "$base/cluster-bench.db"
  export DB=$base/cluster-bench.db
fi

trap 'scripts/cluster.sh stop' EXIT
results=$base/cluster-results.txt
: > "$results"

# run <setup> <route> <url> [BENCH_* settings]
run() {
  local setup=$1 route=$2 url=$3
  shift 3
  env "$@" wrk -t2 -c"$clients" -d2s -s bench/cluster_request.lua "$url" >/dev/null
  local line
  line=$(env "$@" wrk -t2 -c"$clients" -d"$duration" --timeout 10s \
           -s bench/cluster_request.lua "$url" | tail -n 1)
  echo "$setup|$route|$line" >> "$results"
  echo "$setup $route: $line (req/s p50 p99 non-2xx socket-errors)" >&2
}
get=(BENCH_METHOD=GET BENCH_BODY=)
post=(BENCH_METHOD=POST 'BENCH_BODY={"iduf":"35"}')

for instances in 1 2; do
  INSTANCES=$instances scripts/cluster.sh start >&2
  # The site answers its name only (scripts/cluster.sh: localhost).
  tls=https://localhost:$HTTPS_PORT
  if [ "$instances" = 1 ]; then
    direct=http://127.0.0.1:$BASE_PORT
    run direct "GET /produtos/526" "$direct/produtos/526" "${get[@]}" BENCH_CLOSE=1
    run direct "POST /cidades" "$direct/cidades" "${post[@]}" BENCH_CLOSE=1
  fi
  run "nginx $instances" "GET /produtos/526" "$tls/produtos/526" "${get[@]}"
  run "nginx $instances" "POST /cidades" "$tls/cidades" "${post[@]}"
  scripts/cluster.sh stop
done

echo
echo "| Route | Setup | req/s | p50 | p99 | errors |"
echo "|---|---|---|---|---|---|"
for route in "GET /produtos/526" "POST /cidades"; do
  for setup in direct "nginx 1" "nginx 2"; do
    grep -F "$setup|$route|" "$results" |
      while IFS='|' read -r s r figures; do
        read -r rps p50 p99 non2xx sockets <<<"$figures"
        case "$s" in
          direct) s="direct, one instance" ;;
          "nginx 1") s="nginx TLS, one instance" ;;
          "nginx 2") s="nginx TLS, two instances" ;;
        esac
        printf '| %s | %s | %s | %s ms | %s ms | %s |\n' \
          "$r" "$s" "$rps" "$p50" "$p99" "$((non2xx + sockets))"
      done
  done
done
