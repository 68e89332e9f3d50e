-- The mission hook's calls as a host script sees them: argument rules and results.
local t = require("testlib")
local m = require("quillmarsh_exporter")

local OWN = "<< QuillMarsh Server  P-V-E>>"
local NAN = 0 / 0
local INF = 1 / 0

local function own_mission(theatre) return m.mission_start(OWN, "Training", theatre or "Caucasus", 1000) end

-- Counts the filed units (aircraft and neutrals) by running an empty scan, which removes them all.
local function count_units()
  m.scan_begin()
  return m.scan_end()
end

-- A valid aircraft report with some fields replaced.
local function unit_args(over)
  local a = { 101, 10.0, 2, 1, 1, 0, 0, true, false, "F-16C", "Viper 1-1", "Viper", 42.1, 41.7, 3000, 1.0, 2900 }
  for k, v in pairs(over or {}) do a[k] = v end
  return a
end

local function unit(over)
  local a = unit_args(over)
  return m.unit(a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15],
    a[16], a[17])
end

t.case("mission_start compares the trimmed server name", function()
  t.eq(m.mission_start(OWN, "m", "Caucasus"), true, "own name")
  t.eq(m.mission_start("  \t" .. OWN .. "\n", "m", "Caucasus"), true, "own name padded")
  t.eq(m.mission_start("<< QuillMarsh Server P-V-E>>", "m", "Caucasus"), false, "one blank only")
  t.eq(m.mission_start("<< quillmarsh server  p-v-e>>", "m", "Caucasus"), false, "case differs")
  t.eq(m.mission_start(5, "m", "Caucasus"), false, "number as name")
  t.eq(m.mission_start(), false, "no arguments")
  t.eq(m.mission_start(OWN .. string.rep(" ", 300), "m", "Caucasus"), true, "padding cut at 256 bytes")
end)

t.case("mission_start and mission_stop raise the mission generation", function()
  own_mission()
  local _, _, g1 = m.export_frame()
  m.export_frame_end()
  m.mission_stop()
  local _, _, g2 = m.export_frame()
  m.export_frame_end()
  m.mission_start("other", "m", "Caucasus")
  local _, _, g3 = m.export_frame()
  m.export_frame_end()
  t.eq(g2, g1 + 1, "stop raises it")
  t.eq(g3, g1 + 2, "start raises it")
end)

t.case("unit files nothing outside a mission on the own server", function()
  m.mission_stop()
  t.eq(unit(), false, "no mission")
  m.mission_start("Some other server", "m", "Caucasus")
  t.eq(unit(), false, "other server")
  t.eq(count_units(), 0, "nothing filed")
end)

