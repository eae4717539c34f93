#!/usr/bin/env bash
# Sixteen idle connections that each declare a 16 MiB body and send none of
# it, from 127.0.0.9; meanwhile 50 logins from 127.0.0.1. Prints how the
# logins were answered, once with IPsPermitidos=127.0.0.1 (the attacker
# outside the allow-list) and once with no allow-list, and what the
# attacker's connections got. Then, at a limit of 1,024 descriptors, one
# client at 127.0.0.9 holds 768 idle connections while 34 requests come
# from 127.0.0.1.
# Usage: bench/lockout.sh [program]   (default build/src/app/apinorvessa)
# Environment: BENCH_DIR (/tmp/apinorvessa-bench), PORT (9520).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}/lockout
port=${PORT:-9520}
rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
cp "$program" "$dir/bin/apinorvessa"
sqlite3 "$dir/db.db" < demo/schema_sqlite.sql
sqlite3 "$dir/db.db" "insert into Usuario values (1, 1, 'x', 'y', 1)"
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$dir/db.db" \
  > "$dir/bin/Config/Conexao.ini"

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null' EXIT

for allowed in 127.0.0.1 ""; do
  printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nIPsPermitidos=%s\n' \
    "$port" "$allowed" > "$dir/root/Norvessa/Config/Norvessa.ini"
  NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless \
    2> "$dir/service.log" &
  pid=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null -X POST "http://127.0.0.1:$port/estados" && break
    sleep 0.1
  done
  echo "IPsPermitidos=${allowed:-(none)}"
  python3 - "$port" <<'PY'
import collections, socket, sys, time
port = int(sys.argv[1])
head = (b"POST /autenticacao HTTP/1.1\r\nHost: x\r\n"
        b"Content-Length: 16777216\r\n\r\n")
attackers = []
for _ in range(16):
    s = socket.socket()
    s.bind(("127.0.0.9", 0))
    s.connect(("127.0.0.1", port))
    s.sendall(head)
    attackers.append(s)
time.sleep(0.5)  # the heads are read
answers = collections.Counter()
for _ in range(50):
    c = socket.create_connection(("127.0.0.1", port))
    body = b'{"usuario":"x","senha":"y"}'
    c.sendall(b"POST /autenticacao HTTP/1.1\r\nHost: x\r\nContent-Type: "
              b"application/json\r\nContent-Length: %d\r\n\r\n" % len(body) +
              body)
    reply = b""
    while True:
        chunk = c.recv(65536)
        if not chunk:
            break
        reply += chunk
    c.close()
    answers[reply.split(b"\r\n", 1)[0].decode()] += 1
got = collections.Counter()
for s in attackers:
    s.settimeout(0.2)
    try:
        first = s.recv(4096).split(b"\r\n", 1)[0].decode() or "(closed)"
    except socket.timeout:
        first = "(nothing yet)"
    got[first] += 1
    s.close()
for line, n in sorted(answers.items()):
    print(f"  logins: {n} x {line}")
for line, n in sorted(got.items()):
    print(f"  attackers: {n} x {line}")
PY
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=
done

printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\n' "$port" \
  > "$dir/root/Norvessa/Config/Norvessa.ini"
(ulimit -n 1024; exec env NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" \
  --headless 2> "$dir/service.log") &
pid=$!
for _ in $(seq 1 100); do
  curl -s -o /dev/null -X POST "http://127.0.0.1:$port/estados" && break
  sleep 0.1
done
echo "one client holding 768 connections (ulimit -n 1024)"
python3 - "$port" <<'PY'
import collections, resource, socket, sys, time
port = int(sys.argv[1])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 4096), max(hard, 4096)))
held = []
for _ in range(768):
    s = socket.socket()
    s.bind(("127.0.0.9", 0))
    try:
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /usuarios HTTP/1.1\r\n")
    except OSError:
        pass
    held.append(s)
time.sleep(0.5)
answers = collections.Counter()
for _ in range(34):
    try:
        c = socket.create_connection(("127.0.0.1", port), timeout=5)
        c.sendall(b"POST /estados HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
        reply = b""
        while True:
            chunk = c.recv(65536)
            if not chunk:
                break
            reply += chunk
        c.close()
        answers[reply.split(b"\r\n", 1)[0].decode() or "(closed unanswered)"] += 1
    except OSError as e:
        answers[type(e).__name__] += 1
for line, n in sorted(answers.items()):
    print(f"  requests: {n} x {line}")
for s in held:
    s.close()
PY
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
grep -E "connection limit|holds|Connection limit" "$dir/service.log" | head -3 || true
