-- The terrain workers as a host script sees them: the first start of the process starts one
-- sampler and one builder thread, later starts and stops start no more, and the status shows the
-- terrain store and work once they exist.
local t = require("testlib")
local socket = require("socket")
local m = require("quillmarsh_exporter")

local function free_port()
  local server = assert(socket.bind("127.0.0.1", 0))
  local _, port = server:getsockname()
  server:close()
  return tonumber(port)
end

-- The operating system's names of this process's threads.
local function thread_names()
  local stat = assert(io.open("/proc/self/stat")):read("*l")
  local pid = stat:match("^(%d+)")
  local names = {}
  local list = assert(io.popen("ls /proc/" .. pid .. "/task"))
  for tid in list:lines() do
    local file = io.open("/proc/" .. pid .. "/task/" .. tid .. "/comm")
    if file then
      names[#names + 1] = file:read("*l")
      file:close()
    end
  end
  list:close()
  return names
end

local function count_named(name)
  local n = 0
  for _, got in ipairs(thread_names()) do
    if got == name then n = n + 1 end
  end
  return n
end

-- Waits a little for threads that are still starting.
local function settle(name, want)
  local deadline = socket.gettime() + 10
  while count_named(name) ~= want and socket.gettime() < deadline do socket.sleep(0.01) end
  return count_named(name)
end

t.case("no workers and no terrain members before the first start", function()
  t.eq(count_named("qm-sampler"), 0)
  t.eq(count_named("qm-builder"), 0)
end)

t.case("the workers start once per process", function()
  for _ = 1, 3 do
    t.eq(m.start(free_port()), true)
    t.eq(settle("qm-sampler", 1), 1)
    t.eq(settle("qm-builder", 1), 1)
    t.eq(m.stop(), true)
  end
  socket.sleep(0.2)
  t.eq(count_named("qm-sampler"), 1)
  t.eq(count_named("qm-builder"), 1)
end)

t.case("the status shows the terrain store and work", function()
  local text
  for _ = 1, 100 do
    text = m.status()
    if text then break end
    socket.sleep(0.01)
  end
  t.truthy(text)
  t.truthy(text:find('"store":{"theatre":null,"pieces":0', 1, true))
  t.truthy(text:find('"error":null}', 1, true))
end)

t.finish()
