#include "geo/terrain_points.hpp"

#include <cmath>
#include <string>

#include "base/numeric.hpp"
#include "base/text_rules.hpp"

namespace qm {

namespace {

// 1 to 32 characters: a plain decimal number.
std::optional<double> parse_number(std::string_view text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  return parse_plain_decimal(text);
}

}  // namespace

Parsed<std::vector<LatLon>> parse_terrain_points(std::string_view query) {
  Parsed<std::vector<LatLon>> result;
  std::optional<std::string_view> raw;
  for (std::size_t start = 0;;) {
    const std::size_t amp = query.find('&', start);
    const std::string_view piece = query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    if (piece.substr(0, 7) == "points=") {
      raw = piece.substr(7);
      break;
    }
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  if (!raw) {
    result.error = terrain_errors::kMissing;
    return result;
  }
  std::string value = server::replace_all(*raw, "%2C", ",");
  value = server::replace_all(value, "%2c", ",");
  value = server::replace_all(value, "%3B", ";");
  value = server::replace_all(value, "%3b", ";");
  if (value.empty()) {
    result.error = terrain_errors::kEmpty;
    return result;
  }
  const std::string_view text(value);
  for (std::size_t start = 0;;) {
    const std::size_t semi = text.find(';', start);
    const std::string_view piece = text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
    if (result.value.size() >= kTerrainPointsPerRequest) {
      result.error = terrain_errors::kTooMany;
      break;
    }
    const std::size_t comma = piece.find(',');
    if (comma == std::string_view::npos) {
      result.error = terrain_errors::kNeedsComma;
      break;
    }
    const auto lat = parse_number(piece.substr(0, comma));
    const auto lon = lat ? parse_number(piece.substr(comma + 1)) : std::nullopt;
    if (!lat || !lon) {
      result.error = terrain_errors::kNotANumber;
      break;
    }
    if (std::fabs(*lat) > 90.0 || std::fabs(*lon) > 180.0) {
      result.error = terrain_errors::kOutOfRange;
      break;
    }
    result.value.push_back({*lat, *lon});
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  if (!result.ok()) result.value.clear();
  return result;
}

PointKey point_key(const LatLon& point) {
  return {saturate<std::int64_t>(std::round(point.lat * 1e7)), saturate<std::int64_t>(std::round(point.lon * 1e7))};
}

double great_circle_km(const LatLon& a, const LatLon& b) {
  const double phi = a.lat * kRadiansPerDegree, lambda = a.lon * kRadiansPerDegree;
  const double phi0 = b.lat * kRadiansPerDegree, lambda0 = b.lon * kRadiansPerDegree;
  const double s1 = std::sin((phi - phi0) / 2.0);
  const double s2 = std::sin((lambda - lambda0) / 2.0);
  const double h = s1 * s1 + std::cos(phi) * std::cos(phi0) * s2 * s2;
  return 12742.0176 * std::asin(std::fmin(1.0, std::sqrt(h)));
}

bool within_map_range(const LatLon& point, const LatLon& origin) {
  if (!std::isfinite(point.lat) || !std::isfinite(point.lon)) return false;
  return great_circle_km(point, origin) <= 2000.0;
}

}  // namespace qm
