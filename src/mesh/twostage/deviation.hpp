#pragma once
// The deviation probe: how far, vertically, a triangle of the working mesh strays from the
// reference surface, and where. It looks at every place in the triangle where the reference can
// bend (reference points inside it, crossings of reference edges with its sides) and reports the
// worst. The refinement decides with it where vertices go, whether one may leave, and what a flip
// costs.
#include <array>
#include <cstdint>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/twostage/working_mesh.hpp"

namespace qm::mesh {

// The vertical tolerance of the refinement: the rounds refine a triangle whose deviation error
// exceeds it, a vertex removal may not leave such a triangle, and an edge flip may raise the
// deviation up to it.
inline constexpr double kVerticalTolerance = 0.25;

struct Deviation {
  static constexpr std::uint32_t kPoint = 0;     // a reference point inside the triangle
  static constexpr std::uint32_t kCrossing = 1;  // a reference edge crossing a side of it
  static constexpr std::uint32_t kNothing = 2;   // nothing found, or a degenerate triangle

  double error = 0.0;  // |height on the triangle - reference height| at the worst feature
  double x = 0.0;      // the feature's position (kinds 0 and 1 only)
  double y = 0.0;
  double z_ref = 0.0;  // the reference height there (kinds 0 and 1 only)
  std::uint32_t kind = kNothing;
  std::uint32_t index = 0;  // reference point (kind 0) or reference edge (kind 1)
};

// Deviations by the sorted vertex triple, filled on first request and never changed.
using DeviationKey = std::array<std::uint64_t, 3>;
using DeviationMemo = HashMap<DeviationKey, Deviation>;

// The worst deviation of the triangle a, b, c ([x, y, z] each) from the reference. The scratch list
// is the caller's, lent to every probe so that a stage allocates once; its contents mean nothing.
Deviation probe_triangle(const ReferenceModel& model, const Point3& a, const Point3& b, const Point3& c,
                         std::vector<std::uint32_t>& scratch);

// The same on the working mesh's positions of three vertices against its reference; when one of
// them is fixed, a feature within 0.001 of a fixed edge never counts. An index beyond the vertex
// list is the fault "index out of range".
Deviation check_triangle(const TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                         std::vector<std::uint32_t>& scratch);

// check_triangle of the sorted triple, through the memo.
Deviation triangle_deviation(const TwostageMesh& mesh, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                             DeviationMemo& memo, std::vector<std::uint32_t>& scratch);

}  // namespace qm::mesh
