-- A host that starts the server and then exits, twenty times over: every run must end cleanly
-- (exit status 0, nothing on stderr), whether it stops the server first, exits at once or just
-- lets the interpreter close its state with the server threads still running.
local t = require("testlib")

local interp = os.getenv("QM_INTERP") or "lua5.1"

-- The ThreadSanitizer runtime, preloaded into every child, crashes the shell that io.popen starts.
if (os.getenv("LD_PRELOAD") or ""):find("tsan", 1, true) then
  print("skipped under ThreadSanitizer: the shell cannot run with its runtime preloaded")
  t.finish()
end

local endings = {
  "os.exit(0)",                  -- exit with the server running
  "",                            -- fall off the end: lua_close, then exit
  "m.stop()",                    -- stop, then the end of the script
  "m.stop() m.start(port, false) collectgarbage() os.exit(0)",
}

local function run(ending)
  local script = table.concat({
    "local socket = require('socket')",
    "local s = assert(socket.bind('127.0.0.1', 0)); local _, port = s:getsockname(); s:close()",
    "port = tonumber(port)",
    "m = require('quillmarsh_exporter')",
    "assert(m.start(port, false, nil, 300) == true)",
    "assert(m.lan_status() == 'off')",
    "io.write('started\\n') io.flush()",
    ending,
  }, " ")
  local command = string.format("%s -e %q 2>&1; echo \"exit=$?\"", interp, script)
  local pipe = assert(io.popen(command))
  local output = pipe:read("*a")
  pipe:close()
  return output
end

t.case("twenty runs that start the server and exit all end cleanly", function()
  for i = 1, 20 do
    local ending = endings[(i - 1) % #endings + 1]
    local output = run(ending)
    t.eq(output, "started\nexit=0\n", string.format("run %d (%s)", i, ending == "" and "end of script" or ending))
  end
end)

t.finish()
