-- One request repeated, from the environment: BENCH_METHOD (GET), BENCH_BODY
-- (a JSON body, sent with its Content-Type), BENCH_CLOSE=1 (Connection:
-- close on every request, as against an instance directly). At the end one
-- line: requests per second, p50, p99, non-2xx answers, socket errors.
wrk.method = os.getenv("BENCH_METHOD") or "GET"
local body = os.getenv("BENCH_BODY")
if body and body ~= "" then
  wrk.body = body
  wrk.headers["Content-Type"] = "application/json"
end
if os.getenv("BENCH_CLOSE") == "1" then
  wrk.headers["Connection"] = "close"
end

done = function(summary, latency, requests)
  local ms = function(p) return latency:percentile(p) / 1000 end
  local e = summary.errors
  io.write(string.format("%.0f %.2f %.2f %d %d\n",
    summary.requests / (summary.duration / 1e6), ms(50), ms(99), e.status,
    e.connect + e.read + e.write + e.timeout))
end
