#!/usr/bin/env bash
# Two instances behind nginx with TLS, as scripts/cluster.sh runs
# deploy/nginx/apinorvessa.conf: answers through nginx (TLS and plain) equal
# the instances' own; only requests naming the site (localhost here) reach
# the instances; the instances log the client nginx saw, whatever
# X-Forwarded-For the client sent; orders created on both instances at once
# on one SQLite file each keep their own key and exactly their items; an
# instance stopped with SIGTERM under GET load costs the clients nothing,
# and is back in rotation once started again.
# Usage: cluster_test.sh <source dir> <apinorvessa> <norvessa-demo-seed>
# Exits 77 (skipped) where nginx is not installed.
set -euo pipefail
source_dir=$1
program=$2
seed=$3

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# NGINX names another nginx, for this test and scripts/cluster.sh alike.
nginx=${NGINX:-$(command -v nginx 2>/dev/null || echo /usr/sbin/nginx)}
if [ ! -x "$nginx" ]; then
  echo "SKIP: nginx is not installed (scripts/install.sh installs it)"
  exit 77
fi
for tool in curl openssl sqlite3 ss; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# Free ports below the kernel's ephemeral range (a connection in TIME-WAIT
# blocks a bind too): the instances on base and base+1, their operators'
# ports 1000 above, nginx's TLS and plain ports.
read -r ephemeral_low _ < /proc/sys/net/ipv4/ip_local_port_range
port_free() { [ -z "$(ss -Htan "sport = :$1")" ]; }
for _ in $(seq 1 50); do
  base=$((10000 + RANDOM % (ephemeral_low - 11010)))
  https_port=$((base + 2))
  http_port=$((base + 3))
  ports_ok=1
  for p in "$base" $((base + 1)) $((base + 1000)) $((base + 1001)) \
           "$https_port" "$http_port"; do
    port_free "$p" || ports_ok=0
  done
  [ "$ports_ok" = 1 ] && break
done
[ "$ports_ok" = 1 ] || fail "no free ports found"

work=$(mktemp -d /tmp/apinorvessa-cluster-test.XXXXXX)
export CLUSTER_DIR=$work/cluster
cluster() { "$source_dir/scripts/cluster.sh" "$@"; }
finish() {
  local status=$?
  cluster stop || true
  if [ "$status" != 0 ]; then
    # The folder goes whatever happened: what a failure needs is shown here.
    for log in "$CLUSTER_DIR"/instance-*/stderr.log \
               "$CLUSTER_DIR/nginx/logs/error.log"; do
      [ -f "$log" ] || continue
      echo "--- $log (last lines)" >&2
      tail -n 20 "$log" >&2
    done
  fi
  rm -rf "$work"
}
trap finish EXIT

out=$(INSTANCES=2 BASE_PORT=$base HTTPS_PORT=$https_port HTTP_PORT=$http_port \
      NORVESSA_BIN=$program NORVESSA_SEED=$seed cluster start)
echo "$out"
grep -qx "https://localhost:$https_port" <<<"$out" ||
  fail "start did not print the https address on a line of its own"
ca=$(sed -n 's/^CA file: //p' <<<"$out")
[ -f "$ca" ] || fail "start did not name the certificate to trust"
db=$CLUSTER_DIR/data/demo.db
tls="https://localhost:$https_port"
plain="http://localhost:$http_port"
direct="http://127.0.0.1:$base"
curl_() { curl -s --noproxy '*' --cacert "$ca" --max-time 30 "$@"; }

# --- The same answers through nginx as from an instance ---------------------
# Status, type, encoding and body; a compressed answer passes unchanged.
answer() {
  local url=$1 headers
  shift
  headers=$(mktemp "$work/headers.XXXXXX")
  curl_ -D "$headers" -o "$work/body" -w '%{http_code} %{content_type}\n' "$@" "$url"
  grep -i '^content-encoding:' "$headers" | tr -d '\r' || true
  cat "$work/body"
  rm -f "$headers"
}
json=(-H 'Content-Type: application/json')
# Within the service's limits, past nginx's defaults: a 2 MiB body (nginx
# takes 1 MiB unless told) and a 20 KiB header line (8 KiB).
printf '{"iduf":"35","pad":"%s"}' "$(head -c $((2 << 20)) /dev/zero | tr '\0' a)" \
  > "$work/big.json"
