-- The stall benchmark's host: sim/host.lua unchanged, with the module it loads wrapped so that the
-- host's thread measures itself around each hook's frame. Before `frame` and after `frame_end` (the
-- mission hook), and before `export_frame` and after `export_frame_end` (the export hook, which also
-- calls `status` every few frames, as a host script polling the exporter would), it reads the
-- thread's voluntary context switches (/proc/thread-self/status) and its CPU and run-queue times
-- (/proc/thread-self/schedstat). A frame with a voluntary switch slept inside the module's calls
-- (nothing else the host does inside a frame can sleep); its blocked time is the frame's wall time
-- less the time on a CPU and the time waiting for one.
--
--   lua5.1 scripts/stall_host.lua [--status-every FRAMES] SIM_HOST_ARGS...
--
-- Prints "stall-host: slept hook=H at=T blocked=MS switches=N" for every frame that slept, and
-- "stall-host: frames=N slept=N blocked=MS worst=MS over1ms=N runwait_worst=MS own_worst=MS" every
-- 5 s and once when the host's loop ends (totals since the start; own_worst is the longest frame less
-- its wait for a CPU).
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

-- Each reading opens the files anew: a stream kept open would serve a seek back to the start from
-- its buffer instead of asking the kernel again.
local function read_file(path)
  local f = assert(io.open(path, "r"))
  local text = f:read("*a")
  f:close()
  return text
end

local function reading()
  local voluntary = tonumber(read_file("/proc/thread-self/status"):match("\nvoluntary_ctxt_switches:%s*(%d+)"))
  local cpu, runwait = read_file("/proc/thread-self/schedstat"):match("^(%d+)%s+(%d+)")
  return voluntary, tonumber(cpu), tonumber(runwait), socket.gettime()
end

local totals = { frames = 0, slept = 0, blocked = 0, worst = 0, over1ms = 0, runwait_worst = 0, own_worst = 0 }
local last_report = socket.gettime()

local function report()
  io.stdout:write(string.format(
    "stall-host: frames=%d slept=%d blocked=%.3f worst=%.3f over1ms=%d runwait_worst=%.3f own_worst=%.3f\n",
    totals.frames, totals.slept, totals.blocked * 1000, totals.worst * 1000, totals.over1ms,
    totals.runwait_worst * 1000, totals.own_worst * 1000))
  io.stdout:flush()
end

-- One hook's frame, from its first reading to its last.
local function measured(hook, before)
  local voluntary, cpu, runwait, wall = reading()
  local switches = voluntary - before[1]
  local waited = (runwait - before[3]) / 1e9
  local blocked = (wall - before[4]) - (cpu - before[2]) / 1e9 - waited
  if blocked < 0 then blocked = 0 end
  totals.frames = totals.frames + 1
  if waited > totals.runwait_worst then totals.runwait_worst = waited end
  -- The frame's time less its wait for a CPU: what the host's thread spent working or sleeping.
  local own = (wall - before[4]) - waited
  if own > totals.own_worst then totals.own_worst = own end
  if switches > 0 then
    totals.slept = totals.slept + 1
    totals.blocked = totals.blocked + blocked
    if blocked > totals.worst then totals.worst = blocked end
    if blocked > 0.001 then totals.over1ms = totals.over1ms + 1 end
    io.stdout:write(string.format("stall-host: slept hook=%s at=%.3f blocked=%.3f switches=%d\n", hook, wall,
      blocked * 1000, switches))
  end
  if wall - last_report >= 5 then
    last_report = wall
    report()
  end
end

local real = require("quillmarsh_exporter")
local wrapped = setmetatable({}, { __index = real })
local mission_before, export_before
local exports = 0

function wrapped.frame(...)
  mission_before = { reading() }
  return real.frame(...)
end

function wrapped.frame_end(...)
  local results = { real.frame_end(...) }
  if mission_before then measured("mission", mission_before) end
  mission_before = nil
  return unpack(results)
end

function wrapped.export_frame(...)
  export_before = { reading() }
  return real.export_frame(...)
end

function wrapped.export_frame_end(...)
  exports = exports + 1
  if exports % every == 0 then real.status() end
  local results = { real.export_frame_end(...) }
  if export_before then measured("export", export_before) end
  export_before = nil
  return unpack(results)
end

package.loaded["quillmarsh_exporter"] = wrapped

arg = host_args
arg[0] = sim .. "/host.lua"
dofile(arg[0])
report()
