-- What a host script sees when it loads the module.
local t = require("testlib")
local m = require("quillmarsh_exporter")

local names = { "start", "stop", "status", "lan_changes", "lan_status", "frame", "frame_end", "mission_start",
  "projection_anchors", "mission_stop", "scan_begin", "unit", "scan_end", "move", "gone", "set_self",
  "terrain_take", "terrain_point", "terrain_answer", "api", "clock", "export_frame", "export_frame_end",
  "export_state", "request_scan", "scan_done" }

t.case("the table holds the 26 functions and the version, nothing else", function()
  local count = 0
  for _ in pairs(m) do count = count + 1 end
  t.eq(count, 27, "field count")
  for _, name in ipairs(names) do t.eq(type(m[name]), "function", name) end
  t.eq(m.version, "1.1.0", "version")
end)

t.case("api is 1", function() t.eq(m.api(), 1, "api") end)

t.case("clock never decreases", function()
  local last = m.clock()
  t.truthy(last >= 0, "clock is not negative")
  for _ = 1, 10000 do
    local now = m.clock()
    t.truthy(now >= last, "clock does not decrease")
    last = now
  end
end)

t.finish()
