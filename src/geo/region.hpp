#pragma once
// The map cells that a mesh request's area rings cover. Cell (c, r) covers map x from 64c to
// 64(c+1) and z from 64r to 64(r+1). A cell is covered when its square grown by 32 units on every
// side meets a ring's densified outline, or when its centre lies inside a ring by that ring's
// non-zero winding rule.
#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "geo/areas.hpp"
#include "host/map_conversions.hpp"
#include "geo/tm.hpp"
#include "platform/result.hpp"

namespace qm {

inline constexpr std::uint64_t kOutlinePointCap = 20000;
inline constexpr std::uint64_t kRegionCellCap = 400000;

struct RowSpan {
  std::int32_t first = 0;  // inclusive
  std::int32_t last = 0;   // inclusive
  friend bool operator==(const RowSpan&, const RowSpan&) = default;
};

struct Region {
  std::vector<std::uint64_t> refused;                     // ring indices, ascending
  std::map<std::int32_t, std::vector<RowSpan>> columns;  // sorted, disjoint, non-adjacent spans
  std::uint64_t cells = 0;
};

struct RegionError {
  enum class Kind { kOutlinePoints, kCells, kUnanswered };
  Kind kind = Kind::kUnanswered;
  std::uint64_t count = 0;
  std::uint64_t cap = 0;
};

using RegionResult = Result<Region, RegionError>;

// One ring converted to map coordinates (x, z), with its index in the request's area list.
struct MapRing {
  std::uint64_t index = 0;
  std::vector<std::array<double, 2>> points;
};

struct OutlineSegment {
  double x0 = 0.0, z0 = 0.0, x1 = 0.0, z1 = 0.0;
  std::uint64_t ring = 0;
};

struct Crossing {
  double z = 0.0;
  std::int32_t direction = 0;
  std::uint64_t ring = 0;
};

// The ring's vertices with intermediate points so that no piece of an edge spans more than 5000
// Web Mercator metres.
std::vector<LatLon> densify_ring(const AreaRing& ring);

// The spans of column c from the segments active there (spans is cleared first; crossings is scratch).
void rasterise_rings(std::int32_t c, const std::vector<OutlineSegment>& active, std::vector<RowSpan>& spans,
                     std::vector<Crossing>& crossings);

// The sweep shared by both builders: the cells of rings already in map coordinates (checking the
// cell cap), with the refused ring indices passed through.
RegionResult rasterise_region(const std::vector<MapRing>& rings, std::vector<std::uint64_t> refused);

// Rings converted with a fitted transverse Mercator; centre is the map origin's position.
RegionResult region_by_tm(const AreaList& areas, const TmParams& tm, LatLon centre);

// Rings converted by the host (the blocks projection), waiting at most `wait` for its answers.
RegionResult region_by_host(const AreaList& areas, const TheatreRef& theatre, LatLon centre,
                            std::chrono::nanoseconds wait, const ConvertPoints& convert);

}  // namespace qm
