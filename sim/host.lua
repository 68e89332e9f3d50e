-- The simulated host: loads the built module and drives it the way the simulator's hooks do, at 60
-- frames a second, playing a synthetic mission over a synthetic theatre (see world.lua).
--
--   lua5.1 sim/host.lua [--module BUILD_DIR] [--port N] [--budget MICROS] [--map tm|other]
--                       [--server NAME] [--seconds S]
--
-- Prints one line once the module serves. --seconds 0 (the default) runs until interrupted.
local here = (arg and arg[0] or ""):match("^(.*)[/\\][^/\\]*$") or "."
package.path = here .. "/?.lua;" .. package.path

local socket = require("socket")
local world_lib = require("world")
local terrain_loop = require("terrain_loop")

local options = {
  module = "build/default", port = 8931, budget = 300, map = "tm",
  server = world_lib.OWN_SERVER, seconds = 0,
}
local numeric = { port = true, budget = true, seconds = true }
do
  local i = 1
  while arg and i <= #arg do
    local key = arg[i]:match("^%-%-(.+)$")
    if not key or options[key] == nil or arg[i + 1] == nil then
      io.stderr:write("usage: lua5.1 sim/host.lua [--module DIR] [--port N] [--budget MICROS]"
        .. " [--map tm|other] [--server NAME] [--seconds S]\n")
      os.exit(2)
    end
    local value = arg[i + 1]
    if numeric[key] then
      value = tonumber(value)
      if not value then io.stderr:write("--" .. key .. " needs a number\n") os.exit(2) end
    end
    options[key] = value
    i = i + 2
  end
end
if options.map ~= "tm" and options.map ~= "other" then
  io.stderr:write("--map must be tm or other\n")
  os.exit(2)
end

package.cpath = options.module .. "/?.so;" .. options.module .. "/?.dll;" .. package.cpath
local m = require("quillmarsh_exporter")
local world = world_lib.new(options.map)

local function log(text)
  io.stdout:write("sim: ", text, "\n")
  io.stdout:flush()
end

-- Calls a module function; a fault (nil and "panic: ...") is logged once per function and message,
-- and the host keeps going with nil.
local panics_seen, panic_count = {}, 0
local function call(name, ...)
  local results = { m[name](...) }
  local first, second = results[1], results[2]
  if first == nil and type(second) == "string" and second:sub(1, 7) == "panic: " then
    panic_count = panic_count + 1
    local key = name .. "\0" .. second
    if not panics_seen[key] then
      panics_seen[key] = true
      log(name .. " answered " .. second)
    end
    return nil
  end
  return unpack(results)
end

-- Starting the module.
local started = call("start", options.port, false, nil, options.budget)
if started == true then
  log(string.format("quillmarsh_exporter %s serving on http://127.0.0.1:%d/ (map %s, theatre %s)",
    m.version, options.port, options.map, world.theatre))
else
  log(string.format("quillmarsh_exporter %s not serving (start did not succeed); the host runs on",
    m.version))
end

-- The mission.
local FRAME = 1 / 60
local mission_time = 0.0
local present = {}          -- id -> unit record of the units the mission has now
local newcomer = {
  id = 1100, coalition = 2, levels = { 1, 1, 3, 9 }, type = "Fighter-B", name = "Late arrival",
  group = "Blue flight 11", human = false, cx = 5000, cz = 5000, radius = 12000, period = 150,
  phase = 0, agl = 2500,
}
local removed_id = 1012
local self_id = 1001
local scan_wanted = false

local function report_unit(u, t)
  local lat, lon, alt, heading, ground = world.position(u, t)
  call("unit", u.id, t, u.coalition, u.levels[1], u.levels[2], u.levels[3], u.levels[4],
    u.human or false, false, u.type, u.name, u.group, lat, lon, alt, heading, ground)
end

local function full_scan(t)
  call("scan_begin")
  for _, u in pairs(present) do report_unit(u, t) end
  call("scan_end")
end

local function start_mission()
  present = {}
  for _, u in ipairs(world.units) do present[u.id] = u end
  for _, u in ipairs(world.neutrals) do present[u.id] = u end
  call("mission_start", options.server, "Synthetic mission", world.theatre, 43200)
  call("projection_anchors", unpack(world.anchors()))
  call("set_self", self_id)
  full_scan(mission_time)
end

-- Mission events, on a one-minute cycle: a unit is removed at 15 s, a new one appears at 25 s, the
-- export hook asks for a rescan at 35 s, and at 55 s both come back to the cycle's start.
local function mission_events(t_prev, t)
  local function passed(s)
    local c = 60
    return math.floor((t_prev - s) / c) < math.floor((t - s) / c)
  end
  if passed(15) and present[removed_id] then
    present[removed_id] = nil
    call("gone", removed_id)
  end
  if passed(25) and not present[newcomer.id] then
    present[newcomer.id] = newcomer
    report_unit(newcomer, t)
  end
  if passed(35) then call("request_scan") end
  if passed(55) then
    present[newcomer.id] = nil
    call("gone", newcomer.id)
    for _, u in ipairs(world.units) do present[u.id] = u end
    full_scan(t)
  end
end

local function move_aircraft(t)
  for _, u in pairs(present) do
    if u.radius then
      local lat, lon, alt, heading, ground = world.position(u, t)
      call("move", u.id, t, lat, lon, alt, heading, ground)
    end
  end
end

local points_answered = 0
start_mission()
local wall_start = socket.gettime()
local frames = 0
while options.seconds <= 0 or socket.gettime() - wall_start < options.seconds do
  local t_prev = mission_time
  mission_time = mission_time + FRAME
  frames = frames + 1

  -- the mission hook's frame
  call("frame", mission_time)
  mission_events(t_prev, mission_time)
  if scan_wanted then
    full_scan(mission_time)
    call("scan_done")
    scan_wanted = false
  end
  move_aircraft(mission_time)
  points_answered = points_answered + terrain_loop.run(call, world)
  call("frame_end")

  -- the export hook's frame
  local _, _, _, wanted = call("export_frame")
  if wanted then scan_wanted = true end
  call("export_frame_end")

  local wait = wall_start + frames * FRAME - socket.gettime()
  if wait > 0 then socket.sleep(wait) end
end

local status = call("status")
call("mission_stop")
call("frame", mission_time)
call("frame_end")
log(string.format("done: %d frames, %d points answered, %d faulting calls", frames, points_answered,
  panic_count))
log("final status " .. (type(status) == "string" and status or "unavailable"))
call("stop")
