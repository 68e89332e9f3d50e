-- Transverse Mercator on the WGS 84 ellipsoid (Krueger's series to sixth order in the third
-- flattening, in Karney's form; accurate to a few nanometres within thousands of kilometres of the
-- central meridian) and a Lambert conformal conic for maps that are not transverse Mercator.
local M = {}

local a = 6378137.0
local f = 1 / 298.257223563
local n = f / (2 - f)
local n2, n3, n4, n5, n6 = n * n, n ^ 3, n ^ 4, n ^ 5, n ^ 6
local e = math.sqrt(f * (2 - f))
local A = a / (1 + n) * (1 + n2 / 4 + n4 / 64 + n6 / 256)
local deg = math.pi / 180

local alpha = {
  n / 2 - 2 / 3 * n2 + 5 / 16 * n3 + 41 / 180 * n4 - 127 / 288 * n5 + 7891 / 37800 * n6,
  13 / 48 * n2 - 3 / 5 * n3 + 557 / 1440 * n4 + 281 / 630 * n5 - 1983433 / 1935360 * n6,
  61 / 240 * n3 - 103 / 140 * n4 + 15061 / 26880 * n5 + 167603 / 181440 * n6,
  49561 / 161280 * n4 - 179 / 168 * n5 + 6601661 / 7257600 * n6,
  34729 / 80640 * n5 - 3418889 / 1995840 * n6,
  212378941 / 319334400 * n6,
}
local beta = {
  n / 2 - 2 / 3 * n2 + 37 / 96 * n3 - 1 / 360 * n4 - 81 / 512 * n5 + 96199 / 604800 * n6,
  1 / 48 * n2 + 1 / 15 * n3 - 437 / 1440 * n4 + 46 / 105 * n5 - 1118711 / 3870720 * n6,
  17 / 480 * n3 - 37 / 840 * n4 - 209 / 4480 * n5 + 5569 / 90720 * n6,
  4397 / 161280 * n4 - 11 / 504 * n5 - 830251 / 7257600 * n6,
  4583 / 161280 * n5 - 108847 / 3991680 * n6,
  20648693 / 638668800 * n6,
}

M.A, M.e, M.alpha, M.beta = A, e, alpha, beta

local function sinh(x) return (math.exp(x) - math.exp(-x)) / 2 end
local function cosh(x) return (math.exp(x) + math.exp(-x)) / 2 end
local function asinh(x)
  local ax = math.abs(x)
  local r = math.log(ax + math.sqrt(ax * ax + 1))
  return x < 0 and -r or r
end
local function atanh(x) return 0.5 * math.log((1 + x) / (1 - x)) end
local function hypot(x, y) return math.sqrt(x * x + y * y) end

-- Conformal latitude: tau' from tau = tan(latitude).
local function taup(tau)
  local sigma = sinh(e * atanh(e * tau / hypot(1, tau)))
  return tau * hypot(1, sigma) - sigma * hypot(1, tau)
end

-- Latitude and longitude difference from the central meridian (degrees) to northing and easting
-- (metres, scale 1, no false origin).
function M.forward(lat, dlon)
  local phi, lam = lat * deg, dlon * deg
  local tp = taup(math.tan(phi))
  local xip = math.atan2(tp, math.cos(lam))
  local etap = asinh(math.sin(lam) / hypot(tp, math.cos(lam)))
  local xi, eta = xip, etap
  for j = 1, 6 do
    xi = xi + alpha[j] * math.sin(2 * j * xip) * cosh(2 * j * etap)
    eta = eta + alpha[j] * math.cos(2 * j * xip) * sinh(2 * j * etap)
  end
  return A * xi, A * eta
end

-- Northing and easting (metres, scale 1) to latitude and longitude difference (degrees).
function M.inverse(north, east)
  local xi, eta = north / A, east / A
  local xip, etap = xi, eta
  for j = 1, 6 do
    xip = xip - beta[j] * math.sin(2 * j * xi) * cosh(2 * j * eta)
    etap = etap - beta[j] * math.cos(2 * j * xi) * sinh(2 * j * eta)
  end
  local tp = math.sin(xip) / hypot(sinh(etap), math.cos(xip))
  local lam = math.atan2(sinh(etap), math.cos(xip))
  local tau = tp
  for _ = 1, 8 do
    local ti = taup(tau)
    local d = (tp - ti) / hypot(1, ti) * (1 + (1 - e * e) * tau * tau) / ((1 - e * e) * hypot(1, tau))
    tau = tau + d
    if math.abs(d) <= math.max(math.abs(tau), 1) * 1e-15 then break end
  end
  return math.atan(tau) / deg, lam / deg
end

-- A map whose x (north) and z (east) are a scaled, shifted transverse Mercator.
function M.tm_map(central_meridian, scale, origin_lat, origin_lon)
  local n0, e0 = M.forward(origin_lat, origin_lon - central_meridian)
  local map = { kind = "tm", central_meridian = central_meridian, scale = scale,
                x0 = -scale * n0, z0 = -scale * e0 }
  function map.to_latlon(x, z)
    local lat, dlon = M.inverse((x - map.x0) / scale, (z - map.z0) / scale)
    return lat, dlon + central_meridian
  end
  function map.to_map(lat, lon)
    local north, east = M.forward(lat, lon - central_meridian)
    return scale * north + map.x0, scale * east + map.z0
  end
  return map
end

-- A Lambert conformal conic on the sphere with two standard parallels: a map that no transverse
-- Mercator reproduces to a millimetre.
function M.lambert_map(lat1, lat2, lat0, lon0)
  local R = a
  local p1, p2, p0 = lat1 * deg, lat2 * deg, lat0 * deg
  local function t(p) return math.tan(math.pi / 4 + p / 2) end
  local cone = math.log(math.cos(p1) / math.cos(p2)) / math.log(t(p2) / t(p1))
  local F = math.cos(p1) * t(p1) ^ cone / cone
  local rho0 = R * F / t(p0) ^ cone
  local map = { kind = "lambert" }
  function map.to_map(lat, lon)
    local rho = R * F / t(lat * deg) ^ cone
    local theta = cone * (lon - lon0) * deg
    return rho0 - rho * math.cos(theta), rho * math.sin(theta)   -- x north, z east
  end
  function map.to_latlon(x, z)
    local dy = rho0 - x
    local rho = hypot(z, dy)
    if cone < 0 then rho = -rho end
    local theta = math.atan2(z, dy)
    if cone < 0 then theta = math.atan2(-z, -dy) end
    local lat = 2 * math.atan((R * F / rho) ^ (1 / cone)) - math.pi / 2
    return lat / deg, lon0 + theta / cone / deg
  end
  return map
end

return M
