#pragma once
// Checks on triangle lists shared by the tests of the refinement's finishing stages.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace qm::mesh::test {

using Tri = std::array<std::uint64_t, 3>;
using P3 = std::array<double, 3>;

inline double signed_area(const std::vector<P3>& v, const Tri& t) {
  const P3 &a = v[t[0]], &b = v[t[1]], &c = v[t[2]];
  return 0.5 * ((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
}

inline double total_area(const std::vector<P3>& v, const std::vector<Tri>& tris) {
  double sum = 0.0;
  for (const Tri& t : tris) sum += std::fabs(signed_area(v, t));
  return sum;
}

// The directed boundary edges of a triangle list: directed edges whose reverse is not used.
inline std::multiset<std::pair<std::uint64_t, std::uint64_t>> boundary(const std::vector<Tri>& tris) {
  std::multiset<std::pair<std::uint64_t, std::uint64_t>> directed, out;
  for (const Tri& t : tris) {
    for (int k = 0; k < 3; ++k) directed.insert({t[k], t[(k + 1) % 3]});
  }
  for (const auto& [a, b] : directed) {
    if (directed.count({b, a}) == 0) out.insert({a, b});
  }
  return out;
}

// A valid triangulation of the same region as `before`: every triangle counter-clockwise with a
// positive area, every directed edge used once (so no two triangles overlap along an edge), the
// same boundary and the same area.
inline void expect_same_region(const std::vector<P3>& v, const std::vector<Tri>& before,
                               const std::vector<Tri>& after) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> directed;
  for (const Tri& t : after) {
    EXPECT_GT(signed_area(v, t), 0.0) << t[0] << " " << t[1] << " " << t[2];
    for (int k = 0; k < 3; ++k) {
      EXPECT_TRUE(directed.insert({t[k], t[(k + 1) % 3]}).second) << "edge used twice";
    }
  }
  EXPECT_EQ(boundary(before), boundary(after));
  EXPECT_NEAR(total_area(v, before), total_area(v, after), 1e-9 * (1.0 + total_area(v, before)));
}

}  // namespace qm::mesh::test
