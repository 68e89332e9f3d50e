-- A small host for the HTTP tests: loads the built module, starts it on the given port and keeps
-- calling frame/frame_end like the simulator's mission hook. Tests steer it through a UDP control
-- socket on 127.0.0.1: each datagram is Lua code run with `m` (the module) in scope; the reply is
-- "ok" and the results, or "error" and the message.
-- Usage: lua5.1 tests/http/host.lua BUILD_DIR PORT
local build_dir = assert(arg[1], "build dir")
local port = assert(tonumber(arg[2]), "port")
package.cpath = build_dir .. "/?.so;" .. package.cpath
local socket = require("socket")
local m = require("quillmarsh_exporter")

local control = assert(socket.udp())
assert(control:setsockname("127.0.0.1", 0))
control:settimeout(0)
local _, control_port = control:getsockname()

local ok, err = m.start(port, false, nil, 300)
if not ok then
  io.stderr:write("start failed: ", tostring(err), "\n")
  os.exit(1)
end
print(string.format("serving %d control %d", port, control_port))
io.stdout:flush()

local function pack(...) return { n = select("#", ...), ... } end

local function run(code)
  local chunk, load_error = loadstring(code)
  if not chunk then return "error " .. tostring(load_error) end
  setfenv(chunk, setmetatable({ m = m, socket = socket }, { __index = _G }))
  local results = pack(pcall(chunk))
  if not results[1] then return "error " .. tostring(results[2]) end
  local out = {}
  for i = 2, results.n do out[#out + 1] = tostring(results[i]) end
  return "ok " .. table.concat(out, "\t")
end

while true do
  m.frame(socket.gettime())
  m.frame_end()
  while true do
    local code, from_ip, from_port = control:receivefrom()
    if not code then break end
    if code == "exit" then
      control:sendto("ok", from_ip, from_port)
      os.exit(0)
    end
    control:sendto(run(code), from_ip, from_port)
  end
  socket.sleep(0.01)
end
