#!/usr/bin/env bash
# The framework's constant route next to a bare Beast server answering the
# same bytes, in one run: wrk, keep-alive off, 32 connections, 10 s each.
# Usage: bench/run_wrk.sh [build-dir]   (after scripts/build.sh release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
duration=${DURATION:-10s}
threads=${BARE_THREADS:-2}

"$build/bench/constant_server" 9200 >/dev/null &
ours=$!
"$build/bench/bare_beast_server" 9201 "$threads" >/dev/null &
bare=$!
trap 'kill $ours $bare 2>/dev/null; wait 2>/dev/null' EXIT
sleep 0.5

# Both must send the same bytes.
diff <(curl -s -i http://127.0.0.1:9200/constant) \
     <(curl -s -i http://127.0.0.1:9201/constant) && echo "answers identical"

run() {
  wrk -t2 -c32 -d"$duration" -H "Connection: close" --latency "$1" |
    awk '/Requests\/sec/ {rps=$2} /99%/ {p99=$2} END {print rps, p99}'
}
wrk -t2 -c32 -d2s -H "Connection: close" http://127.0.0.1:9200/constant >/dev/null
wrk -t2 -c32 -d2s -H "Connection: close" http://127.0.0.1:9201/constant >/dev/null
read -r ours_rps ours_p99 < <(run http://127.0.0.1:9200/constant)
read -r bare_rps bare_p99 < <(run http://127.0.0.1:9201/constant)
printf 'framework  %10s req/s  p99 %s\n' "$ours_rps" "$ours_p99"
printf 'bare Beast %10s req/s  p99 %s\n' "$bare_rps" "$bare_p99"
awk -v a="$ours_rps" -v b="$bare_rps" 'BEGIN {printf "ratio      %9.0f%%\n", 100*a/b}'
