-- A small harness for the Lua-level tests: named cases, equality checks, one closing line.
local M = {}
local passed, failed = 0, 0

function M.case(name, fn)
  local ok, err = pcall(fn)
  if ok then
    passed = passed + 1
  else
    failed = failed + 1
    io.stderr:write("FAIL ", name, ": ", tostring(err), "\n")
  end
end

function M.eq(actual, expected, what)
  if actual ~= expected then
    error(string.format("%s: expected %q, got %q", what or "value", tostring(expected), tostring(actual)), 2)
  end
end

function M.truthy(value, what)
  if not value then error((what or "condition") .. " does not hold", 2) end
end

function M.pack(...) return { n = select("#", ...), ... } end

function M.finish()
  print(string.format("%d passed, %d failed", passed, failed))
  os.exit(failed == 0 and 0 or 1)
end

-- How long a test waits for something it expects: only a fault runs into it.
M.event_limit = 60

-- Calls `what` until it gives a true value, and returns that value; fails once `limit` seconds
-- (`event_limit` by default) have passed first. Needs lua-socket for its clock and sleep.
function M.wait_until(what, message, limit)
  local socket = require("socket")
  local deadline = socket.gettime() + (limit or M.event_limit)
  while true do
    local value = what()
    if value then return value end
    if socket.gettime() > deadline then
      local text = type(message) == "function" and message() or message
      error((text or "still not there") .. " after the time limit", 2)
    end
    socket.sleep(0.01)
  end
end

-- This process's threads (Linux): a list of { tid = ..., name = ... }, the main thread's first;
-- nil where they cannot be listed (the shell that lists them does not run with a ThreadSanitizer
-- runtime preloaded).
function M.threads()
  local pid = assert(io.open("/proc/self/stat")):read("*l"):match("^(%d+)")
  local function name_of(tid)
    local file = io.open("/proc/" .. pid .. "/task/" .. tid .. "/comm")
    if not file then return nil end
    local name = file:read("*l")
    file:close()
    return name
  end
  local threads, listed = { { tid = tonumber(pid), name = name_of(pid) } }, false
  local list = io.popen("ls /proc/" .. pid .. "/task 2>/dev/null")
  if not list then return nil end
  for tid in list:lines() do
    listed = true
    local name = tid ~= pid and name_of(tid)
    if name then threads[#threads + 1] = { tid = tonumber(tid), name = name } end
  end
  list:close()
  return listed and threads or nil
end

-- The names of this process's threads, the main thread's first; nil where they cannot be listed.
function M.thread_names()
  local threads = M.threads()
  if not threads then return nil end
  local names = {}
  for i, thread in ipairs(threads) do names[i] = thread.name end
  return names
end

-- How many of this process's threads have the name; nil where they cannot be listed.
function M.count_threads(name)
  local names = M.thread_names()
  if not names then return nil end
  local n = 0
  for _, got in ipairs(names) do
    if got == name then n = n + 1 end
  end
  return n
end

-- Whether a thread has not run yet: it still has the interpreter's name, which a new thread has
-- until it names itself. A sanitizer's runtime has a thread of that name too: it starts just before
-- the module's first thread, the sampler, so it is older than both workers.
local function some_not_run_yet(threads)
  local oldest_worker, workers = nil, 0
  for _, thread in ipairs(threads) do
    if thread.name == "qm-sampler" or thread.name == "qm-builder" then
      workers = workers + 1
      oldest_worker = math.min(oldest_worker or thread.tid, thread.tid)
    end
  end
  for i = 2, #threads do
    if threads[i].name == threads[1].name and (workers < 2 or threads[i].tid > oldest_worker) then return true end
  end
  return false
end

-- Waits until every thread started so far has run and named itself, and none has the name `gone`
-- (a short-lived thread still at work). False, at once, where the threads cannot be listed.
function M.threads_settled(gone)
  if not M.threads() then return false end
  M.wait_until(function()
    local threads = M.threads()
    for _, thread in ipairs(threads) do
      if thread.name == gone then return false end
    end
    return not some_not_run_yet(threads)
  end, function() return "threads still starting or at work: " .. table.concat(M.thread_names(), ", ") end)
  return true
end

return M
