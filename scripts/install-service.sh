#!/usr/bin/env bash
# Installs the built service as a systemd service (run with sudo, after
# scripts/build.sh release): a system user "apinorvessa", the program in
# /opt/apinorvessa with Config/ and Logs/ beside it, the service settings in
# /etc/apinorvessa/Norvessa/Config/Norvessa.ini, and the unit file. Keeps
# settings files that already exist. Does not start the service: edit
# Conexao.ini first, then `systemctl enable --now apinorvessa`.
# DESTDIR=<folder> writes the files under that folder only (no user, no
# ownership, no systemctl), to see what would be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

dest=${DESTDIR:-}
program=build/src/app/apinorvessa
[ -x "$program" ] || { echo "install-service.sh: run scripts/build.sh release first" >&2; exit 1; }
if [ -z "$dest" ] && [ "$(id -u)" -ne 0 ]; then
  echo "install-service.sh: run it as root (sudo)" >&2
  exit 1
fi

if [ -z "$dest" ] && ! id apinorvessa >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin apinorvessa
fi
owner=()
[ -z "$dest" ] && owner=(-o apinorvessa -g apinorvessa)
group=()
[ -z "$dest" ] && group=(-o root -g apinorvessa)

install -d "$dest/opt/apinorvessa" "$dest/opt/apinorvessa/Config"
install -d -m 0750 "${owner[@]}" "$dest/opt/apinorvessa/Logs"
install -s -m 0755 "$program" "$dest/opt/apinorvessa/apinorvessa"

# The connection settings hold the database password: readable by the
# service's group only.
conexao="$dest/opt/apinorvessa/Config/Conexao.ini"
if [ ! -f "$conexao" ]; then
  install -m 0640 "${group[@]}" /dev/stdin "$conexao" <<'INI'
[SERVER]
DRIVER=MSSQL9
ODBCDRIVER=FreeTDS
HOSTNAME=sqlserver.example.local,1433
BANCO=ERP
USUARIO=apinorvessa
SENHA=change-me
; key=value; pairs over the service's own connection string, e.g.
; ODBCEXTRA=TrustServerCertificate=no;Encrypt=yes
INI
fi

install -d "$dest/etc/apinorvessa/Norvessa"
install -d "${owner[@]}" "$dest/etc/apinorvessa/Norvessa/Config"
norvessa="$dest/etc/apinorvessa/Norvessa/Config/Norvessa.ini"
if [ ! -f "$norvessa" ]; then
  install -m 0644 "${owner[@]}" /dev/stdin "$norvessa" <<'INI'
[API]
Porta=9000
IP=http://0.0.0.0
Empresa=1
INI
fi

install -d "$dest/etc/systemd/system"
install -m 0644 deploy/apinorvessa.service \
  "$dest/etc/systemd/system/apinorvessa.service"
if [ -z "$dest" ] && command -v systemctl >/dev/null 2>&1; then
  systemctl daemon-reload
fi
cat <<TXT
Installed under ${dest:-/}:
  /opt/apinorvessa/apinorvessa                     the program
  /opt/apinorvessa/Config/Conexao.ini              database settings (edit them)
  /opt/apinorvessa/Logs/                           daily request logs
  /etc/apinorvessa/Norvessa/Config/Norvessa.ini    port and company
  /etc/systemd/system/apinorvessa.service
Then: systemctl enable --now apinorvessa; journalctl -u apinorvessa -f
TXT
