-- wrk's script of the load run and the benchmarks: sends a round of
-- requests over keep-alive and checks every answer.
--
--   wrk ... -s tools/wrk.lua URL -- MIX [QUOTA [EVERY PREFIX]]
--
-- MIX (written by tests/system/answers.py): "> METHOD BODY" per request of
-- the round, each followed by "= ANSWER" lines, the answers it may get
-- ("= *": any JSON). A body's "<ctx>" becomes a number of the request's own,
-- and its answer, which echoes it, must come exactly once; answers without
-- one are counted per text. QUOTA: answers a thread takes before it stops
-- (0: until wrk's time is up). Every EVERY answers a thread writes its count
-- to PREFIX<thread>. done() prints one line: "WRK answered=N wrong=N ...".

local threads = {}

function setup(thread)
  thread:set("id", #threads)
  table.insert(threads, thread)
end

local round, quota, every, prefix = {}, 0, 0, nil
local sent, answered, wrong = 0, 0, 0
local pending, fixed, any = {}, {}, 0

function init(args)
  for line in io.lines(args[1]) do
    local method, body = line:match("^> (%u+) ?(.*)$")
    if method then
      table.insert(round, {method = method, body = body ~= "" and body or nil, answers = {}})
    else
      table.insert(round[#round].answers, line:match("^= (.*)$"))
    end
  end
  quota, every, prefix = tonumber(args[2] or "0"), tonumber(args[3] or "0"), args[4]
  -- Threads start at different places in the round.
  sent = wrk.thread:get("id") * 7
end

function request()
  sent = sent + 1
  local kind = round[sent % #round + 1]
  local body = kind.body
  if body and body:find("<ctx>", 1, true) then
    pending[tostring(sent)] = kind
    body = body:gsub("<ctx>", tostring(sent))
  elseif kind.answers[1] == "*" then
    any = any + 1
  else
    fixed[kind.answers[1]] = (fixed[kind.answers[1]] or 0) + 1
  end
  return wrk.format(kind.method, nil, {["Content-Type"] = "application/json"}, body)
end

local function is_right(status, body)
  if status ~= 200 or body:sub(-2) ~= "\r\n" then return false end
  body = body:sub(1, -3)
  local context = body:match('"context": "(%d+)"')
  local kind = context and pending[context]
  if kind then
    pending[context] = nil
    for _, answer in ipairs(kind.answers) do
      if answer == "*" or body == answer:gsub("<ctx>", context) then return true end
    end
    return false
  end
  if (fixed[body] or 0) > 0 then
    fixed[body] = fixed[body] - 1
    return true
  end
  if any > 0 and body:match("^[%[{]") then
    any = any - 1
    return true
  end
  return false  -- never asked, or answered twice
end

function response(status, headers, body)
  answered = answered + 1
  if not is_right(status, body) then
    wrong = wrong + 1
    if wrong == 1 then wrk.thread:set("first_wrong", status .. " " .. body) end
  end
  wrk.thread:set("answered", answered)
  wrk.thread:set("wrong", wrong)
  if every > 0 and answered % every == 0 then
    local file = io.open(prefix .. wrk.thread:get("id"), "w")
    file:write(answered, "\n")
    file:close()
  end
  if answered == quota then wrk.thread:stop() end
end

function done(summary, latency, requests)
  local total, bad, first = 0, 0, nil
  for _, thread in ipairs(threads) do
    total = total + (thread:get("answered") or 0)
    bad = bad + (thread:get("wrong") or 0)
    first = first or thread:get("first_wrong")
  end
  local e = summary.errors
  io.write(string.format(
    "WRK answered=%d wrong=%d seconds=%.3f rps=%.1f mean_us=%.1f p50_us=%d p99_us=%d max_us=%d " ..
    "connect_errors=%d read_errors=%d write_errors=%d timeouts=%d\n",
    total, bad, summary.duration / 1e6, summary.requests / summary.duration * 1e6, latency.mean,
    latency:percentile(50), latency:percentile(99), latency.max, e.connect, e.read, e.write, e.timeout))
  if first then io.write("WRK first wrong answer: " .. first .. "\n") end
end
