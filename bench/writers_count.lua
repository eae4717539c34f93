-- Counts answers by status for bench/writers.sh, summed over wrk's
-- threads: 200s, busy 500s (the "Maximum number of concurrent
-- connections" answer) and the rest. READ_PATHS (space-separated GET
-- paths, taken in turn) makes it a reader; without it each request posts
-- the order of bench/order_post.lua (run from the repository's top).
-- Keep-alive off. At the end one line:
-- "ok N busy N other N errors N".
wrk.headers["Connection"] = "close"
local paths = os.getenv("READ_PATHS")
if paths == nil or paths == "" then
  -- Its own done() is replaced below.
  dofile("bench/order_post.lua")
end

local threads = {}
function setup(thread) table.insert(threads, thread) end

function init(args)
  ok, busy, other = 0, 0, 0
  if paths ~= nil and paths ~= "" then
    requests_ = {}
    for p in string.gmatch(paths, "%S+") do
      table.insert(requests_, wrk.format("GET", p))
    end
    next_ = 0
  end
end

if paths ~= nil and paths ~= "" then
  function request()
    next_ = next_ % #requests_ + 1
    return requests_[next_]
  end
end

function response(status, headers, body)
  if status == 200 then
    ok = ok + 1
  elseif status == 500 and body:find("Maximum number", 1, true) then
    busy = busy + 1
  else
    other = other + 1
  end
end

function done(summary, latency, requests)
  local o, b, r = 0, 0, 0
  for _, t in ipairs(threads) do
    o = o + t:get("ok")
    b = b + t:get("busy")
    r = r + t:get("other")
  end
  local e = summary.errors
  io.write(string.format("ok %d busy %d other %d errors %d\n", o, b, r,
                         e.connect + e.read + e.write + e.timeout))
end
