#!/usr/bin/env bash
# Our service next to the peer implementation on the benchmark database, in
# one run (keep-alive off, 32 connections, the peer in two processes).
# Usage: bench/side_by_side.sh [route...]    (after scripts/build.sh release)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), DURATION (10s),
# PORTA_ADMIN (empty: no operators' listener, so no metrics counted; a
# port: metrics on, scraped once a second during the run as Prometheus
# would), LEITURAS (empty: the default; a number: [SERVER]
# LeiturasSimultaneas, how many long reads run at once; 256 lets every one
# run at once, as before there was a line).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}
db="$dir/bench-large.db"
mkdir -p "$dir/ours/bin/Config" "$dir/ours/bin/Logs" "$dir/ours/root/Norvessa/Config"
[ -f "$db" ] || python3 "$shared/seed_large.py" "$db"

cp build/src/app/apinorvessa "$dir/ours/bin/apinorvessa"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
  > "$dir/ours/bin/Config/Conexao.ini"
if [ -n "${LEITURAS:-}" ]; then
  printf 'LeiturasSimultaneas=%s\n' "$LEITURAS" >> "$dir/ours/bin/Config/Conexao.ini"
fi
printf '[API]\nPorta=9000\nIP=http://0.0.0.0\nEmpresa=1\nPortaAdmin=%s\n' \
  "${PORTA_ADMIN:-}" > "$dir/ours/root/Norvessa/Config/Norvessa.ini"

NORVESSA_ROOT="$dir/ours/root" "$dir/ours/bin/apinorvessa" --headless \
  2> "$dir/ours.log" &
ours=$!
scraper=
trap 'kill $ours $scraper 2>/dev/null; wait $ours 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  curl -s -o /dev/null http://127.0.0.1:9000/usuarios && break
  sleep 0.1
done
# Another server on the port would be measured instead of this one.
kill -0 "$ours" 2>/dev/null || { echo "our service did not start:" >&2; cat "$dir/ours.log" >&2; exit 1; }

if [ -n "${PORTA_ADMIN:-}" ]; then
  while sleep 1; do
    curl -s -o /dev/null "http://127.0.0.1:$PORTA_ADMIN/metrics" || true
  done &
  scraper=$!
fi

if [ $# -gt 0 ]; then export ROUTES="$*"; fi
DB="$db" OURS_URL=http://127.0.0.1:9000 MODES=close WORKERS=2 \
  WORKDIR="$dir/peer-work" bash "$shared/bench_peer.sh"
