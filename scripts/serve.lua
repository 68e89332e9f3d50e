-- A minimal host: loads the module, starts it on a fixed port and prints its state once a second
-- until interrupted. Usage: lua5.1 scripts/serve.lua BUILD_DIR [PORT]
local build_dir = arg[1] or "build/default"
local port = tonumber(arg[2]) or 8931
package.cpath = build_dir .. "/?.so;" .. package.cpath
local socket_ok, socket = pcall(require, "socket")
local m = require("quillmarsh_exporter")

local ok, err = m.start(port, false, nil, 300)
if not ok then
  io.stderr:write("start failed: ", tostring(err), "\n")
  os.exit(1)
end
print(string.format("quillmarsh_exporter %s started on 127.0.0.1:%d", m.version, port))
io.stdout:flush()
while true do
  local lan, lan_err = m.lan_status()
  local status, status_err = m.status()
  print("lan: " .. tostring(lan or lan_err))
  print("status: " .. tostring(status or status_err))
  io.stdout:flush()
  if socket_ok then socket.sleep(1) else os.execute("sleep 1") end
end
