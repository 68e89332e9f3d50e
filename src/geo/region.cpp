#include "geo/region.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/hashing.hpp"
#include "base/numeric.hpp"
#include "geo/terrain_points.hpp"
#include "geo/web_mercator.hpp"

namespace qm {

namespace {

constexpr double kOutlineStep = 5000.0;
constexpr double kLatitudeLimit = 85.0;
constexpr double kDistanceLimitKm = 2000.0;
constexpr double kInvCell = 0.015625;

std::int32_t cell_floor(double v) { return saturate<std::int32_t>(std::floor(v)); }
std::int32_t cell_ceil(double v) { return saturate<std::int32_t>(std::ceil(v)); }

struct Mercator {
  double x;
  double y;
};

Mercator to_mercator(const LatLon& p) {
  const auto [x, y] = web_mercator(p.lat, p.lon);
  return {x, y};
}

LatLon from_mercator(const Mercator& m) {
  const auto [lat, lon] = web_mercator_inverse(m.x, m.y);
  return {lat, lon};
}

// Pieces of an edge: max(1, ceil(length / 5000)).
std::uint64_t edge_pieces(const Mercator& a, const Mercator& b) {
  const double n = std::ceil(std::hypot(b.x - a.x, b.y - a.y) / kOutlineStep);
  return n > 1.0 ? saturate<std::uint64_t>(n) : 1;
}

bool vertex_accepted(const LatLon& v, const LatLon& centre) {
  if (!(std::fabs(v.lat) <= kLatitudeLimit) || !std::isfinite(v.lat) || !std::isfinite(v.lon)) return false;
  return !(great_circle_km(v, centre) > kDistanceLimitKm);
}

bool ring_accepted(const AreaRing& ring, const LatLon& centre) {
  for (const LatLon& v : ring.vertices)
    if (!vertex_accepted(v, centre)) return false;
  return true;
}


// Outline points of the accepted rings (the cap's count).
std::uint64_t outline_points(const AreaList& areas, const std::vector<bool>& accepted) {
  std::uint64_t count = 0;
  for (std::size_t r = 0; r < areas.size(); ++r) {
    if (!accepted[r]) continue;
    const auto& v = areas[r].vertices;
    for (std::size_t i = 0; i < v.size(); ++i)
      count = saturating_add<std::uint64_t>(count, edge_pieces(to_mercator(v[i]), to_mercator(v[(i + 1) % v.size()])));
  }
  return count;
}

bool all_finite(const MapRing& ring) {
  for (const auto& p : ring.points)
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
  return true;
}

// Ring acceptance and the outline cap, shared by both builders. Fills `accepted`; returns an
// error when the outline cap is exceeded.
Result<void, RegionError> accept_rings(const AreaList& areas, const LatLon& centre, std::vector<bool>& accepted) {
  accepted.assign(areas.size(), false);
  for (std::size_t r = 0; r < areas.size(); ++r) accepted[r] = ring_accepted(areas[r], centre);
  const std::uint64_t count = outline_points(areas, accepted);
  if (count > kOutlinePointCap) return failure(RegionError{RegionError::Kind::kOutlinePoints, count, kOutlinePointCap});
  return {};
}

// Map rings with finite points go to the sweep; the others join the refused list.
RegionResult finish(const AreaList& areas, const std::vector<bool>& accepted, std::vector<MapRing>& converted,
                    std::vector<bool>& refused_by_conversion) {
  std::vector<std::uint64_t> refused;
  std::vector<MapRing> kept;
  std::size_t next = 0;
  for (std::size_t r = 0; r < areas.size(); ++r) {
    if (!accepted[r]) {
      refused.push_back(r);
      continue;
    }
    MapRing& ring = converted[next++];
    if (refused_by_conversion[r] || !all_finite(ring)) {
      refused.push_back(r);
      continue;
    }
    kept.push_back(std::move(ring));
  }
  return rasterise_region(kept, std::move(refused));
}

struct PointBits {
  std::uint64_t lat;
  std::uint64_t lon;
  friend bool operator==(const PointBits&, const PointBits&) = default;
};

void hash_write(SeededHasher& h, const PointBits& p) {
  h.write(p.lat);
  h.write(p.lon);
}

PointBits bits_of(const LatLon& p) {
  PointBits b;
  std::memcpy(&b.lat, &p.lat, sizeof b.lat);
  std::memcpy(&b.lon, &p.lon, sizeof b.lon);
  return b;
}

}  // namespace

std::vector<LatLon> densify_ring(const AreaRing& ring) {
  std::vector<LatLon> out;
  const auto& v = ring.vertices;
  for (std::size_t i = 0; i < v.size(); ++i) {
    out.push_back(v[i]);
    const Mercator a = to_mercator(v[i]);
    const Mercator b = to_mercator(v[(i + 1) % v.size()]);
    const std::uint64_t n = edge_pieces(a, b);
    for (std::uint64_t k = 1; k < n; ++k) {
      const double t = static_cast<double>(k) / static_cast<double>(n);
      out.push_back(from_mercator({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}));
    }
  }
  return out;
}

void rasterise_rings(std::int32_t c, const std::vector<OutlineSegment>& active, std::vector<RowSpan>& spans,
                     std::vector<Crossing>& crossings) {
  spans.clear();
  crossings.clear();
  if (active.empty()) return;
  const double col = static_cast<double>(c);
  const double x_lo = 64.0 * col - 32.0;
  const double x_hi = 64.0 * (col + 1.0) + 32.0;
  for (const OutlineSegment& s : active) {
    double t0, t1;
    if (s.x0 == s.x1) {
      if (s.x0 < x_lo || s.x0 > x_hi) continue;
      t0 = 0.0;
      t1 = 1.0;
    } else {
      const double ta = (x_lo - s.x0) / (s.x1 - s.x0);
      const double tb = (x_hi - s.x0) / (s.x1 - s.x0);
      t0 = std::max(std::min(ta, tb), 0.0);
      t1 = std::min(std::max(ta, tb), 1.0);
      if (t0 > t1) continue;
    }
    const double za = s.z0 + t0 * (s.z1 - s.z0);
    const double zb = s.z0 + t1 * (s.z1 - s.z0);
    spans.push_back({cell_floor((std::min(za, zb) - 32.0) * kInvCell), cell_floor((std::max(za, zb) + 32.0) * kInvCell)});
  }

  const double x_mid = (col + 0.5) * 64.0;
  for (const OutlineSegment& s : active) {
    if ((s.x0 <= x_mid && x_mid < s.x1) || (s.x1 <= x_mid && x_mid < s.x0)) {
      const double z = (s.z1 - s.z0) * (x_mid - s.x0) / (s.x1 - s.x0) + s.z0;
      crossings.push_back({z, s.x1 > s.x0 ? 1 : -1, s.ring});
    }
  }
  std::stable_sort(crossings.begin(), crossings.end(), [](const Crossing& a, const Crossing& b) {
    if (a.ring != b.ring) return a.ring < b.ring;
    return total_order_less(a.z, b.z);
  });
  std::size_t i = 0;
  while (i < crossings.size()) {
    const std::uint64_t ring = crossings[i].ring;
    std::int64_t w = 0;
    double start = 0.0;
    for (; i < crossings.size() && crossings[i].ring == ring; ++i) {
      if (w == 0) start = crossings[i].z;
      w += crossings[i].direction;
      if (w == 0) {
        const std::int32_t first = cell_ceil((start - 32.0) * kInvCell);
        const std::int32_t last = cell_floor((crossings[i].z - 32.0) * kInvCell);
        if (first <= last) spans.push_back({first, last});
      }
    }
  }

  std::sort(spans.begin(), spans.end(), [](const RowSpan& a, const RowSpan& b) {
    return a.first != b.first ? a.first < b.first : a.last < b.last;
  });
  std::size_t merged = 0;
  for (std::size_t k = 0; k < spans.size(); ++k) {
    if (merged > 0 && static_cast<std::int64_t>(spans[k].first) <= static_cast<std::int64_t>(spans[merged - 1].last) + 1) {
      spans[merged - 1].last = std::max(spans[merged - 1].last, spans[k].last);
    } else {
      spans[merged++] = spans[k];
    }
  }
  spans.resize(merged);
}

RegionResult rasterise_region(const std::vector<MapRing>& rings, std::vector<std::uint64_t> refused) {
  struct Sorted {
    OutlineSegment segment;
    std::int32_t first_column;
    std::int32_t last_column;
  };
  std::vector<Sorted> segments;
  for (const MapRing& ring : rings) {
    const std::size_t m = ring.points.size();
    for (std::size_t j = 0; j < m; ++j) {
      const auto& p = ring.points[j];
      const auto& q = ring.points[(j + 1) % m];
      OutlineSegment s{p[0], p[1], q[0], q[1], ring.index};
      segments.push_back({s, cell_floor((std::min(s.x0, s.x1) - 32.0) * kInvCell),
                          cell_floor((std::max(s.x0, s.x1) + 32.0) * kInvCell)});
    }
  }
  Region region;
  region.refused = std::move(refused);
  if (segments.empty()) return region;
  std::stable_sort(segments.begin(), segments.end(),
                   [](const Sorted& a, const Sorted& b) { return a.first_column < b.first_column; });
  std::int64_t last_column = segments.front().last_column;
  for (const Sorted& s : segments) last_column = std::max<std::int64_t>(last_column, s.last_column);

  std::vector<OutlineSegment> active;
  std::vector<std::int32_t> active_last;
  std::vector<RowSpan> spans;
  std::vector<Crossing> crossings;
  std::uint64_t total = 0;
  for (int pass = 0; pass < 2; ++pass) {
    active.clear();
    active_last.clear();
    std::size_t next = 0;
    for (std::int64_t c = segments.front().first_column; c <= last_column; ++c) {
      if (active.empty() && next < segments.size() && segments[next].first_column > c) {
        c = segments[next].first_column;  // nothing reaches the columns in between
      }
      for (; next < segments.size() && segments[next].first_column <= c; ++next) {
        active.push_back(segments[next].segment);
        active_last.push_back(segments[next].last_column);
      }
      std::size_t kept = 0;
      for (std::size_t k = 0; k < active.size(); ++k) {
        if (active_last[k] < c) continue;
        active[kept] = active[k];
        active_last[kept] = active_last[k];
        ++kept;
      }
      active.resize(kept);
      active_last.resize(kept);
      const auto column = static_cast<std::int32_t>(c);
      rasterise_rings(column, active, spans, crossings);
      if (pass == 0) {
        for (const RowSpan& s : spans)
          total = saturating_add(total, static_cast<std::uint64_t>(static_cast<std::int64_t>(s.last) - s.first + 1));
      } else if (!spans.empty()) {
        region.columns.emplace(column, spans);
      }
    }
    if (pass == 0 && total > kRegionCellCap) return failure(RegionError{RegionError::Kind::kCells, total, kRegionCellCap});
  }
  region.cells = total;
  return region;
}

RegionResult region_by_tm(const AreaList& areas, const TmParams& tm, LatLon centre) {
  std::vector<bool> accepted;
  if (auto checked = accept_rings(areas, centre, accepted); !checked) return failure(checked.error());
  std::vector<MapRing> converted;
  for (std::size_t r = 0; r < areas.size(); ++r) {
    if (!accepted[r]) continue;
    MapRing ring{r, {}};
    for (const LatLon& p : densify_ring(areas[r])) {
      const auto [pn, qn] = tm_forward(p.lat, p.lon - tm.central_meridian);
      ring.points.push_back({pn * tm.scale + tm.x_offset, qn * tm.scale + tm.z_offset});
    }
    converted.push_back(std::move(ring));
  }
  std::vector<bool> refused_by_conversion(areas.size(), false);
  return finish(areas, accepted, converted, refused_by_conversion);
}

RegionResult region_by_host(const AreaList& areas, const TheatreRef& theatre, LatLon centre,
                            std::chrono::nanoseconds wait, const ConvertPoints& convert) {
  std::vector<bool> accepted;
  if (auto checked = accept_rings(areas, centre, accepted); !checked) return failure(checked.error());
  std::vector<std::vector<LatLon>> densified(areas.size());
  std::vector<LatLon> all;
  for (std::size_t r = 0; r < areas.size(); ++r) {
    if (!accepted[r]) continue;
    densified[r] = densify_ring(areas[r]);
    all.insert(all.end(), densified[r].begin(), densified[r].end());
  }
  std::sort(all.begin(), all.end(), [](const LatLon& a, const LatLon& b) {
    if (total_order_key(a.lat) != total_order_key(b.lat)) return total_order_less(a.lat, b.lat);
    return total_order_less(a.lon, b.lon);
  });
  all.erase(std::unique(all.begin(), all.end(),
                        [](const LatLon& a, const LatLon& b) { return bits_of(a) == bits_of(b); }),
            all.end());

  HashMap<PointBits, std::array<double, 2>> map_of;
  if (!all.empty()) {
    std::vector<std::array<double, 2>> points;
    points.reserve(all.size());
    for (const LatLon& p : all) points.push_back({p.lat, p.lon});
    const Conversions answers = convert(points, PointKind::kGeographicToMap, theatre, wait);
    if (answers.some_unanswered || answers.results.size() != points.size()) {
      return failure(RegionError{RegionError::Kind::kUnanswered, 0, 0});
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
      const ConversionResult& result = answers.results[i];
      if (result.state == ConversionResult::State::kUnanswered)
        return failure(RegionError{RegionError::Kind::kUnanswered, 0, 0});
      if (result.state == ConversionResult::State::kPair) map_of.emplace(bits_of(all[i]), std::array{result.a, result.b});
    }
  }

  std::vector<MapRing> converted;
  std::vector<bool> refused_by_conversion(areas.size(), false);
  for (std::size_t r = 0; r < areas.size(); ++r) {
    if (!accepted[r]) continue;
    MapRing ring{r, {}};
    for (const LatLon& p : densified[r]) {
      const auto it = map_of.find(bits_of(p));
      if (it == map_of.end()) {
        refused_by_conversion[r] = true;
        break;
      }
      ring.points.push_back(it->second);
    }
    converted.push_back(std::move(ring));
  }
  return finish(areas, accepted, converted, refused_by_conversion);
}

}  // namespace qm
