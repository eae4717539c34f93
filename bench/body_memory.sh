#!/usr/bin/env bash
# Peak memory of the service while it takes large JSON bodies: the service
# is started fresh for each case, the bodies are sent at once to
# POST /cidades, and the peak resident size (VmHWM) is read afterwards.
# Usage: bench/body_memory.sh [program]   (default: build/src/app/apinorvessa,
#                                          after scripts/build.sh release)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), PORT (9400),
#              CASES (default "1 3 32": how many bodies at once),
#              SIZE_MIB (16), LIMIT (4: the most the peak above idle may be,
#              in bodies held; the script fails past it).
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

# The bodies: an array of ones (the attack: as many values as fit), an
# object whose one long Base64 text fills the body (a legitimate large
# body: a file), an object of about a million distinct keys (the attack on
# the import, which made each key a field), and an object of keys that
# differ only in case (one field name, yet every key a member of its own).
python3 - "$dir" "$size" <<'PY'
import sys
d, size = sys.argv[1], int(sys.argv[2])
n = (size - 2) // 2
open(f"{d}/ones.json", "w").write("[" + ",".join(["1"] * n) + "]")
# "xxxx" is Base64 too; blanks between the members make up the length.
pad = size - len('{"iduf":"35","obs":""}')
open(f"{d}/text.json", "w").write('{"iduf":"35",' + " " * (pad % 4) +
                                  '"obs":"' + "x" * (pad - pad % 4) + '"}')
# "k0000000001":1 pairs, within the value cap (the object counts one); the
# first keys get one digit more so that the pairs fill the body exactly.
keys = 999_990
width = (size - 1) // keys - 6
longer = size - 1 - keys * (width + 6)
open(f"{d}/keys.json", "w").write("{" + ",".join(
    '"k%0*d":1' % (width + (i < longer), i) for i in range(keys)) + "}")
# "a0b0...t0", its letters upper or lower by the bits of the pair's number
# (a digit between letters keeps the key form from splitting the name).
pair = len('"a0b0c0d0e0f0g0h0i0j0k0l0m0n0o0p0q0r0s0t0":1,')
count = (size - 2 + 1) // pair
open(f"{d}/variants.json", "w").write("{" + ",".join(
    '"' + "".join((c.upper() if i >> k & 1 else c) + "0"
                  for k, c in enumerate("abcdefghijklmnopqrst")) + '":1'
    for i in range(count)) + " " * (size - 2 + 1 - count * pair) + "}")
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
  # Bodies refused up front by the body budget are never held: only the
  # bodies taken in count.
  local refused
  refused=$( (grep -l "Maximum number of concurrent connections" \
    "$dir"/answer.* 2>/dev/null || true) | wc -l)
  local taken=$(($2 - refused))
  local bytes
  bytes=$(stat -c %s "$1")
  kill "$server"
  wait "$server" 2>/dev/null || true
  rm -f "$dir"/status.* "$dir"/answer.*
  local ratio=0
  if [ "$taken" -gt 0 ]; then
    ratio=$(echo "($peak - $base) * 1024 / ($bytes * $taken)" | bc -l)
  fi
  printf '%-8s %3s at once (%2s taken): rss before %6d MiB, peak %6d MiB (+%d MiB, %.2f x the bodies taken); answers: %s\n' \
    "$(basename "$1" .json)" "$2" "$taken" $((base / 1024)) \
    $((peak / 1024)) $(((peak - base) / 1024)) "$ratio" "$statuses"
  worst=$(echo "if ($ratio > $worst) $ratio else $worst" | bc -l)
}

limit=${LIMIT:-4}
over=""
for body in "$dir"/{ones,text,keys,variants}.json; do
  worst=0
  for count in ${CASES:-1 3 32}; do
    run_case "$body" "$count"
  done
  # The peak above idle over the bytes of the bodies held, at its worst.
  printf '%-8s at most %.2f x the body\n' "$(basename "$body" .json)" "$worst"
  if [ "$(echo "$worst > $limit" | bc -l)" = 1 ]; then
    over+=" $(basename "$body" .json)"
  fi
done
if [ -n "$over" ]; then
  echo "over $limit x the body:$over"
  exit 1
fi
echo "every shape within $limit x the body"
