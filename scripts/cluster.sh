#!/usr/bin/env bash
# Several instances of the service on one database behind nginx with TLS,
# all on this machine: the deployment of deploy/nginx/apinorvessa.conf, on
# loopback ports, without root.
#
# Usage: scripts/cluster.sh start | stop
#        scripts/cluster.sh restart-instance N | stop-instance N | start-instance N
#
# start   builds a fresh folder: a copy of the program per instance (its
#         Config/Conexao.ini and Logs/ beside it) with its own NORVESSA_ROOT,
#         a throwaway self-signed certificate, and nginx running the site
#         file with these instances and that certificate. It waits until
#         every instance and nginx answer, then prints the cluster's https
#         address on a line of its own and the certificate to trust. The
#         site answers the name localhost only, as the shipped one answers
#         its server_name only: https://localhost:<port>, never
#         https://127.0.0.1:<port> (no handshake without the name).
# stop    ends nginx (SIGQUIT: requests under way finish) and every instance
#         (SIGTERM), waits for them, and removes their PID files. The folder
#         stays, with the logs and the database, until the next start.
# restart-instance N (0-based) ends instance N with SIGTERM and starts it
#         again the same way; stop-instance and start-instance do each half.
#
# Environment:
#   INSTANCES     instances (2)
#   BASE_PORT     instance i listens on BASE_PORT+i, its operators' port on
#                 BASE_PORT+i+1000 (9100)
#   HTTPS_PORT    nginx's TLS port on 127.0.0.1, https://localhost:<port> (8443)
#   HTTP_PORT     nginx's plain port on 127.0.0.1, http://localhost:<port>
#                 (unset: off, as shipped)
#   CLUSTER_DIR   the folder of the whole cluster (/tmp/apinorvessa-cluster)
#   DB            an existing SQLite file all instances use (default: a fresh
#                 demo database in CLUSTER_DIR/data)
#   NORVESSA_BIN  the program (default: scripts/build.sh release, then
#                 build/src/app/apinorvessa)
#   NORVESSA_SEED the demo database builder (default: the one built beside
#                 the program, build/demo/norvessa-demo-seed)
#   NGINX         the nginx program (nginx on the PATH, else /usr/sbin/nginx)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=${CLUSTER_DIR:-/tmp/apinorvessa-cluster}
site_source=$repo/deploy/nginx/apinorvessa.conf

usage() {
  sed -n '6,7p' "$0" | sed 's/^# *//' >&2
  exit 2
}

fail() {
  echo "cluster.sh: $*" >&2
  exit 1
}

# A process counts as gone once it is a zombie: its parent (this script's
# earlier run) may be gone, and nothing may reap it for a while.
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# The PID in a file, if that process still runs the program it was started
# with (a PID left over from an earlier boot may belong to anything now).
pid_of() {
  local file=$1 program=$2 pid exe
  [ -f "$file" ] || return 1
  pid=$(cat "$file")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  alive "$pid" || return 1
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 1
  [ "${exe% (deleted)}" = "$program" ] || return 1
  echo "$pid"
}

# Sends a signal and waits for the process to end; SIGKILL after the wait.
end_process() {
  local pid=$1 signal=$2 what=$3 limit=$4
  kill "-$signal" "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 $((limit * 10))); do
    alive "$pid" || return 0
    sleep 0.1
  done
  echo "cluster.sh: $what (pid $pid) still runs ${limit} s after SIG$signal: SIGKILL" >&2
  kill -KILL "$pid" 2>/dev/null || true
}

nginx_program() {
  local found=${NGINX:-}
  [ -n "$found" ] || found=$(command -v nginx 2>/dev/null) || found=/usr/sbin/nginx
  [ -x "$found" ] || return 1
  realpath "$found"
}

load_settings() {
  [ -f "$dir/cluster.env" ] || fail "no cluster in $dir (scripts/cluster.sh start)"
  # shellcheck source=/dev/null
  source "$dir/cluster.env"
}

instance_dir() { echo "$dir/instance-$1"; }

