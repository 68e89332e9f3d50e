#include "terrain/mesh/refine_points.hpp"

#include <cmath>

#include "module/fault.hpp"
#include "module/numeric.hpp"

namespace qm::mesh {

HalfUnitKey half_unit_key(double x, double y) {
  return {saturate<std::int64_t>(round_half_away(2.0 * x)), saturate<std::int64_t>(round_half_away(2.0 * y))};
}

bool add_point(RefinePoints& points, double x, double y, double h) {
  const auto [it, inserted] = points.point_keys.try_emplace(half_unit_key(x, y), points.xs.size());
  if (!inserted) return false;
  const std::size_t n = it->second;
  try {
    points.xs.push_back(x);
    points.ys.push_back(y);
    points.hs.push_back(h);
    points.point_faces.emplace_back();
  } catch (...) {
    // Keep the columns and the key map in step when memory runs out half way.
    points.point_keys.erase(it);
    points.xs.resize(n);
    points.ys.resize(n);
    points.hs.resize(n);
    points.point_faces.resize(n);
    throw;
  }
  return true;
}

std::uint32_t next_face_id(RefinePoints& points) {
  check(points.last_face_id < kNoFace - 1, "face ids are used up");
  return ++points.last_face_id;
}

}  // namespace qm::mesh
