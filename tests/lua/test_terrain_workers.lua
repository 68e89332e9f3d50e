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

-- The thread checks need this process's threads listed.
local listed = t.threads() ~= nil
if not listed then print("this process's threads cannot be listed here: the thread counts are not checked") end

t.case("no workers and no terrain members before the first start", function()
  if not listed then return end
  t.eq(t.count_threads("qm-sampler"), 0)
  t.eq(t.count_threads("qm-builder"), 0)
end)

t.case("the workers start once per process", function()
  for _ = 1, 3 do
    t.eq(m.start(free_port()), true)
    t.eq(m.stop(), true)
    if not listed then return end
    -- Every thread these started has run and named itself: a second worker would be counted too.
    t.threads_settled()
    t.eq(t.count_threads("qm-sampler"), 1)
    t.eq(t.count_threads("qm-builder"), 1)
  end
end)

t.case("the status shows the terrain store and work", function()
  -- The status only tries its locks: "busy" while a worker holds one.
  local text = t.wait_until(function() return m.status() end, "the status stayed busy")
  t.truthy(text:find('"store":{"theatre":null,"pieces":0', 1, true))
  t.truthy(text:find('"error":null}', 1, true))
end)

t.finish()
