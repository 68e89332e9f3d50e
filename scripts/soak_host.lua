-- The soak benchmark's host: sim/host.lua unchanged, with the module it loads wrapped so that the
-- export hook also calls `status` every few frames, the way a host script polling the exporter
-- would, and counts the answers that are "busy" (status could not take a lock right away).
--
--   lua5.1 scripts/soak_host.lua [--status-every FRAMES] SIM_HOST_ARGS...
--
-- Prints "soak-host: calls=N busy=N slowest=MS" every 5 s and once when the host's loop ends.
local here = (arg and arg[0] or ""):match("^(.*)[/\\][^/\\]*$") or "."
local sim = here .. "/../sim"
package.path = sim .. "/?.lua;" .. package.path
local socket = require("socket")

local every, host_args = 15, {}
do
  local i = 1
  while i <= #arg do
    if arg[i] == "--status-every" then
      every = tonumber(arg[i + 1]) or every
      i = i + 2
    else
      host_args[#host_args + 1] = arg[i]
      if arg[i] == "--module" then package.cpath = arg[i + 1] .. "/?.so;" .. package.cpath end
      i = i + 1
    end
  end
end

local real = require("quillmarsh_exporter")
local calls, busy, other, slowest, frames = 0, 0, 0, 0, 0
local last_report = socket.gettime()

local function report()
  io.stdout:write(string.format("soak-host: calls=%d busy=%d other=%d slowest=%.3fms\n",
    calls, busy, other, slowest * 1000))
  io.stdout:flush()
end

local wrapped = setmetatable({}, { __index = real })
function wrapped.export_frame_end(...)
  frames = frames + 1
  if frames % every == 0 then
    local started = socket.gettime()
    local doc, why = real.status()
    local took = socket.gettime() - started
    if took > slowest then slowest = took end
    calls = calls + 1
    if doc == nil and why == "busy" then
      busy = busy + 1
    elseif type(doc) ~= "string" then
      other = other + 1
    end
    if started - last_report >= 5 then
      last_report = started
      report()
    end
  end
  return real.export_frame_end(...)
end
package.loaded["quillmarsh_exporter"] = wrapped

arg = host_args
arg[0] = sim .. "/host.lua"
dofile(arg[0])
report()
