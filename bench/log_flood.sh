#!/usr/bin/env bash
# The request log under a flood of refused requests: the service allows
# only 127.0.0.1 ([API] IPsPermitidos), and clients bound to 127.0.0.9 send
# requests with a 60 KB X-Forwarded-For and headers full of malformed UTF-8
# and C1 bytes, each answered 403 and logged. The resident size (VmRSS) is
# sampled every second through the flood and through the stop; then the
# service gets SIGTERM, and the time it takes to exit, the log file's line
# count and its LOG DROPPED lines are printed.
# Usage: bench/log_flood.sh [program]   (default: build/src/app/apinorvessa,
#                                        after scripts/build.sh release)
# Environment: BENCH_DIR (default /tmp/apinorvessa-bench), PORT (9410),
#              FLOOD_SECONDS (40), CONNECTIONS (8), STOP_WAIT (180: seconds
#              to wait for the exit before SIGKILL), SLOW_LOG_KBPS (unset;
#              when set, the day's log file is a FIFO that a reader empties
#              at that many KiB a second into Logs/slow.log: a disk slower
#              than the flood, so that the queues fill up and the last pass
#              runs out of time).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/src/app/apinorvessa}")
dir=${BENCH_DIR:-/tmp/apinorvessa-bench}/log-flood
port=${PORT:-9410}
flood_seconds=${FLOOD_SECONDS:-40}
connections=${CONNECTIONS:-8}
stop_wait=${STOP_WAIT:-180}

rm -rf "$dir"
mkdir -p "$dir/bin/Config" "$dir/bin/Logs" "$dir/root/Norvessa/Config"
cp "$program" "$dir/bin/apinorvessa"
sqlite3 "$dir/db.db" < demo/schema_sqlite.sql
printf '[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=%s\n' "$dir/db.db" \
  > "$dir/bin/Config/Conexao.ini"
printf '[API]\nPorta=%s\nIP=http://0.0.0.0\nEmpresa=1\nIPsPermitidos=127.0.0.1\n' \
  "$port" > "$dir/root/Norvessa/Config/Norvessa.ini"

reader=
if [ -n "${SLOW_LOG_KBPS:-}" ]; then
  fifo="$dir/bin/Logs/LogsAPI_$(date +%Y-%m-%d).log"
  mkfifo "$fifo"
  python3 - "$fifo" "$dir/bin/Logs/slow.log" "$SLOW_LOG_KBPS" \
    "$dir/reader.ready" <<'READER' &
import os
import signal
import sys
import time

fifo, out, kbps, ready = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
# Held open for reading and writing: the writer's closes are no end of
# file, and nothing written is lost for want of a reader.
fd = os.open(fifo, os.O_RDWR)
os.set_blocking(fd, False)
open(ready, "w").close()
stopping = False


def stop(*_):
    global stopping
    stopping = True


