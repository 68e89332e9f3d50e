// libFuzzer target: the points parser of GET /v1/terrain on arbitrary bytes, and the key and
// distance rules on what it accepts. An error leaves no points; accepted points are 1 to 200 finite
// latitudes within 90 and longitudes within 180 degrees.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "geo/terrain_points.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view query(reinterpret_cast<const char*>(data), size);
  const auto parsed = qm::parse_terrain_points(query);
  if (!parsed.ok()) {
    if (parsed.error().empty()) std::abort();  // a failure holds no points, only its text
    return 0;
  }
  if (parsed->empty() || parsed->size() > qm::kTerrainPointsPerRequest) std::abort();
  const qm::LatLon origin{33.5, 65.5};
  for (const qm::LatLon& p : *parsed) {
    if (!std::isfinite(p.lat) || !std::isfinite(p.lon) || std::fabs(p.lat) > 90.0 || std::fabs(p.lon) > 180.0)
      std::abort();
    const qm::PointKey key = qm::point_key(p);
    if (std::llabs(key.first) > 900000000 || std::llabs(key.second) > 1800000000) std::abort();
    const double km = qm::great_circle_km(p, origin);
    if (!(km >= 0.0 && km <= 20037.6)) std::abort();
    if (qm::within_map_range(p, origin) != (km <= 2000.0)) std::abort();
  }
  return 0;
}
