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
  std::vector<LatLon> points;
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
    return failure(terrain_errors::kMissing);
  }
  std::string value = server::replace_all(*raw, "%2C", ",");
  value = server::replace_all(value, "%2c", ",");
  value = server::replace_all(value, "%3B", ";");
  value = server::replace_all(value, "%3b", ";");
  if (value.empty()) {
    return failure(terrain_errors::kEmpty);
  }
  const std::string_view text(value);
  for (std::size_t start = 0;;) {
    const std::size_t semi = text.find(';', start);
    const std::string_view piece = text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
    if (points.size() >= kTerrainPointsPerRequest) {
      return failure(terrain_errors::kTooMany);
    }
    const std::size_t comma = piece.find(',');
    if (comma == std::string_view::npos) {
      return failure(terrain_errors::kNeedsComma);
    }
    const auto lat = parse_number(piece.substr(0, comma));
    const auto lon = lat ? parse_number(piece.substr(comma + 1)) : std::nullopt;
    if (!lat || !lon) {
      return failure(terrain_errors::kNotANumber);
    }
    if (std::fabs(*lat) > 90.0 || std::fabs(*lon) > 180.0) {
      return failure(terrain_errors::kOutOfRange);
    }
    points.push_back({*lat, *lon});
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  return points;
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