signal.signal(signal.SIGTERM, stop)
with open(out, "ab") as sink:
    # A tenth of the rate every tenth of a second; one read returns no more
    # than the pipe holds (64 KiB), so a tick may take several.
    tick = max(1, kbps * 1024 // 10)
    while not stopping:
        budget = tick
        while budget > 0:
            try:
                data = os.read(fd, min(budget, 1 << 16))
            except BlockingIOError:
                break
            sink.write(data)
            budget -= len(data)
        time.sleep(0.1)
    # What the pipe still holds once the service has gone.
    while True:
        try:
            data = os.read(fd, 1 << 16)
        except BlockingIOError:
            break
        if not data:
            break
        sink.write(data)
READER
  reader=$!
  for _ in $(seq 1 100); do
    [ -e "$dir/reader.ready" ] && break
    sleep 0.1
  done
fi

NORVESSA_ROOT="$dir/root" "$dir/bin/apinorvessa" --headless \
  2> "$dir/service.log" &
server=$!
trap 'kill -KILL "$server" $reader 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/estados" && break
  sleep 0.1
done
kb() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$server/status"; }
echo "program: $program"
echo "rss at rest: $(( $(kb VmRSS) / 1024 )) MiB"

# The flood and the sampling, in one python3 program: worker processes
# send the requests, the parent reads VmRSS once a second until the
# workers are done, prints the answers counted, then goes on sampling
# through the stop until the service has gone.
python3 - "$server" "$port" "$flood_seconds" "$connections" "$stop_wait" \
  <<'PY'
import multiprocessing as mp
import os
import signal
import socket
import sys
import time

server, port, seconds, connections, stop_wait = (int(a) for a in sys.argv[1:])

# A malformed pair (C3 28), then the C1 bytes 80-9F: no comma, no control.
BAD = b"\xc3\x28" + bytes(range(0x80, 0xA0))


def filled(n):
    return (BAD * (n // len(BAD) + 1))[:n]


REQUEST = (b"GET /estados HTTP/1.1\r\n"
           b"Host: 127.0.0.1:%d\r\n" % port +
           b"X-Forwarded-For: " + filled(60_000) + b"\r\n" +
           b"User-Agent: " + filled(1000) + b"\r\n" +
           b"Referer: " + filled(1000) + b"\r\n" +
           b"Accept: " + filled(1000) + b"\r\n\r\n")
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)


def connect():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # The port is chosen at connect: many short connections from one
    # address do not run out of ports.
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind(("127.0.0.9", 0))
    s.settimeout(30)
    s.connect(("127.0.0.1", port))
    return s


def worker(deadline, results):
    counts = {}
    sock, buf = None, b""
    while time.monotonic() < deadline:
        try:
            if sock is None:
                sock, buf = connect(), b""
            sock.sendall(REQUEST)
            while b"\r\n\r\n" not in buf:
                chunk = sock.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                buf += chunk
            head, _, buf = buf.partition(b"\r\n\r\n")
            status = head.split(b" ", 2)[1].decode()
            length, close = 0, False
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                name = name.strip().lower()
                if name == b"content-length":
                    length = int(value)
                elif name == b"connection" and b"close" in value.lower():
                    close = True
            while len(buf) < length:
                chunk = sock.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                buf += chunk
            buf = buf[length:]
            counts[status] = counts.get(status, 0) + 1
            if close:
                sock.close()
                sock = None
        except (OSError, ConnectionError, ValueError, IndexError):
            counts["dropped connection"] = counts.get("dropped connection",
                                                      0) + 1
            if sock is not None:
                sock.close()
            sock = None
    results.put(counts)


def rss_kb():
    try:
        with open(f"/proc/{server}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


def gone():
    # The service is the shell's child: a zombie counts as gone.
    try:
        with open(f"/proc/{server}/stat") as f:
            return f.read().split(")")[-1].split()[0] == "Z"
    except FileNotFoundError:
        return True


results = mp.Queue()
deadline = time.monotonic() + seconds
workers = [mp.Process(target=worker, args=(deadline, results))
           for _ in range(connections)]
for w in workers:
    w.start()
peak, samples = 0, []
while any(w.is_alive() for w in workers):
    rss = rss_kb()
    if rss is not None:
        peak = max(peak, rss)
        samples.append(rss)
    time.sleep(1)
totals = {}
for _ in workers:
    for status, n in results.get().items():
        totals[status] = totals.get(status, 0) + n
for w in workers:
    w.join()
print(f"flood: {seconds} s from {connections} connections at 127.0.0.9, "
      f"{len(REQUEST)} bytes a request; answers: " +
      ", ".join(f"{k} x{v}" for k, v in sorted(totals.items())))
print("rss each second (MiB): " + " ".join(str(s // 1024) for s in samples))
print(f"peak rss through the flood: {peak // 1024} MiB")

start = time.monotonic()
os.kill(server, signal.SIGTERM)
stop_peak = 0
while not gone() and time.monotonic() - start < stop_wait:
    rss = rss_kb()
    if rss is not None:
        stop_peak = max(stop_peak, rss)
    time.sleep(0.1)
took = time.monotonic() - start
if gone():
    print(f"stop: exited {took:.1f} s after SIGTERM "
          f"(peak rss meanwhile {stop_peak // 1024} MiB)")
else:
    print(f"stop: still running {stop_wait} s after SIGTERM "
          f"(peak rss meanwhile {stop_peak // 1024} MiB); killed")
    os.kill(server, signal.SIGKILL)
PY
wait "$server" 2>/dev/null || true
if [ -n "$reader" ]; then
  kill -TERM "$reader"
  wait "$reader" || true
fi
trap - EXIT

for log in "$dir"/bin/Logs/*.log; do
  [ -p "$log" ] && continue
  [ -e "$log" ] || { echo "no log file"; break; }
  echo "log file: $(basename "$log"), $(wc -l < "$log") lines," \
    "$(( $(stat -c %s "$log") / 1024 / 1024 )) MiB"
  grep -a ' LOG DROPPED ' "$log" | cut -c1-120 || echo "no LOG DROPPED line"
done
grep -a 'request log' "$dir/service.log" || true
