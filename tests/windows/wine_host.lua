-- A host driven from outside for the Windows tests: runs each line of standard input as Lua code
-- with `m` (the module) in scope and answers one line: "ok" and the results (tab separated), or
-- "error" and the message. A frame and its end are run before each line, like the simulator's hook.
local m = require("quillmarsh_exporter")
local env = setmetatable({ m = m }, { __index = _G })

local function pack(...) return { n = select("#", ...), ... } end

local function run(code)
  local chunk, load_error = loadstring(code)
  if not chunk then return "error " .. tostring(load_error) end
  setfenv(chunk, env)
  local results = pack(pcall(chunk))
  if not results[1] then return "error " .. tostring(results[2]) end
  local out = {}
  for i = 2, results.n do out[#out + 1] = tostring(results[i]) end
  return "ok " .. table.concat(out, "\t")
end

io.write("ready\n")
io.flush()
for line in io.lines() do
  if line == "exit" then break end
  m.frame(m.clock())
  m.frame_end()
  io.write((run(line):gsub("\n", " ")), "\n")
  io.flush()
end
