#pragma once
// The point set that the face build and the refine pass work on: every sample of a finished
// sampling run's levels, deduplicated on a half-unit key, with the starting faces (groups of
// samples that the sampler's patch planes explain, merged where their planes agree).
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"
#include "mesh/grid/plane.hpp"

namespace qm::mesh {

// (round(2x), round(2y)), halves away from zero, saturated to i64 (NaN gives 0).
using HalfUnitKey = std::pair<std::int64_t, std::int64_t>;

inline constexpr std::uint32_t kFirstGrownFaceBase = 10000000u;
// No face id is ever this value: it stays free as a "no face" mark.
inline constexpr std::uint32_t kNoFace = 0xFFFFFFFFu;

struct RefinePoints {
  CellGrid cell_grid;                                // a clone of the group's cell grid
  std::vector<double> xs;                            // x relative to the origin, per point
  std::vector<double> ys;                            // y relative to the origin, per point
  std::vector<double> hs;                            // height, per point
  std::vector<std::vector<std::uint32_t>> point_faces;  // per point, its face ids ascending
  HashMap<HalfUnitKey, std::uint64_t> point_keys;    // half-unit key -> point index
  PlaneMap planes;                                   // face id -> plane
  std::map<std::uint32_t, std::vector<std::uint64_t>> members;  // face id -> member points
  std::int32_t origin_x = 0;                         // the lattice centre in terrain units
  std::int32_t origin_y = 0;
  std::uint32_t radius = 0;                          // the lattice radius (carried, not read)
  // The last face id handed out. At least kFirstGrownFaceBase and at least the largest id of a
  // starting face, so ids from next_face_id never collide with one in use.
  std::uint32_t last_face_id = kFirstGrownFaceBase;
};

// The caller's origin record: the lattice centre and radius.
struct RefineOrigin {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t radius = 0;
};

// The origin record of a lattice: its centre corner and radius.
inline RefineOrigin refine_origin(const Lattice& lattice) {
  return RefineOrigin{lattice.centre_x, lattice.centre_y, static_cast<std::uint32_t>(lattice.radius)};
}

HalfUnitKey half_unit_key(double x, double y);

// Adds the point unless its key is present: false and no change when it is, else the point is
// appended with an empty face list and true is returned.
bool add_point(RefinePoints& points, double x, double y, double h);

// The next free face id (last_face_id + 1, which becomes the new last_face_id). Running out of
// ids (the next would be kNoFace) is a fault.
std::uint32_t next_face_id(RefinePoints& points);

// The point set of a finished run's levels (first to last) over the group's cell grid.
RefinePoints build_refine_points(const RefineOrigin& origin, const CellGrid& cell_grid,
                                 const std::vector<Level>& levels);

}  // namespace qm::mesh
