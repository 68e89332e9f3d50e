-- The projection fitted from the host's anchors, as the status document shows it, for both maps of
-- the simulated host.
local t = require("testlib")
local m = require("quillmarsh_exporter")
local world = require("world")

local OWN = "<< QuillMarsh Server  P-V-E>>"
local unpack = unpack or table.unpack

local function projection_after(server, theatre, anchors)
  m.mission_start(server, "Projection", theatre, 0)
  m.frame(1)
  m.projection_anchors(unpack(anchors, 1, 18))
  m.frame_end()
  local doc = m.status()
  return doc:match('"projection":(%b{})')
end

local function number(text, key) return tonumber(text:match('"' .. key .. '":([^,}]*)')) end

t.case("the transverse Mercator map gives back its parameters", function()
  local w = world.new("tm")
  local p = projection_after(OWN, w.theatre, w.anchors())
  t.truthy(p:match('^{"kind":"tm","centralMeridian":63.000000000,"scale":0.999600000,"xOffset":'), p)
  t.truthy(math.abs(number(p, "xOffset") - w.map.x0) <= 0.00006, "x offset " .. p)
  t.truthy(math.abs(number(p, "zOffset") - w.map.z0) <= 0.00006, "z offset " .. p)
  t.eq(p:match('"worstMetres":([^}]*)'), "0.000000", "worst residual")
end)

t.case("the Lambert map gives the blocks kind", function()
  local w = world.new("other")
  local p = projection_after(OWN, w.theatre, w.anchors())
  t.truthy(p:match('^{"kind":"blocks","worstMetres":%d+%.%d%d%d%d%d%d}$'), p)
  t.truthy(number(p, "worstMetres") >= 0.001, "misses an anchor by a millimetre or more")
end)

t.case("incomplete anchors or another server give none", function()
  local w = world.new("tm")
  local anchors = w.anchors()
  anchors[18] = nil
  t.eq(projection_after(OWN, w.theatre, anchors), '{"kind":"none"}', "17 numbers")
  t.eq(projection_after("Some other server", w.theatre, w.anchors()), '{"kind":"none"}', "other server")
end)

t.finish()
