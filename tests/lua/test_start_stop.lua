-- start and stop as a host script sees them: the port rule, the LAN mode texts, the change
-- counter, and the wake connection to a replaced server's port.
local t = require("testlib")
local socket = require("socket")
local m = require("quillmarsh_exporter")

local port_message = "port must be a whole number from 1024 to 65535"
local not_ipv4 = "not listening: the address setting isn't an IPv4 address like \"192.168.1.20\""
local not_private =
  "not listening: the address setting isn't a private LAN address (10.x.x.x, 172.16-31.x.x or 192.168.x.x)"

-- A port of the kernel's choice that is free now.
local function free_port()
  local server = assert(socket.bind("127.0.0.1", 0))
  local _, port = server:getsockname()
  server:close()
  return tonumber(port)
end

-- A listener on 127.0.0.1 that counts the wake connections it gets. A wake connection goes to the
-- port of the server that is stopped or replaced, which may since have been handed out again; so
-- the listener is on a port below the kernel's range of free ports (32768 up unless set otherwise),
-- where no test's server runs, and the wake threads of earlier cases have ended before it binds.
math.randomseed(os.time() + math.floor(socket.gettime() * 1e6) % 1000000)
local function listener()
  t.threads_settled("qm-wake")
  for _ = 1, 1000 do
    local server = socket.bind("127.0.0.1", math.random(20000, 32000))
    if server then
      local _, port = server:getsockname()
      return server, tonumber(port)
    end
  end
  error("no free port below the kernel's range")
end

-- The wake connections that reach the listener: the `expected` ones are awaited (as long as only a
-- fault takes), then any more that have come once every wake thread started so far has made its
-- one attempt and ended (where this process's threads can be listed).
local function wake_connections(server, expected)
  local count = 0
  server:settimeout(t.event_limit)
  for _ = 1, expected do
    local client = server:accept()
    if not client then break end
    client:close()
    count = count + 1
  end
  t.threads_settled("qm-wake")
  server:settimeout(0)
  while true do
    local client = server:accept()
    if not client then return count end
    client:close()
    count = count + 1
  end
end

t.case("lan_status is off before any start", function()
  t.eq(m.lan_status(), "off", "lan_status")
end)

t.case("stop without a server returns true and changes nothing", function()
  local before = m.lan_changes()
  local r = t.pack(m.stop())
  t.eq(r.n, 1, "result count")
  t.eq(r[1], true, "stop")
  t.eq(m.lan_changes(), before, "lan_changes")
  t.eq(m.lan_status(), "off", "lan_status")
end)

t.case("start answers every port case exactly", function()
  local cases = {
    { 1023, false }, { 65536, false }, { 8931.5, false }, { "8931", false }, { 0 / 0, false },
    { 1 / 0, false }, { -1 / 0, false }, { -8931, false }, { nil, false }, { true, false },
    { 1024, true }, { 65535, true },
  }
  for _, c in ipairs(cases) do
    local before = m.lan_changes()
    local r = t.pack(m.start(c[1], false, nil, 300))
    local what = "port " .. tostring(c[1])
    if c[2] then
      t.eq(r.n, 1, what .. ": result count")
      t.eq(r[1], true, what)
      t.eq(m.lan_changes(), before + 1, what .. ": lan_changes")
    else
      t.eq(r.n, 2, what .. ": result count")
      t.eq(r[1], nil, what)
      t.eq(r[2], port_message, what)
      t.eq(m.lan_changes(), before, what .. ": nothing changed")
    end
  end
  m.stop()
end)

t.case("a rejected port leaves the running server as it was", function()
  local server, port = listener()
  m.start(port, true, "8.8.8.8")
  local before = m.lan_changes()
  t.eq(select(2, m.start(1023, false)), port_message, "rejected")
  t.eq(m.lan_status(), not_private, "the running server's LAN state")
  t.eq(m.lan_changes(), before, "lan_changes")
  t.eq(wake_connections(server, 0), 0, "no wake connection: nothing was replaced")
  m.stop()
  t.eq(wake_connections(server, 1), 1, "stop wakes the server's port once")
  server:close()
end)

t.case("every LAN mode reaches lan_status", function()
  local port = free_port()
  local cases = {
    { false, "192.168.1.20", { "off" } },
    { false, "not an address", { "off" } },
    { nil, "192.168.1.20", { "off" } },
    { "yes", "192.168.1.20", { "off" } },
    { true, "8.8.8.8", { not_private } },
    { true, "172.15.0.1", { not_private } },
    { true, "172.32.0.1", { not_private } },
    { true, "127.0.0.1", { not_private } },
    { true, "router.local", { not_ipv4 } },
    { true, "192.168.1", { not_ipv4 } },
    { true, "192.168.01.20", { not_ipv4 } },
    { true, 19216812, { not_ipv4 } }, -- a number is "(not text)"
    { true, {}, { not_ipv4 } },
    { true, "", { not_ipv4 } },
    -- An accepted address starts the LAN thread, which tries that address on this machine: that
    -- mode is tested only inside a network namespace (tests/http/test_lan_namespace.py).
  }
  for _, c in ipairs(cases) do
    t.eq(m.start(port, c[1], c[2]), true, "start")
    local status = m.lan_status()
    local ok = false
    for _, want in ipairs(c[3]) do ok = ok or status == want end
    t.truthy(ok, string.format("switch %s, address %q: got %q", tostring(c[1]), tostring(c[2]), tostring(status)))
  end
  m.stop()
  t.eq(m.lan_status(), "off", "after stop")
end)

t.case("lan_changes counts each start, and nothing else here", function()
  local port = free_port()
  local before = m.lan_changes()
  m.start(port, false)
  m.start(port, true, "8.8.8.8")
  m.start(port, true, "nonsense")
  t.eq(m.lan_changes(), before + 3, "three starts")
  m.stop()
  m.stop()
  m.start(1, false)
  t.eq(m.lan_changes(), before + 3, "stop and a rejected start add nothing")
end)

t.case("two starts in a row make exactly one wake connection to the old port", function()
  local old, old_port = listener()
  local new, new_port = listener()
  t.eq(m.start(old_port, false), true, "first start")
  t.eq(wake_connections(old, 0), 0, "nothing before the second start")
  t.eq(m.start(new_port, false), true, "second start")
  t.eq(wake_connections(old, 1), 1, "one wake connection to the old port")
  t.eq(wake_connections(new, 0), 0, "none to the new port")
  t.eq(m.stop(), true, "stop")
  t.eq(wake_connections(new, 1), 1, "stop wakes the running server's port")
  t.eq(wake_connections(old, 0), 0, "and nothing more to the old one")
  old:close()
  new:close()
end)

t.case("a second require gives a new table over the same server slot", function()
  local port = free_port()
  package.loaded["quillmarsh_exporter"] = nil
  local again = require("quillmarsh_exporter")
  t.truthy(again ~= m, "a new table")
  t.eq(again.start(port, true, "8.8.8.8"), true, "start through the new table")
  t.eq(m.lan_status(), not_private, "the old table sees it")
  t.eq(m.stop(), true, "stop through the old table")
  t.eq(again.lan_status(), "off", "the new table sees that")
end)

t.finish()
