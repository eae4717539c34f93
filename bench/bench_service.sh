# Sourced by benchmark scripts: starts the service on the benchmark
# database in a folder of its own and stops it when the script exits.
# start_bench_service <program> <folder> <port>: sets `pid`; the program's
# stderr goes to <folder>/log.
start_bench_service() {
  local program=$1 dir=$2 port=$3
  local base=${BENCH_DIR:-/tmp/apinorvessa-bench}
  rm -rf "$dir"
  mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
  cp "$program" "$dir/bin/apinorvessa"
  printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' \
    "$base/bench-large.db" > "$dir/bin/Config/Conexao.ini"
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$port" \
    > "$dir/root/Norvessa/Config/Norvessa.ini"
  NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless 2> "$dir/log" &
  pid=$!
  trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/usuarios" && break
    sleep 0.1
  done
}