pad=$(head -c 20000 /dev/zero | tr '\0' a)
cases=(
  "GET /produtos/526"
  "GET /produtos/2999"
  "POST /cidades {\"iduf\":\"35\"}"
  "POST /cidades {\"iduf\":\"\"}"
  "POST /autenticacao {\"usuario\":\"caixa1\",\"senha\":\"senha101\"}"
  "GET /moradores deflate"
  "POST /cidades big-body"
  "GET /produtos/526 big-header"
  "GET /pedidos/abc"
  "GET /no-such-route"
  "GET /admin/metrics"
)
for case in "${cases[@]}"; do
  read -r method path rest <<<"$case"
  args=(-X "$method")
  case "$rest" in
    "") ;;
    deflate) args+=(-H 'Accept-Encoding: deflate') ;;
    big-body) args+=("${json[@]}" --data-binary "@$work/big.json") ;;
    big-header) args+=(-H "X-Pad: $pad") ;;
    *) args+=("${json[@]}" -d "$rest") ;;
  esac
  answer "$direct$path" "${args[@]}" > "$work/direct"
  answer "$tls$path" "${args[@]}" > "$work/tls"
  answer "$plain$path" "${args[@]}" > "$work/plain"
  cmp -s "$work/direct" "$work/tls" || {
    diff <(head -c 600 "$work/direct") <(head -c 600 "$work/tls") >&2 || true
    fail "$case: nginx over TLS answers differently from the instance"
  }
  cmp -s "$work/direct" "$work/plain" || fail "$case: nginx over plain HTTP differs"
  echo "same answer through nginx: $case ($(head -n 1 "$work/direct"))"
done
grep -qi '^content-encoding: deflate' <(answer "$tls/moradores" -H 'Accept-Encoding: deflate') ||
  fail "the large answer was not compressed by the instance"
grep '"GET /admin/metrics HTTP' "$CLUSTER_DIR/nginx/logs/apinorvessa.access.log" |
  grep -vq 'upstream=-' && fail "/admin/ was passed on to an instance"
# Past the service's 16 MiB the proxy refuses the body itself.
head -c $(((16 << 20) + 1)) /dev/zero > "$work/huge"
[ "$(curl_ -o /dev/null -w '%{http_code}' "${json[@]}" --data-binary "@$work/huge" \
      "$tls/cidades")" = 413 ] || fail "a body over 16 MiB is not refused with 413"
[ "$(curl_ --tlsv1.2 --tls-max 1.2 -o /dev/null -w '%{http_code}' "$tls/produtos/1")" = 200 ] ||
  fail "a TLS 1.2 client is refused"

