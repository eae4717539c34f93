#!/usr/bin/env bash
# SQL Server away for OUTAGE seconds, then back, under load: READERS
# clients read products by random id and ORDER_CLIENTS clients create
# orders, after a warm-up that leaves the pool with its 32 connections
# idle. The program talks to the scripted ODBC driver, registered as
# "FreeTDS", which answers from a copy of the benchmark database and is
# driven through its control file:
#   MODE=down    the server stops: links reset, connects refused at once;
#   MODE=silent  the network drops every packet: statements and connects
#                wait for their timeouts;
#   MODE=hang    links reset, and logins never answer (a driver that
#                ignores its login timeout).
# Prints one JSON line: the longest request during the outage, the first
# success after the return (seconds from the return to the end of the first
# request that succeeded), failures after the return, /ready's answers
# during the outage and how long after the return it said 200, and the
# answers by status.
# Usage: bench/outage.sh [program]   (default build/src/app/apinorvessa,
#                                      after scripts/build.sh release; the
#                                      driver is build/tests/libscripted_odbc.so)
# Environment: MODE (down), OUTAGE (20), BEFORE (5), AFTER (10), READERS (8),
#              ORDER_CLIENTS (4), PORT (9630; the operators' port is
#              PORT+1), DRIVER, BENCH_DIR (default /tmp/apinorvessa-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
program=$(realpath "${1:-build/src/app/apinorvessa}")
driver=$(realpath "${DRIVER:-build/tests/libscripted_odbc.so}")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
dir=$base/outage
port=${PORT:-9630}
admin=$((port + 1))
rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
[ -f "$base/bench-large.db" ] || python3 "$shared/seed_large.py" "$base/bench-large.db"
cp "$base/bench-large.db" "$dir/data.db"
cp "$program" "$dir/bin/apinorvessa"
printf '[FreeTDS]\nDriver = %s\n' "$driver" > "$dir/odbcinst.ini"
printf '[SERVER]\nDRIVER=MSSQL9\nODBCDRIVER=FreeTDS\nHOSTNAME=erp-scripted\nBANCO=ERP\nUSUARIO=api\nSENHA=x\n' \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nPortaAdmin=%s\n' \
  "$port" "$admin" > "$dir/root/Norvessa/Config/Norvessa.ini"
echo up > "$dir/control"
ids=$(sqlite3 "$dir/data.db" "select group_concat(IdProduto) from (select IdProduto from Produto order by random() limit 500)")

NORVESSA_ROOT="$dir/root" ODBCSYSINI="$dir" ODBCINSTINI=odbcinst.ini \
  SCRIPTED_ODBC_BACKEND="$dir/data.db" SCRIPTED_ODBC_CONTROL="$dir/control" \
  "$dir/bin/apinorvessa" --headless 2> "$dir/stderr.txt" &
pid=$!
trap 'kill -9 $pid 2>/dev/null || true' EXIT
for _ in $(seq 1 200); do
  curl -s -o /dev/null "http://127.0.0.1:$admin/live" && break
  sleep 0.1
done
if ! curl -s -o /dev/null "http://127.0.0.1:$admin/live"; then
  echo "the service did not start:" >&2
  cat "$dir/stderr.txt" >&2
  exit 1
fi

python3 - "$port" "$admin" "$dir/control" "${MODE:-down}" "${OUTAGE:-20}" \
  "${BEFORE:-5}" "${AFTER:-10}" "${READERS:-8}" "${ORDER_CLIENTS:-4}" \
  "$ids" <<'PY'
import http.client, json, random, sys, threading, time
(port, admin, control, mode, outage, before, after, readers, orderers,
 ids) = (int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4],
         float(sys.argv[5]), float(sys.argv[6]), float(sys.argv[7]),
         int(sys.argv[8]), int(sys.argv[9]), sys.argv[10].split(","))
lock = threading.Lock()
done = []          # (sent, ended, ok, status)
ready = []         # (at, status)
stop = False

