-- The simulated host's world: map conversions, anchors and the terrain shapes the mesher relies on.
local t = require("testlib")
local world = require("world")
local tm = require("tm")

t.case("both map modes convert map points and back to well under a millimetre", function()
  for _, mode in ipairs { "tm", "other" } do
    local w = world.new(mode)
    for x = -240000, 240000, 60000 do
      for z = -240000, 240000, 80000 do
        local lat, lon = w.map.to_latlon(x, z)
        local x2, z2 = w.map.to_map(lat, lon)
        t.truthy(math.abs(x2 - x) < 1e-6 and math.abs(z2 - z) < 1e-6, mode .. " round trip")
      end
    end
  end
end)

t.case("the anchors are the nine map points in order, the fifth one the map origin", function()
  local w = world.new("tm")
  local a = w.anchors()
  t.eq(#a, 18, "anchor values")
  t.truthy(math.abs(a[9] - 33.5) < 1e-12 and math.abs(a[10] - 65.5) < 1e-12, "origin")
  local x, z = w.map.to_map(a[1], a[2])
  t.truthy(math.abs(x + 200000) < 1e-6 and math.abs(z + 200000) < 1e-6, "first anchor")
end)

t.case("the transverse Mercator series constants are WGS 84's", function()
  t.truthy(math.abs(tm.A - 6367449.145823415) < 1e-6, "A")
  t.truthy(math.abs(tm.alpha[1] - 8.377318206244698e-4) < 1e-18, "alpha 1")
  t.truthy(math.abs(tm.beta[1] - 8.377321640579488e-4) < 1e-18, "beta 1")
end)

t.case("terrain: flat sea, planar plateaus, flat airfield, a sharp ridge, nothing off the map", function()
  local h = world.height
  t.eq(h(0, -60000), 0.0, "sea")
  t.eq(h(100000, -100000), 0.0, "far sea")
  t.eq(h(0, 260000), nil, "off the map")
  t.eq(h(-260000, 0), nil, "off the map")
  t.eq(h(-4000, -1000), 120.0, "airfield")
  t.eq(h(-5999, -2999), 120.0, "airfield corner")
  for _, p in ipairs(world.features.plateaus) do
    -- the middle of any two points is the mean of their heights, exactly where the slopes allow
    local a, b = h(p.x1 + 1000, p.z1 + 1000), h(p.x1 + 3000, p.z1 + 5000)
    local mid = h(p.x1 + 2000, p.z1 + 3000)
    t.truthy(math.abs(mid - (a + b) / 2) < 1e-9, "plateau is planar")
  end
  local r = world.features.ridge
  local crest_x = r.rx0 + r.rk * 10000
  local top, left, right = h(crest_x, 10000), h(crest_x - 100, 10000), h(crest_x + 100, 10000)
  t.eq(top, r.crest, "ridge crest")
  t.truthy(left < top and right < top and math.abs(left - right) < 1e-9, "sharp symmetric crest")
end)

t.case("answers per point kind", function()
  local w = world.new("tm")
  t.eq((w.answer(-4000, -1000, 1)), 120.0, "kind 1 height")
  local lat, lon = w.answer(0, 0, 2)
  t.truthy(math.abs(lat - 33.5) < 1e-12 and math.abs(lon - 65.5) < 1e-12, "kind 2 conversion")
  local x, z = w.answer(33.5, 65.5, 3)
  t.truthy(math.abs(x) < 1e-6 and math.abs(z) < 1e-6, "kind 3 conversion")
  local la, lo = w.map.to_latlon(-4000, -1000)
  t.truthy(math.abs(w.answer(la, lo, 4) - 120.0) < 1e-9, "kind 4 height")
  t.eq((w.answer(0, 300000, 1)), nil, "no height off the map")
end)

t.case("units: twenty aircraft of both coalitions, one own, one non-ASCII name, ten neutrals", function()
  local w = world.new("other")
  t.eq(#w.units, 20, "aircraft")
  t.eq(#w.neutrals, 10, "neutrals")
  local red, blue, helis, ascii = 0, 0, 0, true
  for _, u in ipairs(w.units) do
    if u.coalition == 1 then red = red + 1 else blue = blue + 1 end
    if u.levels[2] == 2 then helis = helis + 1 end
    if u.name:find("[\128-\255]") then ascii = false end
    local lat, lon, alt, heading, ground = w.position(u, 12.5)
    t.truthy(lat == lat and lon == lon and alt > ground and heading >= 0 and heading < 2 * math.pi, "position")
  end
  t.truthy(red > 0 and blue > 0 and helis > 0 and not ascii, "mix")
end)

t.finish()
