-- The camera's web server's rules for panetessel's paths, the part that
-- lighttpd's own directives cannot say (panetessel.conf beside it runs
-- this at three points of every request, with mod_magnet):
--   as the request arrives: its Host, a guesser slowed down, other sites;
--   once Digest has named the user: operators and admins only;
--   as the answer starts: a wrong password counted.
-- Settings come from panetessel.conf as request environment (mod_setenv):
-- PTS_HOSTS (the camera's names), PTS_GROUPS (the group database).
local r = lighty.r
local env = r.req_env

-- Wrong passwords per client address: {count, since, till}, kept from
-- request to request in this script's own state.
local tries = package.loaded["panetessel.tries"] or {entries = {}, size = 0}
package.loaded["panetessel.tries"] = tries
local LIMIT, WINDOW, SLOTS = 10, 60, 256

local function own_host(authority)
  local name, rest = authority:match("^(%[[^%]]*%])(.*)$")
  if not name then name, rest = authority:match("^([^:]*)(.*)$") end
  if rest ~= "" and not rest:match("^:%d+$") then return false end
  -- lighttpd has checked the literals (host-strict).
  if name:match("^%[") or name:match("^%d+%.%d+%.%d+%.%d+$") or name == "localhost" then
    return true
  end
  for own in (env["PTS_HOSTS"] or ""):gmatch("[^,%s]+") do
    if own:lower() == name then return true end
  end
  return false
end

-- A page of another site may send a POST that the browser asks no one
-- about (text/plain, no-cors), with the operator's credentials.
local function other_site(authority)
  local method = r.req_attr["request.method"]
  if method == "GET" or method == "HEAD" then return false end
  local site = r.req_header["Sec-Fetch-Site"]
  if site == "cross-site" or site == "same-site" then return true end
  local origin = r.req_header["Origin"]
  return origin ~= nil and origin:lower() ~= r.req_attr["uri.scheme"] .. "://" .. authority
end

local function slowed(address, now)
  local entry = tries.entries[address]
  if entry and entry.till and entry.till > now then return entry.till - now end
end

-- Room for a new address: the stale go first, then the oldest.
local function make_room(now)
  local oldest, oldest_since
  for address, entry in pairs(tries.entries) do
    if now - entry.since >= WINDOW and not slowed(address, now) then
      tries.entries[address] = nil
      tries.size = tries.size - 1
    elseif not oldest_since or entry.since < oldest_since then
      oldest, oldest_since = address, entry.since
    end
  end
  if tries.size >= SLOTS then
    tries.entries[oldest] = nil
    tries.size = tries.size - 1
  end
end

local function count_failure(address, now)
  local entry = tries.entries[address]
  if not entry then
    if tries.size >= SLOTS then make_room(now) end
    tries.size = tries.size + 1
  end
  if not entry or now - entry.since >= WINDOW then
    entry = {count = 0, since = now}
    tries.entries[address] = entry
  end
  entry.count = entry.count + 1
  if entry.count >= LIMIT then entry.till = now + WINDOW end
end

-- Whether user is a listed member of operator or admin. The group database
-- is read again only when it changes: lighttpd's stat cache looks at it at
-- most once a second, and a file changed within the second it was read is
-- read again at the next request, lest a second change hide in that second.
local groups = package.loaded["panetessel.groups"] or {}
package.loaded["panetessel.groups"] = groups

local function read_operators(path)
  local operators, file = {}, io.open(path)
  if not file then return operators end
  for line in file:lines() do
    local name, members = line:match("^([^:]*):[^:]*:[^:]*:(.*)$")
    if name == "operator" or name == "admin" then
      for who in members:gmatch("[^,]+") do operators[who] = true end
    end
  end
  file:close()
  return operators
end

local function operator(user, now)
  local path = env["PTS_GROUPS"] or "/etc/group"
  local st = lighty.c.stat(path)
  if not st then return false end
  local stamp = table.concat({path, st.st_ino, st.st_size, st.st_mtime}, ":")
  if groups.stamp ~= stamp or groups.recent then
    groups.operators, groups.stamp = read_operators(path), stamp
    groups.recent = st.st_mtime >= now - 1
  end
  return groups.operators[user] == true
end

-- A 401 after an answer to a challenge is a wrong password or an unknown
-- user; a 401 to no credentials, or with stale=true, tried nothing.
local function failed_sign_in()
  local answer = r.resp_header["WWW-Authenticate"] or ""
  local asked = r.req_header["Authorization"] or ""
  return asked:lower():match("^%s*digest%s") ~= nil and not answer:lower():match("stale=true")
end

local path = r.req_attr["uri.path"] or ""
if not path:match("^/panetessel/") then return 0 end
local address = r.req_attr["request.remote-addr"]
local now = lighty.c.time()
local status = r.req_item.http_status

if status ~= 0 then -- the answer starts
  if status == 401 and failed_sign_in() then count_failure(address, now) end
  -- Said here: lighttpd makes an error's answer afresh.
  if status == 429 then r.resp_header["Retry-After"] = tostring(slowed(address, now) or 1) end
  return 0
end

local user = env["REMOTE_USER"]
if user then -- Digest has let the user in
  if operator(user, now) then return 0 end
  return 403
end
if r.req_attr["physical.path"] then return 0 end -- no password asked here

local authority = (r.req_attr["uri.authority"] or ""):lower()
if authority == "" then return 400 end
if not own_host(authority) then return 421 end
if slowed(address, now) then return 429 end
if path == "/panetessel/api" and other_site(authority) then return 403 end
return 0
