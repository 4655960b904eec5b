-- wrk script of tools/bench.sh: sends the requests of a file in turn and
-- checks every answer. Arguments, after "--":
--   REQUESTS  one request a line: "METHOD BODY" (BODY may be left out)
--   EXPECTED  "-": every answer must be a 200 with a JSON body; else a file
--             of answer bodies, one a line: one line checks every answer,
--             more lines check the answers in turn (one connection only)
--   LIMIT     answers a thread takes before it stops (0: no limit)
--   PROGRESS  optional: each thread writes its count of answers to
--             PROGRESS.<thread> every 500 answers
-- done() prints one line: answers=N bad=N mean_us=X rps=X errors=N p50_us=X
local threads = {}

function setup(thread)
  table.insert(threads, thread)
  thread:set("id", #threads)
end

function init(args)
  requests, expected, answers, bad, sent = {}, {}, 0, 0, 0
  limit = tonumber(args[3] or "0")
  if args[4] and args[4] ~= "" then progress = args[4] .. "." .. id end
  local headers = { ["Content-Type"] = "application/json" }
  for line in io.lines(args[1]) do
    local method, body = line:match("^(%u+) ?(.*)$")
    table.insert(requests, wrk.format(method, nil, headers, body ~= "" and body or nil))
  end
  if args[2] and args[2] ~= "-" then
    for line in io.lines(args[2]) do table.insert(expected, line .. "\r\n") end
  end
end

function request()
  sent = sent + 1
  return requests[(sent - 1) % #requests + 1]
end

function response(status, headers, body)
  answers = answers + 1
  local want = expected[(answers - 1) % math.max(#expected, 1) + 1]
  if status ~= 200 or (want and body ~= want) or (not want and not body:match("^[%[{]")) then
    bad = bad + 1
  end
  if progress and answers % 500 == 0 then
    local file = io.open(progress, "w")
    file:write(answers, "\n")
    file:close()
  end
  if limit > 0 and answers >= limit then wrk.thread:stop() end
end

function done(summary, latency)
  local n, b = 0, 0
  for _, thread in ipairs(threads) do
    n = n + thread:get("answers")
    b = b + thread:get("bad")
  end
  local e = summary.errors
  io.write(string.format("answers=%d bad=%d mean_us=%.1f rps=%.1f errors=%d p50_us=%d\n", n, b,
    latency.mean, summary.requests / summary.duration * 1e6,
    e.connect + e.read + e.write + e.timeout, latency:percentile(50)))
end