t.case("unit checks every argument rule", function()
  own_mission()
  local refused = {
    { 1, 0 }, { 1, 1.5 }, { 1, 2 ^ 53 }, { 1, -3 }, { 1, "101" }, { 1, NAN }, { 1, INF }, { 1, false },
    { 2, NAN }, { 2, INF }, { 2, "10" }, { 2, false },
    { 3, 3 }, { 3, 1.5 }, { 3, -1 }, { 3, "1" }, { 3, false },
    { 4, false }, { 4, 1.5 }, { 4, -1 }, { 4, 1e9 }, { 4, "1" },
    { 13, NAN }, { 14, INF }, { 15, -INF }, { 13, "42" }, { 14, false }, { 15, false },
  }
  for _, r in ipairs(refused) do
    t.eq(unit({ [r[1]] = r[2] }), false, "argument " .. r[1] .. " = " .. tostring(r[2]))
  end
  t.eq(count_units(), 0, "nothing filed by refused calls")
  local accepted = {
    { 1, 2 ^ 53 - 1 }, { 1, 1 }, { 5, 2 }, { 6, 1.5 }, { 7, "x" }, { 7, 1e9 }, { 8, 1 }, { 10, 5 }, { 11, false },
    { 16, NAN }, { 16, "1" }, { 17, NAN }, { 17, false },
  }
  for i, r in ipairs(accepted) do
    t.eq(unit({ [1] = r[1] == 1 and r[2] or 1000 + i, [r[1] ~= 1 and r[1] or 100] = r[1] ~= 1 and r[2] or nil }),
      true, "argument " .. r[1] .. " = " .. tostring(r[2]))
  end
  t.eq(count_units(), #accepted, "every accepted unit filed")
end)

t.case("an aircraft whose levels turn invalid is removed and the call answers false", function()
  own_mission()
  t.eq(unit({ 7 }), true, "filed")
  t.eq(unit({ 7, [5] = 3 }), false, "level 2 = 3")
  t.eq(count_units(), 0, "removed")
end)

t.case("objects: red non-aircraft refused, neutral filed, refiled as aircraft", function()
  own_mission()
  t.eq(unit({ 20, [3] = 1, [4] = 2 }), false, "red object with level 1 = 2")
  t.eq(unit({ 21, [3] = 0, [4] = 2 }), true, "neutral object")
  t.eq(unit({ 21, [3] = 0, [4] = 1, [5] = 1 }), true, "refiled as aircraft")
  t.eq(m.move(21, 11, 42, 41, 100, 0, 5), true, "now an aircraft: it moves")
  t.eq(count_units(), 1, "one unit in all")
end)

t.case("move updates known aircraft only", function()
  own_mission()
  unit({ 30 })
  unit({ 31, [3] = 0, [4] = 3 })
  t.eq(m.move(30, 11, 42, 41, 100, 1.0, 90), true, "known aircraft")
  t.eq(m.move(30, 11, 42, 41, 100), true, "heading and ground optional")
  t.eq(m.move(31, 11, 42, 41, 100), false, "neutral object")
  t.eq(m.move(32, 11, 42, 41, 100), false, "unknown id")
  t.eq(m.move(30, NAN, 42, 41, 100), false, "t NaN")
  t.eq(m.move(30, 11, 42, INF, 100), false, "lon infinite")
  t.eq(m.move(30, 11, 42, 41), false, "alt missing")
  t.eq(m.move(30.5, 11, 42, 41, 100), false, "fractional id")
  m.mission_start("other", "m", "Caucasus")
  t.eq(m.move(30, 11, 42, 41, 100), false, "other server")
end)

t.case("scan_end removes what the scan did not see and counts it", function()
  own_mission()
  t.eq(m.scan_end(), 0, "no scan running")
  for id = 1, 5 do unit({ id, [3] = (id % 2 == 0) and 0 or 1, [4] = (id == 4) and 3 or 1 }) end
  m.scan_begin()
  unit({ 2, [3] = 0 })
  unit({ 4, [3] = 0, [4] = 3 })
  t.eq(m.scan_end(), 3, "three not seen")
  t.eq(m.scan_end(), 0, "scan already ended")
  t.eq(count_units(), 2, "two kept")
end)

t.case("gone removes an aircraft or a neutral; set_self rules", function()
  own_mission()
  unit({ 50 })
  unit({ 51, [3] = 0, [4] = 4 })
  m.gone(51)
  m.gone(51.5)
  m.gone("50")
  t.eq(count_units(), 1, "one left")
end)

t.case("every function runs without a mission", function()
  m.mission_stop()
  m.set_self(5)
  m.set_self("5")
  m.gone(5)
  m.scan_begin()
  t.eq(m.scan_end(), 0, "empty scan")
  m.projection_anchors(1, 2, 3)
  t.eq(m.move(5, 1, 2, 3, 4), false, "move")
  local results = t.pack(m.frame_end())
  t.eq(results.n, 0, "frame_end returns nothing")
end)

t.case("export_frame: request time, exporting flag, generation, scan wish", function()
  m.mission_start(OWN, "m", "Caucasus")
  local r = t.pack(m.export_frame())
  m.export_frame_end()
  t.eq(r.n, 4, "four results")
  t.eq(r[1], nil, "no request seen yet")
  t.eq(r[2], false, "frame never ran on this thread yet")
  t.eq(r[4], false, "no scan asked for")
  m.frame(12.5)
  m.frame_end()
  m.mission_start(OWN, "m", "Caucasus")
  r = t.pack(m.export_frame())
  m.export_frame_end()
  t.eq(r[2], true, "exporting on the mission thread in an own mission")
  t.eq(type(r[3]), "number", "generation")
  m.request_scan()
  t.eq(select(4, m.export_frame()), true, "scan wanted")
  t.eq(select(4, m.export_frame()), true, "still wanted")
  m.scan_done()
  t.eq(select(4, m.export_frame()), false, "scan done")
  m.export_frame_end()
  local _, exporting, generation = m.export_frame()
  m.export_frame_end()
  m.mission_start("elsewhere", "m", "Caucasus")
  local _, exporting2, generation2 = m.export_frame()
  m.export_frame_end()
  t.eq(exporting, true, "own server")
  t.eq(exporting2, false, "other server")
  t.eq(generation2, generation + 1, "generation of the last mission_start")
end)

t.case("export_state outside and inside a mission", function()
  m.mission_stop()
  t.eq(m.export_state(), nil, "outside a mission")
  m.mission_start(OWN, "m", "Caucasus")
  t.eq(m.export_state(), "starting", "export hook not seen in this mission yet")
  m.frame(1)
  m.export_frame()
  m.export_frame_end()
  t.eq(m.export_state(), "running", "export hook seen")
  m.mission_start("other", "m", "Caucasus")
  t.eq(m.export_state(), "starting", "a new mission starts over")
end)

t.case("frame returns nil before any HTTP request", function()
  t.eq(m.frame(5), nil, "no request yet")
  t.eq(m.frame(), nil, "host time optional")
  m.frame_end()
end)

t.finish()
