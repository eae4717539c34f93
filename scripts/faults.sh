#!/usr/bin/env bash
# The long fault runs, outside the test command (a few minutes):
#  1. SIGKILL during concurrent order creation, three times: after each
#     kill the service starts again and every order it acknowledged must be
#     stored whole (its note, its 3 items), and the file must pass
#     SQLite's integrity and foreign-key checks;
#  2. the database file moved away under load and brought back: the service
#     answers failures while it is gone, creates orders again once it is
#     back, without a restart, and loses no acknowledged order.
# Usage: scripts/faults.sh [program]   (default build/src/app/apinorvessa,
#                                       after scripts/build.sh release)
# Environment: PORT (9600), CLIENTS (16), RUN_SECONDS (6, load per round),
#              FAULTS_DIR (default /tmp/apinorvessa-faults).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
dir=${FAULTS_DIR:-/tmp/apinorvessa-faults}
port=${PORT:-9600}
clients=${CLIENTS:-16}
seconds=${RUN_SECONDS:-6}

rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config" "$dir/data"
cp "$program" "$dir/bin/apinorvessa"
build/demo/norvessa-demo-seed demo/schema_sqlite.sql "$dir/data/faults.db" >/dev/null
db=$dir/data/faults.db
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=../data/faults.db\n' \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$port" \
  > "$dir/root/Norvessa/Config/Norvessa.ini"

# The load: CLIENTS threads post orders until told to stop; each order
# carries a note of its own; acknowledged ones go to acked.txt as
# "<IdPedido> <note>", answers are counted by status.
cat > "$dir/load.py" <<'PY'
import http.client, json, sys, threading, time
port, clients, seconds, tag, out = (int(sys.argv[1]), int(sys.argv[2]),
                                    float(sys.argv[3]), sys.argv[4], sys.argv[5])
lock = threading.Lock()
acked, statuses = [], {}
stop = time.monotonic() + seconds

def item(n):
    return {"idproduto": str(n), "unmed": "", "idempresa": "1",
            "idusuario": "1", "numcodbarrasusado": "789%d" % n,
            "descricaoitem": "Item %d" % n, "quantidade": "2",
            "vlunitario": "10,5", "vltotal": "21"}

def client(c):
    n = 0
    while time.monotonic() < stop:
        n += 1
        note = "%s-%d-%d" % (tag, c, n)
        body = json.dumps({"idempresa": "1", "idusuario": "1",
                           "dtemissao": "10/12/2026 10:30",
                           "dtsaidainicial": "12/12/2026",
                           "dtsaidafinal": "15/12/2026", "idcliente": 15,
                           "vltotalpedido": "63", "observacao": note,
                           "itens": [item(10), item(11), item(12)]})
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            conn.request("POST", "/pedidos/novo", body,
                         {"Content-Type": "application/json"})
            resp = conn.getresponse()
            text = resp.read().decode()
            key = resp.status
            if resp.status == 200:
                ident = json.loads(text)["Result"]
                with lock:
                    acked.append("%s %s" % (ident, note))
        except Exception as e:
            key = type(e).__name__
            time.sleep(0.05)
        with lock:
            statuses[key] = statuses.get(key, 0) + 1

threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
for t in threads: t.start()
for t in threads: t.join()
with open(out, "a") as f:
    for line in acked: f.write(line + "\n")
print("  answers: " + ", ".join("%s x%d" % (k, v) for k, v in
                                sorted(statuses.items(), key=str)))
PY

server=
start_service() {
  NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless 2>> "$dir/service.log" &
  server=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/estados" && return 0
    sleep 0.1
  done
  cat "$dir/service.log" >&2
  return 1
}
trap '[ -n "$server" ] && kill -9 $server 2>/dev/null; true' EXIT

# Every acknowledged order stored whole, and a sound file.
check() {
  local missing
  sqlite3 "$db" "create temp table acked (id integer, note text);" \
    ".mode list" ".separator ' '" ".import $dir/acked.txt acked" \
    "select count(*) from acked a left join Pedido p on p.IdPedido = a.id
       and p.Observacao = a.note where p.IdPedido is null;" > "$dir/missing.txt"
  missing=$(cat "$dir/missing.txt")
  local broken
  broken=$(sqlite3 "$db" "select count(*) from (select p.IdPedido, count(i.IdPedidoItem) n
      from Pedido p left join PedidoItem i on i.IdPedido = p.IdPedido
      where p.Observacao like 'run-%' group by p.IdPedido) where n <> 3;")
  local integrity fk
  integrity=$(sqlite3 "$db" "pragma integrity_check;")
  fk=$(sqlite3 "$db" "pragma foreign_key_check;" | wc -l)
  echo "  acknowledged so far: $(wc -l < "$dir/acked.txt"), missing: $missing," \
       "orders without exactly 3 items: $broken, integrity: $integrity," \
       "foreign-key faults: $fk"
  [ "$missing" = 0 ] && [ "$broken" = 0 ] && [ "$integrity" = ok ] && [ "$fk" = 0 ]
}

: > "$dir/acked.txt"
status=0
echo "== SIGKILL during order creation, 3 times ($clients clients) =="
for round in 1 2 3; do
  start_service
  python3 "$dir/load.py" "$port" "$clients" "$seconds" "run-$round" "$dir/acked.txt" &
  load=$!
  sleep "$(awk -v s="$seconds" 'BEGIN { print s / 2 }')"
  kill -9 "$server"; wait "$server" 2>/dev/null || true
  server=
  wait "$load"
  echo " round $round: killed mid-load"
  check || status=1
done

echo "== the database moved away under load and brought back =="
start_service
python3 "$dir/load.py" "$port" "$clients" "$((seconds * 2))" "run-moved" "$dir/acked.txt" &
load=$!
sleep 1
mv "$db" "$db.away"
echo "  moved away"
sleep 3
mv "$db.away" "$db"
echo "  brought back"
wait "$load"
# Orders after the return, without a restart.
python3 "$dir/load.py" "$port" 2 2 "run-after" "$dir/acked.txt"
after=$(grep -c ' run-after-' "$dir/acked.txt" || true)
echo "  orders acknowledged after the return: $after"
[ "$after" -gt 0 ] || status=1
kill "$server"; wait "$server" 2>/dev/null || true
server=
check || status=1
if [ "$status" = 0 ]; then echo "faults: all checks passed"; else echo "faults: FAILED"; fi
exit "$status"
