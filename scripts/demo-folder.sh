#!/usr/bin/env bash
# Prepares demo-run/: the program in bin/ with Config/Conexao.ini beside it,
# the service settings under root/Norvessa/Config/, and the bundled demo
# database in data/. Keeps settings and database that are already there
# (DEMO_RESET=1 builds a fresh database). Expects a release build.
set -euo pipefail
cd "$(dirname "$0")/.."

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
; The demo answers this machine only (GET /usuarios shows passwords):
; another local address, or empty for every address, opens it up.
IPEscuta=127.0.0.1
; A request that finds all 32 slots busy waits up to 2 s for one instead of
; being turned away at once (clients would only ask again at once).
EsperaVagaMs=2000
PortaAdmin=9001
IPAdmin=127.0.0.1
INI
fi
