-- The paged product list (POST /produtos without a name), keep-alive off;
-- at the end one line: answers, goodput (200s a second), p50/p99 and the
-- rest (busy 500s, socket errors).
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Connection"] = "close"
wrk.body = '{"inicio":0,"quantidadereg":30}'

done = function(summary, latency, requests)
  local ms = function(p) return latency:percentile(p) / 1000 end
  local e = summary.errors
  local seconds = summary.duration / 1e6
  local good = summary.requests - e.status
  io.write(string.format(
    "answers %d  goodput %.1f/s  p50 %.0f ms  p99 %.0f ms  max %.0f ms  " ..
    "non-2xx %d  socket errors %d\n",
    summary.requests, good / seconds, ms(50), ms(99), latency.max / 1000,
    e.status, e.connect + e.read + e.write + e.timeout))
end
