#!/usr/bin/env bash
# Where the service's time goes on one route under load: the program is
# started on the benchmark database, wrk asks for the route (Connection:
# close, 16 connections), and perf samples the server meanwhile. Prints
# the share of samples per library and the hottest functions.
# Usage: bench/profile_route.sh [program] [path]   (default:
#        build/src/app/apinorvessa, /produtos/526)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), PORT (9430),
#              CONNECTIONS (16), DURATION (8), TOP (25), BODY (a JSON body:
#              the route is asked with POST).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
path=${2:-/produtos/526}
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}/profile
port=${PORT:-9430}
. bench/bench_service.sh
start_bench_service "$program" "$dir" "$port"
url="http://127.0.0.1:$port$path"
script=()
if [ -n "${BODY:-}" ]; then
  printf 'wrk.method = "POST"\nwrk.body = [[%s]]\nwrk.headers["Content-Type"] = "application/json"\n' \
    "$BODY" > "$dir/post.lua"
  script=(-s "$dir/post.lua")
fi
wrk -t2 -c"${CONNECTIONS:-16}" -d2s -H 'Connection: close' "${script[@]}" \
  "$url" > /dev/null
wrk -t2 -c"${CONNECTIONS:-16}" -d"$(( ${DURATION:-8} + 2 ))s" \
  -H 'Connection: close' "${script[@]}" "$url" > "$dir/wrk.txt" &
load=$!
sleep 1
perf record -q -F 499 -g -p "$pid" -o "$dir/perf.data" -- sleep "${DURATION:-8}" \
  > /dev/null 2>&1
wait $load
grep -E "Requests/sec" "$dir/wrk.txt"
echo "-- samples by library"
perf report -i "$dir/perf.data" --no-children --sort dso --stdio 2> /dev/null |
  grep -E '^ +[0-9]' | head -8
echo "-- hottest functions (self)"
perf report -i "$dir/perf.data" --no-children --sort sym --stdio -g none \
  2> /dev/null | grep -E '^ +[0-9]' | head -"${TOP:-25}"
