#!/usr/bin/env bash
# Orders created per second: 20 clients at once, each order with 3 items,
# keep-alive off, on a copy of the benchmark database. Afterwards every new
# order must have its own key and exactly its 3 items.
# Usage: bench/order_creation.sh     (after scripts/build.sh release)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), DURATION (10s),
#              CLIENTS (20).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}
mkdir -p "$dir/orders/bin/Config" "$dir/orders/bin/Logs" \
         "$dir/orders/root/Norvessa/Config"
[ -f "$dir/bench-large.db" ] || python3 "$shared/seed_large.py" "$dir/bench-large.db"
db="$dir/orders/orders.db"
cp "$dir/bench-large.db" "$db"
rm -f "$db-wal" "$db-shm"

cp build/src/app/apinorvessa "$dir/orders/bin/apinorvessa"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
  > "$dir/orders/bin/Config/Conexao.ini"
printf '[API]\nPorta=9000\nIP=http://0.0.0.0\nEmpresa=1\n' \
  > "$dir/orders/root/Norvessa/Config/Norvessa.ini"

before=$(sqlite3 "$db" 'select count(*) from Pedido')
max_before=$(sqlite3 "$db" 'select coalesce(max(IdPedido), 0) from Pedido')
NORVESSA_ROOT="$dir/orders/root" "$dir/orders/bin/apinorvessa" --headless \
  2> "$dir/orders.log" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  curl -s -o /dev/null http://127.0.0.1:9000/usuarios && break
  sleep 0.1
done
kill -0 "$server" 2>/dev/null || { cat "$dir/orders.log" >&2; exit 1; }

wrk -t2 -c"${CLIENTS:-20}" -d"${DURATION:-10s}" --latency \
  -s bench/order_post.lua http://127.0.0.1:9000/pedidos/novo \
  | grep -E "Requests/sec|requests in|Non-2xx|Socket errors|  50%|  99%|^orders "

kill "$server"; wait "$server" 2>/dev/null || true
trap - EXIT
after=$(sqlite3 "$db" 'select count(*) from Pedido')
echo "orders stored: $((after - before))"
sqlite3 "$db" "select 'orders whose item count is not 3: ' || count(*) from
  (select P.IdPedido, count(PI.IdPedidoItem) n from Pedido P
   left join PedidoItem PI on PI.IdPedido = P.IdPedido
   where P.IdPedido > $max_before group by P.IdPedido) where n <> 3"
sqlite3 "$db" "select 'items whose numbers are not 1..3: ' || count(*)
  from PedidoItem where IdPedido > $max_before and NumItem not in (1, 2, 3)"
