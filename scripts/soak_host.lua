-- The soak and stall benchmarks' host: sim/host.lua unchanged, with the module it loads wrapped so
-- that the export hook also calls `status` every few frames, the way a host script polling the
-- exporter would, and counts the answers that are "busy" (status could not take a lock right away).
--
-- With --frame-sleeps the host's thread also measures itself around each hook's frame: before
-- `frame` and after `frame_end` (the mission hook), and before `export_frame` and after
-- `export_frame_end` (the export hook, with its `status` call), it reads the thread's voluntary
-- context switches (/proc/thread-self/status) and its CPU and run-queue times
-- (/proc/thread-self/schedstat). A frame with a voluntary switch slept inside the module's calls
-- (nothing else the host does inside a frame can sleep); its blocked time is the frame's wall time
-- less the time on a CPU and the time waiting for one.
--
--   lua5.1 scripts/soak_host.lua [--status-every FRAMES] [--frame-sleeps] SIM_HOST_ARGS...
--
-- Prints "soak-host: calls=N busy=N slowest=MS" every 5 s and once when the host's loop ends. With
-- --frame-sleeps also "frame-sleeps: slept hook=H at=T blocked=MS switches=N" for every frame that
-- slept, and "frame-sleeps: frames=N slept=N blocked=MS worst=MS over1ms=N runwait_worst=MS
-- own_worst=MS" with the 5 s line (totals since the start; own_worst is the longest frame less its
-- wait for a CPU: its time on one, and any time its virtual processor was stopped), and "frame-sleeps: slow hook=H from=T at=T wall=MS cpu=MS runwait=MS" for every
-- frame longer than 2 ms: its start and end (wall clock, seconds), its time on a CPU (the kernel's
-- count, which moves at its ticks and switches) and its time waiting for one.
local here = (arg and arg[0] or ""):match("^(.*)[/\\][^/\\]*$") or "."
local sim = here .. "/../sim"
package.path = sim .. "/?.lua;" .. package.path
local socket = require("socket")

local every, measure, host_args = 15, false, {}
do
  local i = 1
  while i <= #arg do
    if arg[i] == "--status-every" then
      every = tonumber(arg[i + 1]) or every
      i = i + 2
    elseif arg[i] == "--frame-sleeps" then
      measure = true
      i = i + 1
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
  return { voluntary, tonumber(cpu), tonumber(runwait), socket.gettime() }
end

local slow_frame = 0.002
local sleeps = { frames = 0, slept = 0, blocked = 0, worst = 0, over1ms = 0, runwait_worst = 0, own_worst = 0 }

local function report_sleeps()
  io.stdout:write(string.format(
    "frame-sleeps: frames=%d slept=%d blocked=%.3f worst=%.3f over1ms=%d runwait_worst=%.3f own_worst=%.3f\n",
    sleeps.frames, sleeps.slept, sleeps.blocked * 1000, sleeps.worst * 1000, sleeps.over1ms,
    sleeps.runwait_worst * 1000, sleeps.own_worst * 1000))
end

-- One hook's frame, from the reading before it to now.
local function measured(hook, before)
  local after = reading()
  local switches = after[1] - before[1]
  local wall = after[4] - before[4]
  local waited = (after[3] - before[3]) / 1e9
  local blocked = math.max(0, wall - (after[2] - before[2]) / 1e9 - waited)
  sleeps.frames = sleeps.frames + 1
  sleeps.runwait_worst = math.max(sleeps.runwait_worst, waited)
  sleeps.own_worst = math.max(sleeps.own_worst, wall - waited)
  if wall > slow_frame then
    io.stdout:write(string.format("frame-sleeps: slow hook=%s from=%.6f at=%.6f wall=%.3f cpu=%.3f runwait=%.3f\n",
      hook, before[4], after[4], wall * 1000, (after[2] - before[2]) / 1e6, waited * 1000))
  end
  if switches > 0 then
    sleeps.slept = sleeps.slept + 1
    sleeps.blocked = sleeps.blocked + blocked
    sleeps.worst = math.max(sleeps.worst, blocked)
    if blocked > 0.001 then sleeps.over1ms = sleeps.over1ms + 1 end
    io.stdout:write(string.format("frame-sleeps: slept hook=%s at=%.3f blocked=%.3f switches=%d\n", hook,
      after[4], blocked * 1000, switches))
  end
end

local real = require("quillmarsh_exporter")
local calls, busy, other, slowest, frames = 0, 0, 0, 0, 0
local last_report = socket.gettime()

local function report()
  io.stdout:write(string.format("soak-host: calls=%d busy=%d other=%d slowest=%.3fms\n",
    calls, busy, other, slowest * 1000))
  if measure then report_sleeps() end
  io.stdout:flush()
end

local wrapped = setmetatable({}, { __index = real })
local mission_before, export_before

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
  local results = { real.export_frame_end(...) }
  if export_before then measured("export", export_before) end
  export_before = nil
  return unpack(results)
end

if measure then
  function wrapped.frame(...)
    mission_before = reading()
    return real.frame(...)
  end

  function wrapped.frame_end(...)
    local results = { real.frame_end(...) }
    if mission_before then measured("mission", mission_before) end
    mission_before = nil
    return unpack(results)
  end

  function wrapped.export_frame(...)
    export_before = reading()
    return real.export_frame(...)
  end
end

package.loaded["quillmarsh_exporter"] = wrapped

arg = host_args
arg[0] = sim .. "/host.lua"
dofile(arg[0])
report()
