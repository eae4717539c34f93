#!/usr/bin/env bash
# Installs what is missing, builds the service, prepares a demo folder with
# the bundled demo database and starts the service headless on port 9000.
# Running it again keeps the demo folder's settings and database
# (DEMO_RESET=1 builds a fresh database). WINDOW=1 opens the control window
# instead (needs a desktop).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install.sh
scripts/build.sh release apinorvessa norvessa-demo-seed
scripts/demo-folder.sh

demo="$PWD/demo-run"
port=$(sed -n 's/^[Pp]orta=//p' "$demo/root/Norvessa/Config/Norvessa.ini" | head -n 1 | tr -d '\r')
port=${port:-9000}
admin_port=$(sed -n 's/^[Pp]orta[Aa]dmin=//p' "$demo/root/Norvessa/Config/Norvessa.ini" | head -n 1 | tr -d '\r')
listen=$(sed -n 's/^IPEscuta=//Ip' "$demo/root/Norvessa/Config/Norvessa.ini" | head -n 1 | tr -d '\r ')
export NORVESSA_ROOT="$demo/root"
if [ "${WINDOW:-0}" = 1 ]; then
  echo "Demo folder: $demo (press \"Iniciar\" in the window)"
  exec "$demo/bin/apinorvessa"
fi
cat <<TXT
Demo folder: $demo
Starting APINorvessa on http://127.0.0.1:$port (Ctrl+C stops it), listening on
${listen:-every local address}: IPEscuta in $demo/root/Norvessa/Config/Norvessa.ini
changes that (empty: every address). Try:
  curl -s -X POST http://127.0.0.1:$port/estados
  curl -s -X POST -H 'Content-Type: application/json' -d '{"iduf":"35"}' http://127.0.0.1:$port/cidades
TXT
if [ -n "$admin_port" ]; then
  cat <<TXT
Operators' port (PortaAdmin in $demo/root/Norvessa/Config/Norvessa.ini):
  curl -s http://127.0.0.1:$admin_port/ready
  curl -s http://127.0.0.1:$admin_port/metrics
TXT
fi
exec "$demo/bin/apinorvessa" --headless
