#!/usr/bin/env bash
# A soak: mixed routes at 64 connections (keep-alive off) for a long while
# on a copy of the benchmark database, with the resident memory and the
# open descriptors of the service and the size of the database's
# write-ahead log sampled every 10 s, and for LULL seconds after the load.
# At the end: requests and errors by kind, latency percentiles, the
# samples, whether memory levelled off (every sample of the last third
# within 10 % of that third's first sample), and the log's largest size
# and its size after the lull.
# Usage: bench/soak.sh [program]   (default build/src/app/apinorvessa,
#                                   after scripts/build.sh release)
# Environment: DURATION (default 10m), CONNECTIONS (64), PORT (9500),
#              LULL (seconds after the load, default 20),
#              BENCH_DIR (default /tmp/apinorvessa-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=$(cd ../shared/bench && pwd)
program=$(realpath "${1:-build/src/app/apinorvessa}")
base=${BENCH_DIR:-/tmp/apinorvessa-bench}
dir=$base/soak
port=${PORT:-9500}
duration=${DURATION:-10m}
rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
[ -f "$base/bench-large.db" ] || python3 "$shared/seed_large.py" "$base/bench-large.db"
cp "$base/bench-large.db" "$dir/soak.db"
cp "$program" "$dir/bin/apinorvessa"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$dir/soak.db" \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$port" \
  > "$dir/root/Norvessa/Config/Norvessa.ini"

NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless 2> "$dir/service.log" &
server=$!
sampler=
trap 'kill $server $sampler 2>/dev/null; wait $server 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/estados" && break
  sleep 0.1
done
kill -0 "$server" 2>/dev/null || { cat "$dir/service.log" >&2; exit 1; }

# Every 10 s: seconds since start, resident KiB, open descriptors, bytes of
# the write-ahead log.
(
  start=$(date +%s)
  while kill -0 "$server" 2>/dev/null; do
    rss=$(awk '$1 == "VmRSS:" {print $2}' "/proc/$server/status" 2>/dev/null || echo 0)
    fds=$(ls "/proc/$server/fd" 2>/dev/null | wc -l)
    wal=$(stat -c %s "$dir/soak.db-wal" 2>/dev/null || echo 0)
    echo "$(( $(date +%s) - start )) $rss $fds $wal" >> "$dir/samples.txt"
    sleep 10
  done
) &
sampler=$!

cat > "$dir/mix.lua" <<'LUA'
-- Requests in turn; every answer counted by status in each thread.
local requests = {}
local n = 0
local function add(method, path, body)
  local headers = { ["Connection"] = "close",
                    ["Accept-Encoding"] = "gzip, deflate" }
  if body then headers["Content-Type"] = "application/json" end
  table.insert(requests, wrk.format(method, path, headers, body))
end
add("GET", "/usuarios")
add("POST", "/cidades", '{"iduf":"35"}')
add("POST", "/grupos", '{"inicio":0,"quantidadereg":20,"grupo":"Todos"}')
add("POST", "/produtos", '{"inicio":0,"quantidadereg":30,"nomeproduto":"camisa"}')
add("GET", "/produtos/526")
add("GET", "/pedidos/4999")
add("POST", "/clientes", '{"inicio":100,"quantidadereg":20}')
add("POST", "/autenticacao", '{"usuario":"nobody","senha":"x"}')
add("GET", "/nao-existe")
add("POST", "/pedidos/novo", '{"idempresa":"1","idusuario":"1",' ..
    '"dtemissao":"10/12/2026 10:30","dtsaidainicial":"12/12/2026",' ..
    '"dtsaidafinal":"15/12/2026","idcliente":15,"vltotalpedido":"21",' ..
    '"observacao":"soak","itens":[{"idproduto":"10","unmed":"",' ..
    '"idempresa":"1","idusuario":"1","numcodbarrasusado":"78910",' ..
    '"descricaoitem":"Item 10","quantidade":"2","vlunitario":"10,5",' ..
    '"vltotal":"21"}]}')

local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) statuses = {} end
function request()
  n = n + 1
  return requests[(n % #requests) + 1]
end
function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
end
function done(summary, latency, requests)
  local all = {}
  for _, t in ipairs(threads) do
    for status, count in pairs(t:get("statuses")) do
      all[status] = (all[status] or 0) + count
    end
  end
  io.write("answers by status:")
  for status, count in pairs(all) do io.write(" ", status, " x", count) end
  io.write("\n")
  local e = summary.errors
  io.write(string.format(
      "socket errors: connect %d, read %d, write %d, status %d, timeout %d\n",
      e.connect, e.read, e.write, e.status, e.timeout))
  io.write(string.format("latency p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
      latency:percentile(50) / 1000, latency:percentile(99) / 1000,
      latency.max / 1000))
end
LUA

echo "soak: $duration at ${CONNECTIONS:-64} connections on $program"
wrk -t2 -c"${CONNECTIONS:-64}" -d"$duration" --timeout 10s \
  -s "$dir/mix.lua" "http://127.0.0.1:$port" | grep -vE "^  [0-9]+ threads|^Running"
loaded=$(wc -l < "$dir/samples.txt")
sleep "${LULL:-20}"
lull_wal=$(stat -c %s "$dir/soak.db-wal" 2>/dev/null || echo 0)
kill "$sampler" 2>/dev/null || true
kill "$server"
wait "$server" 2>/dev/null || true
trap - EXIT

echo "samples (s, resident MiB, descriptors, write-ahead log MiB):"
awk '{printf "  %5d %7.1f %5d %7.1f\n", $1, $2 / 1024, $3, $4 / 1048576}' "$dir/samples.txt"
awk -v lull="$lull_wal" -v secs="${LULL:-20}" '
  $4 > max { max = $4 }
  END { printf "write-ahead log: largest %.1f MiB under load, %.1f MiB after a %d s lull\n",
        max / 1048576, lull / 1048576, secs }' "$dir/samples.txt"
head -n "$loaded" "$dir/samples.txt" | awk '
  { t[NR] = $1; rss[NR] = $2 }
  END {
    if (NR < 3) { print "too few samples to judge the memory trend"; exit }
    first = int(NR * 2 / 3) + 1
    ref = rss[first]; lo = ref; hi = ref
    for (i = first; i <= NR; ++i) { if (rss[i] < lo) lo = rss[i]; if (rss[i] > hi) hi = rss[i] }
    printf "last third (%d s to %d s): %.1f to %.1f MiB, from %.1f MiB: %s\n",
      t[first], t[NR], lo / 1024, hi / 1024, ref / 1024,
      (hi <= ref * 1.1 && lo >= ref * 0.9) ? "levelled off" : "NOT levelled off"
  }' "$dir/samples.txt"
echo "service stderr lines: $(wc -l < "$dir/service.log")"
