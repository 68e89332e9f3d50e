-- start and stop as a host script on Windows sees them, with nothing but the module itself (this Lua
-- has no sockets): the port rule, the LAN mode texts, the change counter and one server slot for
-- every table of the module. The wake connections are checked from outside (test_wine_server.py).
local t = require("testlib")
local m = require("quillmarsh_exporter")

local port_message = "port must be a whole number from 1024 to 65535"
local not_ipv4 = "not listening: the address setting isn't an IPv4 address like \"192.168.1.20\""
local not_private =
  "not listening: the address setting isn't a private LAN address (10.x.x.x, 172.16-31.x.x or 192.168.x.x)"

-- A port unlikely to be taken: the server only needs it for its listener, these checks do not.
local port = 20000 + (os.time() % 20000)

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
    { 1024, true }, { 65535, true }, { port, true },
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
  t.eq(m.stop(), true, "stop")
end)

t.case("a rejected port leaves the running server as it was", function()
  t.eq(m.start(port, true, "8.8.8.8"), true, "start")
  local before = m.lan_changes()
  t.eq(select(2, m.start(1023, false)), port_message, "rejected")
  t.eq(m.lan_status(), not_private, "the running server's LAN state")
  t.eq(m.lan_changes(), before, "lan_changes")
  t.eq(m.stop(), true, "stop")
end)

t.case("every LAN mode reaches lan_status", function()
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
    { true, 19216812, { not_ipv4 } },
    { true, {}, { not_ipv4 } },
    { true, "", { not_ipv4 } },
    -- An accepted address starts the LAN thread, which tries that address on this machine: that
    -- mode is tested only inside a Linux network namespace.
  }
  for _, c in ipairs(cases) do
    t.eq(m.start(port, c[1], c[2]), true, "start")
    local status = m.lan_status()
    local ok = false
    for _, want in ipairs(c[3]) do ok = ok or status == want end
    t.truthy(ok, string.format("switch %s, address %q: got %q", tostring(c[1]), tostring(c[2]), tostring(status)))
  end
  t.eq(m.stop(), true, "stop")
  t.eq(m.lan_status(), "off", "after stop")
end)

t.case("lan_changes counts each start, and nothing else here", function()
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

t.case("a second require gives a new table over the same server slot", function()
  package.loaded["quillmarsh_exporter"] = nil
  local again = require("quillmarsh_exporter")
  t.truthy(again ~= m, "a new table")
  t.eq(again.start(port, true, "8.8.8.8"), true, "start through the new table")
  t.eq(m.lan_status(), not_private, "the old table sees it")
  t.eq(m.stop(), true, "stop through the old table")
  t.eq(again.lan_status(), "off", "the new table sees that")
end)

t.finish()
