-- wrk script of tools/load.sh: mixed API requests over keep-alive, every
-- answer checked, each thread stopping after its share of the requests.
--
--   wrk -t T -c C -s tools/load.lua URL -- REQUESTS_PER_THREAD PREFIX MARK_EVERY
--
-- wrk itself runs for its whole duration: a thread that has its answers
-- writes PREFIXdone-<thread number>, and the caller then stops wrk with
-- SIGINT. Every MARK_EVERY answers a thread writes PREFIXmark-<answers>-<thread
-- number>, so the caller can take readings along the way.
--
-- A request carries its number as "context", so its answer is checked
-- against what was asked and may come exactly once; requests whose answer
-- echoes no context (a GET, invalid JSON) are counted per kind instead.

local threads = {}

function setup(thread)
  thread:set("id", #threads)
  table.insert(threads, thread)
end

local function envelope(context, method, member)
  return '{"apiVersion": "1.0", "context": "' .. context .. '", "method": "' .. method .. '", ' .. member .. '}'
end

local versions_data = '"data": {"apiVersions": ["1.0"]}'

-- Each kind: how to ask (given a context) and the answer it must get.
local kinds = {
  versions = {
    body = function(c) return '{"method": "getSupportedVersions", "context": "' .. c .. '"}' end,
    check = function(c, body) return body == envelope(c, "getSupportedVersions", versions_data) end,
  },
  info = {
    body = function(c) return '{"method": "getViewModeInfo", "apiVersion": "1.0", "context": "' .. c .. '"}' end,
    check = function(c, body)
      for _, mode in ipairs({"single", "quad"}) do
        local data = '"data": {"current": "' .. mode .. '", "viewModes": ["single", "quad"]}'
        if body == envelope(c, "getViewModeInfo", data) then return true end
      end
      return false
    end,
  },
  quad = {
    body = function(c)
      return '{"method": "setViewMode", "apiVersion": "1.0", "context": "' .. c .. '", "params": {"value": "quad"}}'
    end,
    check = function(c, body) return body == envelope(c, "setViewMode", '"data": {}') end,
  },
  single = {
    body = function(c)
      return '{"method": "setViewMode", "apiVersion": "1.0", "context": "' .. c .. '", "params": {"value": "single"}}'
    end,
    check = function(c, body) return body == envelope(c, "setViewMode", '"data": {}') end,
  },
  batch = {
    body = function(c)
      return '[{"method": "getSupportedVersions", "context": "' .. c .. '"}, ' ..
             '{"method": "nope", "apiVersion": "1.0", "context": "' .. c .. '"}]'
    end,
    check = function(c, body)
      return body == "[" .. envelope(c, "getSupportedVersions", versions_data) .. ", " ..
             envelope(c, "nope", '"error": {"code": 2004, "message": "Method not supported."}') .. "]"
    end,
  },
  version = {
    body = function(c) return '{"method": "getViewModeInfo", "apiVersion": "2.0", "context": "' .. c .. '"}' end,
    check = function(c, body)
      return body == envelope(c, "getViewModeInfo",
        '"error": {"code": 2003, "message": "The requested API version is not supported."}')
    end,
  },
}

-- Answers without a context.
local fixed = {
  get = '{"apiVersion": "1.0", "method": "unknown", "error": {"code": 2002, ' ..
        '"message": "HTTP request type not supported. Only POST supported."}}',
  broken = '{"apiVersion": "1.0", "method": "unknown", "error": {"code": 4000, ' ..
           '"message": "The provided JSON input was invalid."}}',
}

-- One round of the mix: an eighth of the requests switch.
local round = {"versions", "info", "quad", "versions", "info", "batch", "get", "info",
               "versions", "single", "info", "version", "versions", "batch", "broken", "info"}

local quota, prefix, mark_every = 0, "", 0
local sent, answered, wrong = 0, 0, 0
local pending, pending_fixed, first_wrong = {}, {get = 0, broken = 0}, nil

function init(args)
  quota = tonumber(args[1])
  prefix = args[2]
  mark_every = tonumber(args[3])
  -- Threads start at different places in the round.
  sent = wrk.thread:get("id") * 7
end

function request()
  sent = sent + 1
  local kind = round[sent % #round + 1]
  if kind == "get" then
    pending_fixed.get = pending_fixed.get + 1
    return wrk.format("GET", wrk.path)
  elseif kind == "broken" then
    pending_fixed.broken = pending_fixed.broken + 1
    return wrk.format("POST", wrk.path, nil, '{"method": "getViewModeInfo", "apiVersion": ')
  end
  local context = tostring(sent)
  pending[context] = kind
  return wrk.format("POST", wrk.path, {["Content-Type"] = "application/json"}, kinds[kind].body(context))
end

local function is_right(status, body)
  if status ~= 200 or body:sub(-2) ~= "\r\n" then return false end
  body = body:sub(1, -3)
  for name, text in pairs(fixed) do
    if body == text then
      if pending_fixed[name] == 0 then return false end
      pending_fixed[name] = pending_fixed[name] - 1
      return true
    end
  end
  local context = body:match('"context": "(%d+)"')
  local kind = context and pending[context]
  if not kind then return false end  -- never asked, or answered twice
  pending[context] = nil
  return kinds[kind].check(context, body)
end

local function touch(name)
  local file = io.open(prefix .. name .. wrk.thread:get("id"), "w")
  if file then file:close() end
end

function response(status, headers, body)
  answered = answered + 1
  if not is_right(status, body) then
    wrong = wrong + 1
    first_wrong = first_wrong or (status .. " " .. body)
    wrk.thread:set("first_wrong", first_wrong)
  end
  wrk.thread:set("answered", answered)
  wrk.thread:set("wrong", wrong)
  if answered % mark_every == 0 then touch("mark-" .. answered .. "-") end
  if answered == quota then
    touch("done-")
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local total_answered, total_wrong, first = 0, 0, nil
  for _, thread in ipairs(threads) do
    total_answered = total_answered + (thread:get("answered") or 0)
    total_wrong = total_wrong + (thread:get("wrong") or 0)
    first = first or thread:get("first_wrong")
  end
  local errors = summary.errors
  io.write(string.format(
    "LOAD answered=%d wrong=%d seconds=%.3f p50_us=%d p99_us=%d max_us=%d " ..
    "connect_errors=%d read_errors=%d write_errors=%d timeouts=%d\n",
    total_answered, total_wrong, summary.duration / 1e6, latency:percentile(50),
    latency:percentile(99), latency.max, errors.connect, errors.read, errors.write, errors.timeout))
  if first then io.write("LOAD first wrong answer: " .. first .. "\n") end
end
