#!/usr/bin/env bash
# Orders and reads at once, two programs side by side: CLIENTS order
# clients (POST /pedidos/novo, 3 items each) and READERS readers (GET of
# a few read routes) against one service for DURATION, keep-alive off, on
# a fresh copy of the benchmark database. Runs alternate A, B, A, B, ...
# (ROUNDS pairs, a fresh service and database each run), so that both see
# the same load on the machine. Per run: orders stored (200s), the reads
# served (200s, % of the reads answered), busy 500s of each kind, and the
# order rows the file gained, which may not be fewer than the 200s (an
# acknowledged order is never lost; a few more are orders in flight when
# the load stopped). At the end the medians per program.
# Usage: bench/writers.sh <program A> <program B>
# Environment: BENCH_DIR (/tmp/apinorvessa-bench), PORT (9700), CLIENTS (40),
#              READERS (10), DURATION (15s), ROUNDS (3), WAIT_MS (EsperaVagaMs,
#              0), READ_PATHS ("/usuarios /produtos/526 /pedidos/4999"),
#              SEED_SCRIPT (../shared/bench/seed_large.py, for a missing
#              bench-large.db).
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 2 ] || { echo "usage: $0 <program A> <program B>" >&2; exit 2; }
programs=("$(realpath "$1")" "$(realpath "$2")")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
dir=$base/writers
port=${PORT:-9700}
clients=${CLIENTS:-40}
readers=${READERS:-10}
duration=${DURATION:-15s}
rounds=${ROUNDS:-3}
wait_ms=${WAIT_MS:-0}
paths=${READ_PATHS:-/usuarios /produtos/526 /pedidos/4999}
rm -rf "$dir"
mkdir -p "$dir"
[ -f "$base/bench-large.db" ] ||
  python3 "${SEED_SCRIPT:-../shared/bench/seed_large.py}" "$base/bench-large.db"
for side in 0 1; do
  mkdir -p "$dir/$side/bin/Config" "$dir/$side/bin/Logs" \
           "$dir/$side/root/Norvessa/Config"
  cp "${programs[$side]}" "$dir/$side/bin/apinorvessa"
  printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' \
    "$dir/orders.db" > "$dir/$side/bin/Config/Conexao.ini"
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nEsperaVagaMs=%s\n' \
    "$port" "$wait_ms" > "$dir/$side/root/Norvessa/Config/Norvessa.ini"
done
results=$dir/results.txt
: > "$results"
echo "A: ${programs[0]}"
echo "B: ${programs[1]}"
echo "$clients order clients, $readers readers ($paths), $duration a run," \
     "EsperaVagaMs=$wait_ms"

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null' EXIT

run() {  # side (0 = A, 1 = B), round
  local side=$1 name
  name=$([ "$side" = 0 ] && echo A || echo B)
  local db=$dir/orders.db
  cp "$base/bench-large.db" "$db"
  rm -f "$db-wal" "$db-shm"
  local before
  before=$(sqlite3 "$db" 'select count(*) from Pedido')
  rm -f "$dir/$side"/bin/Logs/*
  NORVESSA_ROOT="$dir/$side/root" "$dir/$side/bin/apinorvessa" --headless \
    2> "$dir/service-$name-$2.log" &
  pid=$!
  local up=0
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/usuarios" && { up=1; break; }
    sleep 0.1
  done
  if [ "$up" = 0 ]; then
    echo "program $name did not start:" >&2
    cat "$dir/service-$name-$2.log" >&2
    exit 1
  fi
  wrk -t2 -c"$clients" -d"$duration" --timeout 15s -s bench/writers_count.lua \
    "http://127.0.0.1:$port/pedidos/novo" > "$dir/orders-$name-$2.txt" &
  local orders=$!
  READ_PATHS=$paths wrk -t1 -c"$readers" -d"$duration" --timeout 15s \
    -s bench/writers_count.lua "http://127.0.0.1:$port" \
    > "$dir/reads-$name-$2.txt" &
  local reads=$!
  wait "$orders" "$reads"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=
  local o r after
  o=$(tail -n 1 "$dir/orders-$name-$2.txt")
  r=$(tail -n 1 "$dir/reads-$name-$2.txt")
  after=$(sqlite3 "$db" 'select count(*) from Pedido')
  python3 - "$name" "$2" "$o" "$r" "$((after - before))" <<'PY' | tee -a "$results"
import sys
name, rnd, o, r, rows = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
def parse(line):
    f = line.split()
    return {f[i]: int(f[i + 1]) for i in range(0, len(f), 2)}
o, r = parse(o), parse(r)
answered = r["ok"] + r["busy"] + r["other"]
lost = max(o["ok"] - rows, 0)
print("%s round %s  orders stored %6d  order busy %6d  reads served %6d/%-6d "
      "%5.1f %%  read busy %6d  other %d/%d  socket errors %d/%d  rows %6d "
      "lost %d" % (name, rnd, o["ok"], o["busy"], r["ok"], answered,
                   100.0 * r["ok"] / max(answered, 1), r["busy"], o["other"],
                   r["other"], o["errors"], r["errors"], rows, lost))
PY
  sleep 3  # TIME_WAIT sockets drain
}

for round in $(seq 1 "$rounds"); do
  run 0 "$round"
  run 1 "$round"
done

echo
echo "medians of $rounds runs:"
python3 - "$results" <<'PY'
import re, statistics, sys
runs = {}
for line in open(sys.argv[1]):
    m = re.match(r"(\w) round \d+  orders stored +(\d+)  order busy +(\d+)  "
                 r"reads served +(\d+)/(\d+) +([\d.]+) %  read busy +(\d+).*lost (\d+)",
                 line)
    if m:
        runs.setdefault(m.group(1), []).append(m.groups()[1:])
for name in sorted(runs):
    v = runs[name]
    med = lambda i, f=int: statistics.median(f(x[i]) for x in v)
    print("%s  orders stored %7.0f  order busy %7.0f  reads served %7.0f "
          "(%4.1f %%)  read busy %7.0f  lost in all %d" % (
              name, med(0), med(1), med(2), med(4, float), med(5),
              sum(int(x[6]) for x in v)))
PY
if grep -q 'lost [1-9]' "$results"; then
  echo "ACKNOWLEDGED ORDERS LOST" >&2
  exit 1
fi
