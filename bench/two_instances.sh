#!/usr/bin/env bash
# Two instances of the service on one SQLite file, orders created on both
# at once: wrk against each (keep-alive off, CLIENTS connections, 3 items
# per order), each printing its latency percentiles (p50, p99, p99.9), its
# answers and its errors. Afterwards every new order must have its own key
# and exactly its 3 items.
# Usage: bench/two_instances.sh [program]   (default build/src/app/apinorvessa,
#                                            after scripts/build.sh release)
# Environment: DURATION (default 20s), CLIENTS (16 per instance), PORT (9600:
#              the instances listen on PORT and PORT+1),
#              BENCH_DIR (default /tmp/apinorvessa-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
program=$(realpath "${1:-build/src/app/apinorvessa}")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
dir=$base/two-instances
port=${PORT:-9600}
duration=${DURATION:-20s}
clients=${CLIENTS:-16}
rm -rf "$dir"
mkdir -p "$dir"
[ -f "$base/bench-large.db" ] || python3 "$shared/seed_large.py" "$base/bench-large.db"
db=$dir/orders.db
cp "$base/bench-large.db" "$db"

# Two folders, one program each, both naming the same database file.
for i in 0 1; do
  mkdir -p "$dir/$i/bin/Config" "$dir/$i/bin/Logs" "$dir/$i/root/Norvessa/Config"
  cp "$program" "$dir/$i/bin/apinorvessa"
  printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$db" \
    > "$dir/$i/bin/Config/Conexao.ini"
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$((port + i))" \
    > "$dir/$i/root/Norvessa/Config/Norvessa.ini"
done

before=$(sqlite3 "$db" 'select count(*) from Pedido')
max_before=$(sqlite3 "$db" 'select coalesce(max(IdPedido), 0) from Pedido')
servers=()
trap 'kill "${servers[@]}" 2>/dev/null; wait 2>/dev/null' EXIT
for i in 0 1; do
  NORVESSA_ROOT="$dir/$i/root" "$dir/$i/bin/apinorvessa" --headless \
    2> "$dir/service-$i.log" &
  servers+=($!)
done
for i in 0 1; do
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$((port + i))/estados" && break
    sleep 0.1
  done
  kill -0 "${servers[$i]}" 2>/dev/null || { cat "$dir/service-$i.log" >&2; exit 1; }
done


loads=()
for i in 0 1; do
  wrk -t1 -c"$clients" -d"$duration" --timeout 15s -s bench/order_post.lua \
    "http://127.0.0.1:$((port + i))/pedidos/novo" > "$dir/wrk-$i.txt" &
  loads+=($!)
done
wait "${loads[@]}"
for i in 0 1; do
  printf 'instance %d (port %d): ' "$i" "$((port + i))"
  tail -n 1 "$dir/wrk-$i.txt"
done

kill "${servers[@]}"; wait "${servers[@]}" 2>/dev/null || true
trap - EXIT
for i in 0 1; do
  refused=$(grep -c 'database is locked' "$dir/service-$i.log" || true)
  echo "instance $i: stderr lines with 'database is locked': $refused"
done
after=$(sqlite3 "$db" 'select count(*) from Pedido')
echo "orders stored: $((after - before))"
sqlite3 "$db" "select 'orders whose item count is not 3: ' || count(*) from
  (select P.IdPedido, count(PI.IdPedidoItem) n from Pedido P
   left join PedidoItem PI on PI.IdPedido = P.IdPedido
   where P.IdPedido > $max_before group by P.IdPedido) where n <> 3"
