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
program=${PROGRAM:-build/src/app/apinorvessa}
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
; key=value; pairs over the service's own connection string. The link is
; encrypted by default (FreeTDS: Encryption=require; Microsoft's driver:
; Encrypt=yes); with Microsoft's driver, check the server's certificate:
; ODBCEXTRA=TrustServerCertificate=no
; FreeTDS checks it with "ca file" in /etc/freetds/freetds.conf [global].
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
; Empty: every local address. One address (10.0.0.5, 127.0.0.1) to serve
; on that one only.
IPEscuta=
; A request that finds all 32 slots busy waits up to 2 s for one instead of
; being turned away at once (clients would only ask again at once).
EsperaVagaMs=2000
; The operators' listener (/live, /ready, /metrics, /openapi.json), on
; loopback only; empty PortaAdmin: none.
PortaAdmin=9001
IPAdmin=127.0.0.1
INI
fi

# The unit is the installer's own and is replaced on every install; site
# settings go into the drop-in 10-site.conf, rewritten from Conexao.ini on
# every install; local changes belong in drop-ins of their own
# (systemctl edit apinorvessa writes override.conf), which stay as they are.
units="$dest/usr/local/lib/systemd/system"
dropins="$dest/etc/systemd/system/apinorvessa.service.d"
install -d "$units" "$dropins"
install -m 0644 deploy/apinorvessa.service "$units/apinorvessa.service"

# DRIVER and BANCO of [SERVER] in Conexao.ini (keys in any case).
ini_value() {
  awk -v key="$1" '
    /^[ \t]*\[/ { section = tolower($0); gsub(/[ \t\[\]]/, "", section); next }
    section == "server" {
      line = $0; sub(/^[ \t]+/, "", line)
      eq = index(line, "="); if (eq == 0) next
      name = substr(line, 1, eq - 1); sub(/[ \t]+$/, "", name)
      if (tolower(name) == tolower(key)) {
        value = substr(line, eq + 1); sub(/^[ \t]+/, "", value); sub(/[ \t\r]+$/, "", value)
        print value; exit
      }
    }' "$conexao"
}
site="$dropins/10-site.conf"
{
  echo "# Written by scripts/install-service.sh from Conexao.ini; run it again"
  echo "# after changing DRIVER or BANCO. Local changes: systemctl edit apinorvessa."
  echo "[Service]"
  driver=$(ini_value DRIVER)
  if [ "${driver,,}" = sqlite ]; then
    banco=$(ini_value BANCO)
    case "$banco" in
      /*) db_file=$banco ;;
      *) db_file=/opt/apinorvessa/$banco ;;
    esac
    db_dir=$(dirname "$(realpath -m "$db_file")")
    echo "# The embedded database writes its file and the journal beside it."
    echo "ReadWritePaths=$db_dir"
  fi
} > "$site"
chmod 0644 "$site"

if [ -z "$dest" ] && [ -f /etc/systemd/system/apinorvessa.service ]; then
  echo "install-service.sh: /etc/systemd/system/apinorvessa.service (an earlier" \
       "install or a local copy) overrides the installed unit; it is left as it" \
       "is: move your changes into a drop-in (systemctl edit apinorvessa) and" \
       "remove it to use $units/apinorvessa.service" >&2
fi
if [ -z "$dest" ] && command -v systemctl >/dev/null 2>&1; then
  systemctl daemon-reload || true
fi
cat <<TXT
Installed under ${dest:-/}:
  /opt/apinorvessa/apinorvessa                     the program
  /opt/apinorvessa/Config/Conexao.ini              database settings (edit them)
  /opt/apinorvessa/Logs/                           daily request logs
  /etc/apinorvessa/Norvessa/Config/Norvessa.ini    port and company
  /usr/local/lib/systemd/system/apinorvessa.service   the unit
  /etc/systemd/system/apinorvessa.service.d/10-site.conf  site settings
Then: systemctl enable --now apinorvessa; journalctl -u apinorvessa -f
The request logs are readable by root and the group apinorvessa
(sudo adduser <you> apinorvessa, then log in again).
TXT
