#!/usr/bin/env bash
# Peak memory of the service while it takes large JSON bodies: the service
# is started fresh for each case, the bodies are sent at once to
# POST /cidades, and the peak resident size (VmHWM) is read afterwards.
# Usage: bench/body_memory.sh [program]   (default: build/src/app/apinorvessa,
#                                          after scripts/build.sh release)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), PORT (9400),
#              CASES (default "1 3 32": how many bodies at once),
#              SIZE_MIB (16).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}/body-memory
port=${PORT:-9400}
size=$(( ${SIZE_MIB:-16} * 1024 * 1024 ))
rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
cp "$program" "$dir/bin/apinorvessa"
sqlite3 "$dir/db.db" < demo/schema_sqlite.sql
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$dir/db.db" \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$port" \
  > "$dir/root/Norvessa/Config/Norvessa.ini"

# The bodies: an array of ones (the attack: as many values as fit), and an
# object whose one long text fills the body (a legitimate large body).
python3 - "$dir" "$size" <<'PY'
import sys
d, size = sys.argv[1], int(sys.argv[2])
n = (size - 2) // 2
open(f"{d}/ones.json", "w").write("[" + ",".join(["1"] * n) + "]")
pad = size - len('{"iduf":"35","obs":""}')
open(f"{d}/text.json", "w").write('{"iduf":"35","obs":"' + "x" * pad + '"}')
PY

kb() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$2/status"; }

run_case() {  # body-file count
  NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless \
    2> "$dir/service.log" &
  local server=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/estados" && break
    sleep 0.1
  done
  local base
  base=$(kb VmRSS "$server")
  local pids=()
  for i in $(seq 1 "$2"); do
    curl -s -o "$dir/answer.$i" -w '%{http_code}\n' \
      -H 'Content-Type: application/json' --data-binary "@$1" \
      "http://127.0.0.1:$port/cidades" > "$dir/status.$i" &
    pids+=($!)
  done
  wait "${pids[@]}"
  local peak
  peak=$(kb VmHWM "$server")
  local statuses
  statuses=$(cat "$dir"/status.* | sort | uniq -c | awk '{printf "%s x%s ", $2, $1}')
  kill "$server"
  wait "$server" 2>/dev/null || true
  rm -f "$dir"/status.* "$dir"/answer.*
  printf '%-10s %3s at once: rss before %6d MiB, peak %6d MiB (+%d MiB, %.1f x the bodies); answers: %s\n' \
    "$(basename "$1" .json)" "$2" $((base / 1024)) $((peak / 1024)) \
    $(((peak - base) / 1024)) \
    "$(echo "($peak - $base) * 1024 / ($size * $2)" | bc -l)" "$statuses"
}

for body in "$dir/ones.json" "$dir/text.json"; do
  for count in ${CASES:-1 3 32}; do
    run_case "$body" "$count"
  done
done