# Each instance as on a server of its own: the program with Config/ and
# Logs/ beside it, its settings root, its ports. nginx is its proxy: the
# client's address comes from X-Forwarded-For when nginx connects, and
# nginx's connections count against no per-address limit. A request that
# finds every slot busy waits up to 2 s for one instead of failing at once.
prepare_instance() {
  local i=$1 port=$(($2 + $1)) idir
  idir=$(instance_dir "$i")
  mkdir -p "$idir/bin/Config" "$idir/bin/Logs" "$idir/root/Norvessa/Config"
  cp "$program" "$idir/bin/apinorvessa"
  printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\nUSUARIO=\nSENHA=\n' \
    "$db" > "$idir/bin/Config/Conexao.ini"
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nPortaAdmin=%s\nIPAdmin=127.0.0.1\n' \
    "$port" "$((port + 1000))" > "$idir/root/Norvessa/Config/Norvessa.ini"
  printf 'IPsProxy=127.0.0.1\nEsperaVagaMs=2000\n' \
    >> "$idir/root/Norvessa/Config/Norvessa.ini"
}

http_status() {
  curl -s --noproxy '*' --max-time 5 -o /dev/null -w '%{http_code}' "$@" || true
}

start_instance() {
  local i=$1 idir admin
  idir=$(instance_dir "$i")
  admin=$((base_port + i + 1000))
  [ -x "$idir/bin/apinorvessa" ] || fail "instance $i was never prepared"
  if pid_of "$dir/instance-$i.pid" "$idir/bin/apinorvessa" >/dev/null; then
    fail "instance $i already runs"
  fi
  NORVESSA_ROOT=$idir/root "$idir/bin/apinorvessa" --headless \
    </dev/null >>"$idir/stderr.log" 2>&1 &
  local pid=$!
  echo "$pid" > "$dir/instance-$i.pid"
  # Ready: listening, and the database answers.
  for _ in $(seq 1 300); do
    [ "$(http_status "http://127.0.0.1:$admin/ready")" = 200 ] && return 0
    alive "$pid" || break
    sleep 0.1
  done
  tail -n 20 "$idir/stderr.log" >&2
  fail "instance $i (port $((base_port + i))) did not become ready"
}

stop_instance() {
  local i=$1 idir pid
  idir=$(instance_dir "$i")
  if pid=$(pid_of "$dir/instance-$i.pid" "$idir/bin/apinorvessa"); then
    # 10 s for the requests under way, then the log is written.
    end_process "$pid" TERM "instance $i" 30
  fi
  rm -f "$dir/instance-$i.pid"
}

stop_nginx() {
  local nginx pid
  if nginx=$(nginx_program) && pid=$(pid_of "$dir/nginx/nginx.pid" "$nginx"); then
    # SIGQUIT: nginx stops accepting and lets the requests under way end.
    end_process "$pid" QUIT nginx 30
  fi
  rm -f "$dir/nginx/nginx.pid"
}

stop_all() {
  stop_nginx
  local file
  for file in "$dir"/instance-*.pid; do
    [ -e "$file" ] || continue
    file=${file##*/instance-}
    stop_instance "${file%.pid}"
  done
}

# The shipped site with this cluster's instances, ports, server name
# (localhost, the certificate's), certificate and log folder. Every replaced
# line is checked, so that a site edited out of this shape fails here and
# not as a silently different proxy.
write_site() {
  local ports="" i
  for i in $(seq 0 $((instances - 1))); do
    ports+=" $((base_port + i))"
  done
  awk -v ports="$ports" '
    /^[ \t]*server [^ ;]+:[0-9]+[ ;]/ {
      if (!done) {
        n = split(ports, p, " ")
        for (k = 1; k <= n; k++) {
          line = $0
          sub(/server [^ ;]+:[0-9]+/, "server 127.0.0.1:" p[k], line)
          print line
        }
        done = 1
      }
      next
    }
    { print }' "$site_source" |
    sed -e "s|^\([ \t]*\)listen 443 ssl\( default_server\)\{0,1\};|\1listen 127.0.0.1:$https_port ssl\2;|" \
        -e '/^[ \t]*listen \[::\]:443 ssl\( default_server\)\{0,1\};/d' \
        -e 's|^\([ \t]*\)server_name api\.empresa\.example;|\1server_name localhost;|' \
        -e "s|^\([ \t]*\)ssl_certificate /etc/ssl/certs/apinorvessa.pem;|\1ssl_certificate $dir/tls/cert.pem;|" \
        -e "s|^\([ \t]*\)ssl_certificate_key /etc/ssl/private/apinorvessa.key;|\1ssl_certificate_key $dir/tls/key.pem;|" \
        -e "s|/var/log/nginx/|$dir/nginx/logs/|g" > "$dir/nginx/apinorvessa.conf"
  local site=$dir/nginx/apinorvessa.conf
  if [ -n "$http_port" ]; then
    sed -i "s|^\([ \t]*\)# listen 80\( default_server\)\{0,1\};|\1listen 127.0.0.1:$http_port\2;|" \
      "$site"
    grep -q "^[ \t]*listen 127.0.0.1:$http_port;" "$site" ||
      fail "$site_source has no '# listen 80;' line to turn on"
    grep -q "^[ \t]*listen 127.0.0.1:$http_port default_server;" "$site" ||
      fail "$site_source has no '# listen 80 default_server;' line to turn on"
  fi
  [ "$(grep -c '^[ \t]*server 127\.0\.0\.1:[0-9]* ' "$site")" = "$instances" ] ||
    fail "$site_source: no 'server <address>:<port> ...' lines in its upstream"
  grep -q "^[ \t]*listen 127.0.0.1:$https_port ssl;" "$site" ||
    fail "$site_source has no 'listen 443 ssl;' line"
  grep -q "^[ \t]*listen 127.0.0.1:$https_port ssl default_server;" "$site" ||
    fail "$site_source has no 'listen 443 ssl default_server;' line"
  grep -q '^[ \t]*server_name localhost;' "$site" ||
    fail "$site_source has no 'server_name api.empresa.example;' line"
  if grep -n '^[ \t]*server_name ' "$site" | grep -v 'server_name localhost;' >&2; then
    fail "$site_source: the server names above are not the one this script replaces"
  fi
  if ! grep -q "ssl_certificate $dir/tls/cert.pem;" "$site" ||
     ! grep -q "ssl_certificate_key $dir/tls/key.pem;" "$site"; then
    fail "$site_source: its certificate lines are not the ones this script replaces"
  fi
  if grep -n -E '/etc/ssl|/var/log|^[ \t]*listen [^1]' "$site" >&2; then
    fail "$site_source: the lines above would leave the cluster folder"
  fi
}

write_nginx_conf() {
  local user_line=""
  # As root the workers would switch to nobody; they stay with the caller.
  if [ "$(id -u)" -eq 0 ]; then
    user_line="user $(id -un) $(id -gn);"
  fi
  cat > "$dir/nginx/nginx.conf" <<CONF
# Written by scripts/cluster.sh: everything inside $dir/nginx.
$user_line
worker_processes auto;
daemon on;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/logs/error.log;

events {
    worker_connections 1024;
}

http {
    default_type application/octet-stream;
    client_body_temp_path $dir/nginx/tmp/body;
    proxy_temp_path $dir/nginx/tmp/proxy;
    fastcgi_temp_path $dir/nginx/tmp/fastcgi;
    uwsgi_temp_path $dir/nginx/tmp/uwsgi;
    scgi_temp_path $dir/nginx/tmp/scgi;
    access_log $dir/nginx/logs/access.log;

    include $dir/nginx/apinorvessa.conf;
}
CONF
}

start_nginx() {
  local nginx=$1
  local run=("$nginx" -p "$dir/nginx/" -e "$dir/nginx/logs/error.log"
             -c "$dir/nginx/nginx.conf")
  "${run[@]}" -t -q || fail "nginx refuses $dir/nginx/nginx.conf"
  "${run[@]}" </dev/null >>"$dir/nginx/logs/stderr.log" 2>&1 ||
    { cat "$dir/nginx/logs/stderr.log" >&2; fail "nginx did not start"; }
  # Ready: an instance answered through it.
  for _ in $(seq 1 100); do
    [ "$(http_status --cacert "$dir/tls/cert.pem" -X POST \
          -H 'Content-Type: application/json' -d '{}' \
          "https://localhost:$https_port/estados")" = 200 ] && return 0
    sleep 0.1
  done
  tail -n 20 "$dir/nginx/logs/error.log" >&2
  fail "nginx on port $https_port does not reach the instances"
}

start() {
  instances=${INSTANCES:-2}
  base_port=${BASE_PORT:-9100}
  https_port=${HTTPS_PORT:-8443}
  http_port=${HTTP_PORT:-}
  [[ $instances =~ ^[1-9][0-9]*$ ]] || fail "INSTANCES=$instances is not a count"
  local nginx
  nginx=$(nginx_program) ||
    fail "nginx is not installed (scripts/install.sh installs it)"
  command -v openssl >/dev/null || fail "openssl is not installed"

  local file
  for file in "$dir"/instance-*.pid; do
    [ -e "$file" ] || continue
    file=${file##*/}
    if pid_of "$dir/$file" "$dir/${file%.pid}/bin/apinorvessa" >/dev/null; then
      fail "a cluster runs in $dir: scripts/cluster.sh stop"
    fi
  done
  if pid_of "$dir/nginx/nginx.pid" "$nginx" >/dev/null; then
    fail "a cluster runs in $dir: scripts/cluster.sh stop"
  fi
  rm -f "$dir"/instance-*.pid

  local seed=${NORVESSA_SEED:-}
  if [ -n "${NORVESSA_BIN:-}" ]; then
    program=$(realpath "$NORVESSA_BIN")
    if [ -z "$seed" ]; then
      seed=$(dirname "$program")/../../demo/norvessa-demo-seed
      [ -x "$seed" ] || seed=$repo/build/demo/norvessa-demo-seed
    fi
  else
    "$repo/scripts/build.sh" release apinorvessa norvessa-demo-seed >&2
    program=$repo/build/src/app/apinorvessa
    [ -n "$seed" ] || seed=$repo/build/demo/norvessa-demo-seed
  fi
  [ -x "$program" ] || fail "no program at $program"

  mkdir -p "$dir"
  rm -rf "$dir"/instance-* "$dir/nginx" "$dir/tls"
  mkdir -p "$dir/nginx/logs" "$dir/nginx/tmp" "$dir/tls"
  if [ -n "${DB:-}" ]; then
    db=$(realpath "$DB")
    [ -f "$db" ] || fail "DB=$DB: no such file"
  else
    [ -x "$seed" ] || fail "no demo database builder at $seed: set NORVESSA_SEED or DB"
    mkdir -p "$dir/data"
    db=$dir/data/demo.db
    rm -f "$db" "$db-wal" "$db-shm"
    "$seed" "$repo/demo/schema_sqlite.sql" "$db" >/dev/null
  fi

  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" 2>"$dir/tls/openssl.log" ||
    { cat "$dir/tls/openssl.log" >&2; fail "openssl could not make the certificate"; }

  cat > "$dir/cluster.env" <<ENV
instances=$instances
base_port=$base_port
https_port=$https_port
http_port=$http_port
db=$db
ENV

  # From here on a failure ends what was started.
  trap '[ $? = 0 ] || stop_all' EXIT
  local i
  for i in $(seq 0 $((instances - 1))); do
    prepare_instance "$i" "$base_port"
  done
  for i in $(seq 0 $((instances - 1))); do
    start_instance "$i"
  done
  write_site
  write_nginx_conf
  start_nginx "$nginx"
  trap - EXIT

  echo "cluster: $instances instances on ports $base_port-$((base_port + instances - 1))" \
       "(operators' ports from $((base_port + 1000))), database $db"
  echo "https://localhost:$https_port"
  [ -z "$http_port" ] || echo "http://localhost:$http_port"
  echo "CA file: $dir/tls/cert.pem"
}

instance_arg() {
  [[ ${1:-} =~ ^[0-9]+$ ]] || usage
  [ "$1" -lt "$instances" ] || fail "instance $1: the cluster has $instances (0 to $((instances - 1)))"
}

verb=${1:-}
case "$verb" in
  start)
    start
    ;;
  stop)
    [ -d "$dir" ] || exit 0
    stop_all
    ;;
  stop-instance | start-instance | restart-instance)
    load_settings
    instance_arg "${2:-}"
    [ "$verb" = start-instance ] || stop_instance "$2"
    [ "$verb" = stop-instance ] || start_instance "$2"
    ;;
  *)
    usage
    ;;
esac
