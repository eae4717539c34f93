#!/usr/bin/env bash
# A backup restored under the running service, as it is usually done:
#   sqlite3 data.db ".backup data.db.new" && mv data.db.new data.db
# while ORDER_CLIENTS clients create orders, RUNS times. After each run the
# service stops and the file must pass SQLite's integrity and foreign-key
# checks, and these acknowledged orders must be stored whole (their note,
# their 3 items):
#  - every order acknowledged before the backup began (it is in the backup);
#  - every order sent after the mv (it went to the restored file).
# Orders in flight across the backup and the mv may be lost by the restore
# itself (they were stored after the backup was taken); they are counted.
# Also counted: the answers by status, /ready's answers during the run and
# whether stderr told of the replacement.
# Usage: bench/restore.sh [program]   (default build/src/app/apinorvessa,
#                                      after scripts/build.sh release)
# Environment: RUNS (10), ORDER_CLIENTS (6), PORT (9620; the operators'
#              port is PORT+1), BENCH_DIR (default /tmp/apinorvessa-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
program=$(realpath "${1:-build/src/app/apinorvessa}")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
dir=$base/restore
runs=${RUNS:-10}
clients=${ORDER_CLIENTS:-6}
port=${PORT:-9620}
admin=$((port + 1))
rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
[ -f "$base/bench-large.db" ] || python3 "$shared/seed_large.py" "$base/bench-large.db"
cp "$program" "$dir/bin/apinorvessa"
db=$dir/data.db
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nPortaAdmin=%s\n' \
  "$port" "$admin" > "$dir/root/Norvessa/Config/Norvessa.ini"

# The load and the restore, on one clock. Prints one JSON line.
cat > "$dir/run.py" <<'PY'
import http.client, json, subprocess, sys, threading, time
port, admin, clients, db, tag, out = (int(sys.argv[1]), int(sys.argv[2]),
                                      int(sys.argv[3]), sys.argv[4],
                                      sys.argv[5], sys.argv[6])
lock = threading.Lock()
acked, statuses, ready = [], {}, {}
stop = False

def item(n):
    return {"idproduto": str(n), "unmed": "", "idempresa": "1",
            "idusuario": "1", "numcodbarrasusado": "789%d" % n,
            "descricaoitem": "Item %d" % n, "quantidade": "2",
            "vlunitario": "10,5", "vltotal": "21"}

def client(c):
    n = 0
    conn = None
    while not stop:
        n += 1
        note = "%s-%d-%d" % (tag, c, n)
        body = json.dumps({"idempresa": "1", "idusuario": "1",
                           "dtemissao": "10/12/2026 10:30",
                           "dtsaidainicial": "12/12/2026",
                           "dtsaidafinal": "15/12/2026", "idcliente": 1,
                           "vltotalpedido": "63", "observacao": note,
                           "itens": [item(1), item(2), item(3)]})
        sent = time.monotonic()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            conn.request("POST", "/pedidos/novo", body,
                         {"Content-Type": "application/json"})
            resp = conn.getresponse()
            text = resp.read().decode()
            key = resp.status
            if resp.status == 200:
                with lock:
                    acked.append((json.loads(text)["Result"], note, sent,
                                  time.monotonic()))
        except Exception as e:
            key = type(e).__name__
            time.sleep(0.05)
        finally:
            if conn: conn.close()
        with lock:
            statuses[str(key)] = statuses.get(str(key), 0) + 1

def watch():
    while not stop:
        try:
            c = http.client.HTTPConnection("127.0.0.1", admin, timeout=5)
            c.request("GET", "/ready")
            r = c.getresponse()
            text = r.read().decode()
            key = str(r.status)
            if r.status != 200:
                key += " " + json.loads(text).get("cause", "")[:60]
        except Exception as e:
            key = type(e).__name__
        with lock:
            ready[key] = ready.get(key, 0) + 1
        time.sleep(0.05)

threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
threads.append(threading.Thread(target=watch))
for t in threads: t.start()
time.sleep(2)
backup_began = time.monotonic()
rc = subprocess.run(["sh", "-c", 'sqlite3 "%s" ".backup %s.new" && mv "%s.new" "%s"'
                     % (db, db, db, db)]).returncode
mv_done = time.monotonic()
time.sleep(3)
stop = True
for t in threads: t.join()
with open(out, "w") as f:
    for ident, note, sent, got in acked:
        where = ("before" if got < backup_began else
                 "after" if sent > mv_done else "window")
        f.write("%s %s %s\n" % (ident, note, where))
print(json.dumps({"restore_rc": rc, "backup_seconds": round(mv_done - backup_began, 2),
                  "answers": statuses, "ready": ready}))
PY

server=
trap '[ -n "$server" ] && kill -9 $server 2>/dev/null; true' EXIT
passed=0
for run in $(seq 1 "$runs"); do
  rm -f "$db" "$db-wal" "$db-shm"
  cp "$base/bench-large.db" "$db"
  : > "$dir/service.log"
  NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless 2> "$dir/service.log" &
  server=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/estados" && break
    sleep 0.1
  done
  summary=$(python3 "$dir/run.py" "$port" "$admin" "$clients" "$db" "run$run" "$dir/acked.txt")
  kill "$server"; wait "$server" 2>/dev/null || true
  server=
  sqlite3 "$db" "create temp table acked (id integer, note text, phase text);" \
    ".mode list" ".separator ' '" ".import $dir/acked.txt acked" \
    "select phase || ':' || count(*) || ':' || sum(p.IdPedido is null or
            (select count(*) from PedidoItem i where i.IdPedido = p.IdPedido) <> 3)
       from acked a left join Pedido p on p.IdPedido = a.id and p.Observacao = a.note
      group by phase order by phase;" > "$dir/phases.txt"
  integrity=$(sqlite3 "$db" "pragma integrity_check;" 2>&1 | head -3 | tr '\n' ' ')
  fk=$(sqlite3 "$db" "pragma foreign_key_check;" 2>&1 | wc -l)
  told=$(grep -c "^Database file .* while the service runs" "$dir/service.log" || true)
  missing=0
  phases=""
  while IFS=: read -r phase count lost; do
    phases+="$phase $count (lost $lost) "
    if [ "$phase" != window ]; then missing=$((missing + lost)); fi
  done < "$dir/phases.txt"
  ok=no
  if [ "$missing" = 0 ] && [ "$integrity" = "ok " ] && [ "$fk" = 0 ]; then
    ok=yes; passed=$((passed + 1))
  fi
  echo "run $run: $ok | acknowledged: $phases| integrity: $integrity| foreign-key faults: $fk | stderr lines on the replacement: $told | $summary"
done
echo "restore: $passed of $runs runs lost no order and left a sound file"
[ "$passed" = "$runs" ]