def ask(method, path, body=None, timeout=120):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    headers = {"Content-Type": "application/json"} if body else {}
    conn.request(method, path, body, headers)
    r = conn.getresponse()
    text = r.read().decode("utf-8", "replace")
    conn.close()
    return r.status, text

ORDER = json.dumps({"idempresa": "1", "idusuario": "1",
                    "dtemissao": "10/12/2026 10:30",
                    "dtsaidainicial": "12/12/2026",
                    "dtsaidafinal": "15/12/2026", "idcliente": 1,
                    "vltotalpedido": "21", "observacao": "outage",
                    "itens": [{"idproduto": "1", "unmed": "",
                               "idempresa": "1", "idusuario": "1",
                               "numcodbarrasusado": "7891",
                               "descricaoitem": "Item", "quantidade": "2",
                               "vlunitario": "10,5", "vltotal": "21"}]})

def client(kind):
    while not stop:
        sent = time.monotonic()
        try:
            if kind == "read":
                status, text = ask("GET", "/produtos/" + random.choice(ids))
                ok = status == 200 and "Erro" not in text and text[:1] in "[{"
            else:
                status, text = ask("POST", "/pedidos/novo", ORDER)
                ok = status == 200 and '"Result"' in text
        except Exception as e:
            status, ok = type(e).__name__, False
        with lock:
            done.append((sent, time.monotonic(), ok, status))

def watch_ready():
    while not stop:
        at = time.monotonic()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", admin, timeout=10)
            conn.request("GET", "/ready")
            status = conn.getresponse().status
            conn.close()
        except Exception as e:
            status = type(e).__name__
        with lock:
            ready.append((at, time.monotonic(), status))
        time.sleep(0.1)

def write_control(word):
    with open(control, "w") as f:
        f.write(word + "\n")

# Warm-up: 40 clients at once open the pool's 32 connections.
warm = [threading.Thread(target=lambda: [ask("GET", "/produtos/" + random.choice(ids)) for _ in range(20)]) for _ in range(40)]
for t in warm: t.start()
for t in warm: t.join()
threads = [threading.Thread(target=client, args=("read",)) for _ in range(readers)]
threads += [threading.Thread(target=client, args=("order",)) for _ in range(orderers)]
threads.append(threading.Thread(target=watch_ready))
for t in threads: t.start()
time.sleep(before)
down_at = time.monotonic()
write_control(mode)
time.sleep(outage)
up_at = time.monotonic()
write_control("up")
time.sleep(after)
stop = True
for t in threads: t.join()

during = [d for d in done if down_at <= d[0] < up_at]
longest = max((d[1] - d[0] for d in during), default=0)
longest_any = max((d[1] - d[0] for d in done if d[1] >= down_at), default=0)
first_ok = min((d[1] for d in done if d[2] and d[1] >= up_at), default=None)
failed_after = sum(1 for d in done if not d[2] and d[1] >= up_at)
# /ready's answers asked at least 0.5 s into the outage and given before
# the return, and the first 200 asked after the return.
ready_during = {}
for at, ended, status in ready:
    if down_at + 0.5 <= at and ended < up_at:
        ready_during[str(status)] = ready_during.get(str(status), 0) + 1
ready_back = min((ended for at, ended, status in ready
                  if at >= up_at and status == 200), default=None)
statuses = {}
for d in done:
    statuses[str(d[3])] = statuses.get(str(d[3]), 0) + 1
print(json.dumps({
    "mode": mode, "outage_s": outage,
    "requests": len(done),
    "longest_request_during_outage_s": round(longest, 3),
    "longest_request_from_outage_on_s": round(longest_any, 3),
    "first_success_after_return_s":
        None if first_ok is None else round(first_ok - up_at, 3),
    "failed_after_return": failed_after,
    "ready_during_outage": ready_during,
    "ready_200_after_return_s":
        None if ready_back is None else round(ready_back - up_at, 3),
    "statuses": statuses}))
PY
kill -TERM $pid
wait $pid || true
trap - EXIT
grep -E "Database (unreachable|reachable)" "$dir/stderr.txt" | head -4 >&2 || true
