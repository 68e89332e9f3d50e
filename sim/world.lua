-- The synthetic world of the simulated host: a map (transverse Mercator or not), a deterministic
-- terrain with the shapes a mesher must handle, and the units of a mission flying circuits over it.
-- Every function here is pure and usable from other scripts: world.new(mode) gives a world.
local tm = require("tm")

local M = {}

M.OWN_SERVER = "<< QuillMarsh Server  P-V-E>>"
M.EXTENT = 250000            -- the map covers |x| and |z| up to this (metres); nothing beyond
M.SEA_LEVEL = 0.0

-- The nine map points of the projection anchors, x outer, z inner.
M.ANCHOR_POINTS = {}
for _, x in ipairs { -200000, 0, 200000 } do
  for _, z in ipairs { -200000, 0, 200000 } do
    M.ANCHOR_POINTS[#M.ANCHOR_POINTS + 1] = { x, z }
  end
end

-- Terrain features (map metres). x is north, z is east.
M.features = {
  coast = function(x) return -30000 + 4000 * math.sin(x / 9000) end,   -- sea where z is below
  airfield = { x1 = -6000, x2 = -3000, z1 = -3000, z2 = 0, height = 120.0 },
  plateaus = {
    -- each exactly planar: h = h0 + gx * (x - x1) + gz * (z - z1) inside the rectangle
    { x1 = 10000, x2 = 22000, z1 = 5000, z2 = 15000, h0 = 600.0, gx = 0.02, gz = -0.01 },
    { x1 = -25000, x2 = -12000, z1 = 20000, z2 = 32000, h0 = 900.0, gx = 0.0, gz = 0.015 },
  },
  -- a sharp ridge along x = rx0 + rk * z for z in [rz1, rz2]: crest height falling linearly aside
  ridge = { rx0 = 35000, rk = 0.3, rz1 = -10000, rz2 = 30000, crest = 1400.0, slope = 0.35 },
}

local function inside(r, x, z) return x >= r.x1 and x <= r.x2 and z >= r.z1 and z <= r.z2 end

local function hills(x, z)
  return 250 + 120 * math.sin(x / 3100) * math.cos(z / 2700) + 60 * math.sin((x + z) / 1300)
end

-- Terrain height at a map point, or nil off the map.
function M.height(x, z)
  if x ~= x or z ~= z or math.abs(x) > M.EXTENT or math.abs(z) > M.EXTENT then return nil end
  local F = M.features
  if inside(F.airfield, x, z) then return F.airfield.height end
  for _, p in ipairs(F.plateaus) do
    if inside(p, x, z) then return p.h0 + p.gx * (x - p.x1) + p.gz * (z - p.z1) end
  end
  local coast = F.coast(x)
  if z <= coast then return M.SEA_LEVEL end
  local h = hills(x, z)
  local r = F.ridge
  if z >= r.rz1 and z <= r.rz2 then
    local dist = math.abs(x - (r.rx0 + r.rk * z)) / math.sqrt(1 + r.rk * r.rk)
    h = math.max(h, r.crest - r.slope * dist)
  end
  -- the land falls to the sea over the last 2 km before the coastline
  local shore = (z - coast) / 2000
  if shore < 1 then h = h * shore end
  return h
end

-- The units of the mission: id, coalition, levels, names, and a circuit (centre, radius, period).
local function make_units()
  local units = {}
  local types = { "Fighter-A", "Fighter-B", "Attacker-C", "Transport-D", "Helo-E", "Helo-F" }
  for i = 1, 20 do
    local heli = (i % 4 == 0) or (i == 7) or (i == 19)
    local coalition = (i % 2 == 0) and 2 or 1
    units[#units + 1] = {
      id = 1000 + i,
      coalition = coalition,
      levels = { 1, heli and 2 or 1, heli and 5 or 3, i },
      type = heli and types[5 + (i % 2)] or types[1 + (i % 4)],
      name = (coalition == 1 and "Red " or "Blue ") .. i,
      group = (coalition == 1 and "Red flight " or "Blue flight ") .. math.floor((i + 1) / 2),
      human = (i == 1),
      cx = ((i * 7919) % 60000) - 30000,
      cz = ((i * 104729) % 60000) - 20000,
      radius = heli and 3000 + 100 * i or 8000 + 400 * i,
      period = heli and 240 + 5 * i or 120 + 3 * i,
      phase = i * 0.7,
      agl = heli and 150 or 1500 + 50 * i,
    }
  end
  units[3].name = "Żuraw 3 – Möwe ✈"   -- a name that is not ASCII
  local neutrals = {}
  for i = 1, 10 do
    neutrals[#neutrals + 1] = {
      id = 2000 + i, coalition = 0, levels = { 3, 1 + (i % 3), 0, 0 },
      type = "Static-" .. (1 + i % 4), name = "Neutral object " .. i, group = "",
      x = -20000 + 4000 * i, z = -10000 + 2500 * (i % 5),
    }
  end
  return units, neutrals
end

-- A world in one of two map modes: "tm" (an exact transverse Mercator) or "other" (a Lambert
-- conformal conic, so the module has to work in blocks).
function M.new(mode)
  local w = { mode = mode or "tm" }
  if w.mode == "tm" then
    w.theatre = "Afghanistan"
    w.map = tm.tm_map(63.0, 0.9996, 33.5, 65.5)
  elseif w.mode == "other" then
    w.theatre = "Northmarch"
    w.map = tm.lambert_map(30.0, 60.0, 47.0, 12.0)
  else
    error("map mode must be tm or other")
  end
  w.units, w.neutrals = make_units()
  w.height = M.height

  -- The 18 anchor values: latitude, longitude of each anchor point.
  function w.anchors()
    local out = {}
    for _, p in ipairs(M.ANCHOR_POINTS) do
      local lat, lon = w.map.to_latlon(p[1], p[2])
      out[#out + 1] = lat
      out[#out + 1] = lon
    end
    return out
  end

  -- The host's answer to a question of a point kind: a, b (either may be nil).
  function w.answer(x, y, kind)
    if kind == 1 then
      return M.height(x, y), nil
    elseif kind == 2 then
      if math.abs(x) > M.EXTENT or math.abs(y) > M.EXTENT then return nil, nil end
      return w.map.to_latlon(x, y)
    elseif kind == 3 then
      local mx, mz = w.map.to_map(x, y)
      if mx ~= mx or mz ~= mz then return nil, nil end
      return mx, mz
    elseif kind == 4 then
      local mx, mz = w.map.to_map(x, y)
      return M.height(mx, mz), nil
    end
    return nil, nil
  end

  -- A unit's state at mission time t: lat, lon, alt (metres), heading (radians, true), ground.
  function w.position(u, t)
    local x, z, dx, dz
    if u.radius then
      local ang = u.phase + 2 * math.pi * t / u.period
      x = u.cx + u.radius * math.cos(ang)
      z = u.cz + u.radius * math.sin(ang)
      dx, dz = -math.sin(ang), math.cos(ang)
    else
      x, z, dx, dz = u.x, u.z, 1, 0
    end
    local ground = M.height(x, z) or 0
    local lat, lon = w.map.to_latlon(x, z)
    local lat2, lon2 = w.map.to_latlon(x + dx * 10, z + dz * 10)
    -- true heading: the bearing from the point to one 10 m ahead
    local p1, p2 = lat * math.pi / 180, lat2 * math.pi / 180
    local dl = (lon2 - lon) * math.pi / 180
    local heading = math.atan2(math.sin(dl) * math.cos(p2),
      math.cos(p1) * math.sin(p2) - math.sin(p1) * math.cos(p2) * math.cos(dl))
    if heading < 0 then heading = heading + 2 * math.pi end
    return lat, lon, ground + (u.agl or 0), heading, ground
  end

  return w
end

return M
