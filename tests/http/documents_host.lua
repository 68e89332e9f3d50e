-- A small host for the document tests: loads the built module, serves on the given port and runs
-- mission-hook and export-hook frames at 60 a second. It reads one command per line on stdin and
-- answers one line for each, after the frame that applied it has ended:
--   mission own|other   start a mission (own server or another one) with the fixture units
--   many N              rescan with N generated aircraft instead of the fixture units
--   menu                stop the mission
--   frame               "frame <seconds since the last request>" as the last `frame` returned ("nil")
--   status              "status <document>" of the module's `status`
--   quit                stop serving and end
--
--   lua5.1 tests/http/documents_host.lua MODULE_DIR PORT
local socket = require("socket")

local module_dir, port = arg[1], tonumber(arg[2])
package.cpath = module_dir .. "/?.so;" .. package.cpath
local m = require("quillmarsh_exporter")

local function say(text)
  io.stdout:write(text, "\n")
  io.stdout:flush()
end

local OWN = "<< QuillMarsh Server  P-V-E>>"

-- id, coalition, levels, human, invisible, type, name, group, lat, lon, alt, heading, ground
local fixture = {
  { 11, 2, { 1, 1, 6, 3 }, true, false, "FA-18C", "Пилот é 中 ✈", "Blue \"1\"", 34.5, 69.25, 3048.25, 0.5, 1790.04 },
  { 12, 1, { 1, 2, 5, 0 }, false, false, "Mi-8", "tab\there\1ctl\127", "back\\slash", 34.75, 69.5, 120.0, nil, nil },
  { 13, 2, { 1, 1, 6, 3 }, false, false, "F-16C", "Viper", "Blue \255 2", 35.0, 70.0, 5000.0, 3.0, 1500.0 },
  { 5, 0, { 3, 12, 2, 4 }, false, true, "Ship", "ignored", "Harbour ☂", 34.1234567, 69.7654321, -0.04, nil, nil },
  { 6, 0, { 2, 16, 0, 0 }, false, false, "Tower", "", "Field", 34.2, 69.3, 1790.0, nil, nil },
}

local t = 0.0
local pending = {}

local function scan(units)
  m.scan_begin()
  for _, u in ipairs(units) do
    m.unit(u[1], t, u[2], u[3][1], u[3][2], u[3][3], u[3][4], u[4], u[5], u[6], u[7], u[8], u[9], u[10],
      u[11], u[12], u[13])
  end
  m.scan_end()
end

local function generated(count)
  local units = {}
  for i = 1, count do
    units[i] = { 1000 + i, 1 + i % 2, { 1, 1 + i % 2, 6, 3 }, false, false, "Type", "Unit " .. i, "Group",
      34.0 + i * 1e-4, 69.0 + i * 1e-4, 1000.0 + i, 1.0, 900.0 }
  end
  return units
end

-- Applies one command inside the current mission-hook frame; returns the answer line.
local function apply(line)
  local word, rest = line:match("^(%S+)%s*(.*)$")
  if word == "mission" then
    m.mission_start(rest == "own" and OWN or "Elsewhere", "Documents mission", "Afghanistan", 43200)
    m.set_self(12)
    scan(fixture)
    return "ok"
  elseif word == "many" then
    scan(generated(tonumber(rest)))
    return "ok"
  elseif word == "menu" then
    m.mission_stop()
    return "ok"
  end
  return nil
end

assert(m.start(port, false, nil, 300) == true, "start failed")
-- The listener binds on its own thread: wait until the status shows it listening.
local listening = '"listeningPort":' .. port .. ","
local give_up = socket.gettime() + 60
while socket.gettime() < give_up do
  local document = m.status()
  if document and document:find(listening, 1, true) then break end
  socket.sleep(0.01)
end
say("ready")

local stdin = { getfd = function() return 0 end }
local last_frame
local running = true
while running do
  t = t + 1 / 60
  last_frame = m.frame(t)
  local answers = {}
  local readable = socket.select({ stdin }, nil, 0)
  if readable and #readable > 0 then
    local line = io.read("*l")
    if line == nil or line == "quit" then
      running = false
    elseif line == "frame" then
      answers[#answers + 1] = "frame " .. tostring(last_frame)
    elseif line == "status" then
      local document, err = m.status()
      while document == nil and err == "busy" do
        socket.sleep(0.001)
        document, err = m.status()
      end
      answers[#answers + 1] = "status " .. tostring(document)
    else
      answers[#answers + 1] = apply(line) or ("unknown " .. line)
    end
  end
  m.frame_end()
  m.export_frame()
  m.export_frame_end()
  for _, a in ipairs(answers) do say(a) end
  socket.sleep(1 / 60)
end
m.stop()
