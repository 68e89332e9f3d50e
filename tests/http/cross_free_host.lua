-- The simulated host (sim/host.lua) with its module wrapped so that the host's thread also goes
-- through the module's other paths while pages mesh: `status` every 3 export frames, `lan_status`
-- every 7, and the mission stopped and started again (with its anchors and own unit) after 900.
--
--   lua5.1 tests/http/cross_free_host.lua SIM_HOST_ARGS...
local here = (arg and arg[0] or ""):match("^(.*)[/\\][^/\\]*$") or "."
local sim = here .. "/../../sim"
package.path = sim .. "/?.lua;" .. package.path
for i = 1, #arg do
  if arg[i] == "--module" then package.cpath = arg[i + 1] .. "/?.so;" .. package.cpath end
end

local real = require("quillmarsh_exporter")
local wrapped = setmetatable({}, { __index = real })
local frames, remembered = 0, {}

local function remember(name)
  wrapped[name] = function(...)
    remembered[name] = { n = select("#", ...), ... }
    return real[name](...)
  end
end
for _, name in ipairs({ "mission_start", "projection_anchors", "set_self" }) do remember(name) end

local function again(name)
  local args = remembered[name]
  if args then real[name](unpack(args, 1, args.n)) end
end

function wrapped.export_frame_end(...)
  frames = frames + 1
  if frames % 3 == 0 then real.status() end
  if frames % 7 == 0 then real.lan_status() end
  if frames == 900 then
    real.mission_stop()
    again("mission_start")
    again("projection_anchors")
    again("set_self")
  end
  return real.export_frame_end(...)
end
package.loaded["quillmarsh_exporter"] = wrapped

arg[0] = sim .. "/host.lua"
dofile(arg[0])