# --- Only the site's name reaches the instances -------------------------------
# curl's exit code: 35 is a failed TLS handshake, 52 a connection closed
# without an answer (nginx's 444). -k: the refusals are not about the
# certificate, which names 127.0.0.1 as well.
curl_exit() {
  local code=0
  curl_ -o /dev/null "$@" || code=$?
  echo "$code"
}
[ "$(curl_exit -k "https://127.0.0.1:$https_port/produtos/7001")" = 35 ] ||
  fail "a TLS client naming no host (https://127.0.0.1) was not refused at the handshake"
[ "$(curl_exit -k --resolve "other.example:$https_port:127.0.0.1" \
      "https://other.example:$https_port/produtos/7001")" = 35 ] ||
  fail "a TLS client naming another host was not refused at the handshake"
[ "$(curl_exit -H 'Host: other.example' "$tls/produtos/7001")" = 52 ] ||
  fail "a request over TLS for another Host got an answer"
[ "$(curl_exit -H 'Host: other.example' "$plain/produtos/7001")" = 52 ] ||
  fail "a plain request for another Host got an answer"
[ "$(curl_exit "http://127.0.0.1:$http_port/produtos/7001")" = 52 ] ||
  fail "a plain request for the address alone got an answer"
# The three requests above are in nginx's log as 444, none passed on.
grep '"GET /produtos/7001 ' "$CLUSTER_DIR/nginx/logs/apinorvessa.access.log" \
  > "$work/refused" || true
if [ "$(wc -l < "$work/refused")" != 3 ] ||
   grep -v '"GET /produtos/7001 HTTP/1.1" 444 .* upstream=- ' "$work/refused" >&2; then
  fail "nginx's log does not show the 3 requests for other hosts refused with 444"
fi
# Every handshake starts in the refusing default server, which must keep the
# site's TLS settings: its curves (secp521r1 is not one), and the same lines.
handshake() {
  openssl s_client -connect "127.0.0.1:$https_port" -servername localhost "$@" \
    </dev/null >/dev/null 2>&1
}
handshake -tls1_2 -curves X25519 || fail "no handshake with the site's first curve"
! handshake -tls1_2 -curves secp521r1 ||
  fail "a handshake with a curve the site leaves out succeeded"
tls_settings() {
  awk '/^server \{/ { n++ }
       /^[ \t]*ssl_(protocols|ciphers|ecdh_curve|prefer_server_ciphers|session_[a-z_]+) / {
         sub(/^[ \t]+/, ""); print n ": " $0
       }' "$source_dir/deploy/nginx/apinorvessa.conf"
}
diff <(tls_settings | sed -n 's/^1: //p') <(tls_settings | sed -n 's/^2: //p') >&2 ||
  fail "the TLS lines of the default server and of the site differ"
[ -n "$(tls_settings | sed -n 's/^2: //p')" ] || fail "no TLS lines found in the site"
echo "other hosts refused: no handshake without the site's name, no answer (444) for another Host"

# --- The client's address in the instances' request log -------------------------
# nginx is the instances' listed proxy: a client at 127.0.0.9 claiming
# another address in X-Forwarded-For is logged as 127.0.0.9, the address
# nginx saw, and so is the same client reaching an instance directly.
# Default line: <client> [<time>] "<METHOD> <path>" <status>.
request_logs() { cat "$CLUSTER_DIR"/instance-*/bin/Logs/LogsAPI_*.log 2>/dev/null | tr -d '\r'; }
for route in "$tls/produtos/4711" "$direct/produtos/4712"; do
  [ "$(curl_ --interface 127.0.0.9 -H 'X-Forwarded-For: 203.0.113.77' \
        -o /dev/null -w '%{http_code}' "$route")" = 200 ] ||
    fail "GET $route from 127.0.0.9 did not answer 200"
done
# Both logs are written once the answer has gone out.
nginx_saw_client() {
  grep -q '^127\.0\.0\.9 .*"GET /produtos/4711 ' "$CLUSTER_DIR/nginx/logs/apinorvessa.access.log"
}
for _ in $(seq 1 600); do
  nginx_saw_client && [ "$(request_logs | grep -c -E '"GET /produtos/471[12]"')" = 2 ] && break
  sleep 0.1
done
nginx_saw_client || fail "nginx did not see the client at 127.0.0.9"
request_logs | grep -E '"GET /produtos/471[12]"' > "$work/client-lines" || true
[ "$(wc -l < "$work/client-lines")" = 2 ] ||
  fail "the instances' request logs do not have the 2 requests from 127.0.0.9"
if grep -v '^127\.0\.0\.9 \[' "$work/client-lines" >&2; then
  fail "the request log above does not name the client at 127.0.0.9"
fi
if request_logs | grep -F '203.0.113.77' >&2; then
  fail "the request log takes the address the client claimed"
fi
echo "request log: the client at 127.0.0.9 as itself, through nginx and directly"

# --- Orders on two instances at once, one SQLite file -----------------------
# 20 clients, 10 orders each, even clients on instance 0 and odd ones on
# instance 1; order k of client c has 1 to 4 items, all named after it.
order_body() {
  local tag=$1 items=$2 j list=""
  for j in $(seq 1 "$items"); do
    [ -z "$list" ] || list+=","
    list+='{"idproduto":"'$((10 + j))'","unmed":"UN","idempresa":"1","idusuario":"1",'
    list+='"numcodbarrasusado":"789","descricaoitem":"'"$tag i$j"'",'
    list+='"quantidade":"2","vlunitario":"10,5","vltotal":"21"}'
  done
  printf '%s' '{"idempresa":"1","idusuario":"1","dtemissao":"10/12/2026 10:30",' \
    '"dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026","idcliente":15,' \
    '"vltotalpedido":"63","observacao":"'"$tag"'","itens":['"$list"']}'
}
mkdir "$work/orders"
clients=()
for c in $(seq 0 19); do
  (
    port=$((base + c % 2))
    for k in $(seq 0 9); do
      tag="cluster-test c$c o$k"
      items=$((1 + (c + k) % 4))
      reply=$(curl_ -w ' %{http_code}' -X POST "${json[@]}" \
                -d "$(order_body "$tag" "$items")" "http://127.0.0.1:$port/pedidos/novo" ||
              echo "curl-failed 000")
      echo "$tag|$items|$reply"
    done > "$work/orders/$c"
  ) &
  clients+=($!)
done
wait "${clients[@]}"
cat "$work/orders"/* > "$work/orders.txt"
[ "$(wc -l < "$work/orders.txt")" = 200 ] || fail "not every client finished"
if grep -v -E '\|\{"Result":"[0-9]+"\} 200$' "$work/orders.txt" >&2; then
  fail "the clients above saw an error"
fi
sed -E 's/.*"Result":"([0-9]+)".*/\1/' "$work/orders.txt" | sort -u > "$work/keys"
[ "$(wc -l < "$work/keys")" = 200 ] || fail "two orders were answered the same key"
# What was sent, by key: the order's text and its item count.
sed -E 's/^([^|]*)\|([0-9]+)\|\{"Result":"([0-9]+)"\} 200$/\3|\1|\2|0/' "$work/orders.txt" |
  sort > "$work/sent"
sqlite3 "$db" "select P.IdPedido, P.Observacao,
    (select count(*) from PedidoItem I where I.IdPedido = P.IdPedido),
    (select count(*) from PedidoItem I where I.IdPedido = P.IdPedido
       and I.DescricaoItem not like P.Observacao || ' i%')
  from Pedido P where P.Observacao like 'cluster-test %'" | sort > "$work/stored"
diff "$work/sent" "$work/stored" >&2 ||
  fail "the stored orders (key|text|items|foreign items) differ from those sent"
echo "200 orders through two instances: 200 keys, each order with exactly its items"

# --- One instance stopped and started again under GET load -------------------
mkdir "$work/load"
load_count() { cat "$work/load"/* | wc -l; }
wait_for_load() {
  local target=$1
  for _ in $(seq 1 600); do
    [ "$(load_count)" -ge "$target" ] && return 0
    sleep 0.1
  done
  fail "the GET load stalled at $(load_count) requests"
}
loops=()
for l in 0 1 2 3; do
  (
    for _ in $(seq 1 250); do
      [ -e "$work/load-stop" ] && break
      curl_ -o /dev/null -w '%{http_code}\n' "$tls/produtos/526" || true
    done > "$work/load/$l"
  ) &
  loops+=($!)
done
wait_for_load 50
cluster stop-instance 0
stopped_at=$(load_count)
wait_for_load $((stopped_at + 100))
cluster start-instance 0
started_at=$(load_count)
wait_for_load $((started_at + 100))
touch "$work/load-stop"
wait "${loops[@]}"
total=$(load_count)
errors=$(cat "$work/load"/* | grep -cvx 200 || true)
retried=$(grep -c '"GET /produtos/526 HTTP.*upstream=[^ ]*, ' \
            "$CLUSTER_DIR/nginx/logs/apinorvessa.access.log" || true)
echo "GET load: $total requests, instance 0 stopped after $stopped_at and" \
     "started after $started_at; $errors not 200; $retried sent on to the other instance"
[ "$errors" = 0 ] || fail "clients saw $errors errors while an instance stopped"

# The restarted process counts from zero: requests in its metrics came
# through nginx after the restart.
served_by_restarted() {
  curl_ "http://127.0.0.1:$((base + 1000))/metrics" |
    sed -n 's/^apinorvessa_http_requests_total{route="\/produtos\/:idproduto",method="GET",status="200"} //p'
}
for _ in $(seq 1 300); do
  [ -n "$(served_by_restarted)" ] && break
  [ "$(curl_ -o /dev/null -w '%{http_code}' "$tls/produtos/526")" = 200 ] ||
    fail "a GET failed after the restart"
  sleep 0.1
done
[ -n "$(served_by_restarted)" ] || fail "the restarted instance is not back in rotation"
echo "instance 0 back in rotation: $(served_by_restarted) requests since its restart"

# --- stop ends everything ------------------------------------------------------
pids=$(cat "$CLUSTER_DIR"/instance-*.pid "$CLUSTER_DIR/nginx/nginx.pid")
cluster stop
for pid in $pids; do
  # One read: a process reaped between two reads is gone, not running.
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
  state=${stat##*) }
  state=${state%% *}
  [ "$state" = Z ] || fail "process $pid still runs after stop (state $state)"
done
ls "$CLUSTER_DIR"/instance-*.pid "$CLUSTER_DIR/nginx/nginx.pid" 2>/dev/null &&
  fail "stop left PID files"
# A sanitizer build reports on stderr at exit.
if grep -l 'Sanitizer' "$CLUSTER_DIR"/instance-*/stderr.log >&2; then
  fail "a sanitizer reported in the instances' stderr above"
fi
echo "cluster checks passed"
