#!/usr/bin/env bash
# Installs what is missing, builds the service, prepares a demo folder with
# the bundled demo database and starts the service headless on port 9000.
# Running it again keeps the demo folder's settings and database
# (DEMO_RESET=1 builds a fresh database).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install.sh
scripts/build.sh release apinorvessa norvessa-demo-seed

demo="$PWD/demo-run"
mkdir -p "$demo/bin/Config" "$demo/bin/Logs" "$demo/root/Norvessa/Config" \
         "$demo/data"
# The program runs from its own folder: Config/ and Logs/ sit beside it.
cp build/src/app/apinorvessa "$demo/bin/apinorvessa"

if [ ! -f "$demo/data/demo.db" ] || [ "${DEMO_RESET:-0}" = 1 ]; then
  build/demo/norvessa-demo-seed demo/schema_sqlite.sql "$demo/data/demo.db"
fi
if [ ! -f "$demo/bin/Config/Conexao.ini" ]; then
  cat > "$demo/bin/Config/Conexao.ini" <<'INI'
[SERVER]
DRIVER=SQLite
HOSTNAME=localhost
BANCO=../data/demo.db
USUARIO=
SENHA=
INI
fi
if [ ! -f "$demo/root/Norvessa/Config/Norvessa.ini" ]; then
  cat > "$demo/root/Norvessa/Config/Norvessa.ini" <<'INI'
[API]
Porta=9000
IP=http://0.0.0.0
Empresa=1
INI
fi

port=$(sed -n 's/^[Pp]orta=//p' "$demo/root/Norvessa/Config/Norvessa.ini" | head -n 1 | tr -d '\r')
port=${port:-9000}
cat <<TXT
Demo folder: $demo
Starting APINorvessa on http://127.0.0.1:$port (Ctrl+C stops it). Try:
  curl -s -X POST http://127.0.0.1:$port/estados
  curl -s -X POST -H 'Content-Type: application/json' -d '{"iduf":"35"}' http://127.0.0.1:$port/cidades
TXT
export NORVESSA_ROOT="$demo/root"
exec "$demo/bin/apinorvessa" --headless
