// The explain stage of the face build: a verdict per kept triangle, from the faces its corners
// lie on.
#include <algorithm>
#include <cmath>

#include "base/span.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/faces_stages.hpp"

namespace qm::mesh::faces_stages {

namespace {

enum class Side : std::uint8_t { Crossing, Above, Below };

// Two faces g < g2 chosen at the corners cross inside the triangle when the corners of each face
// lie on opposite sides of the line where the planes cross (or all of one face's corners on it).
bool crease_passes(const RefinePoints& work, const std::array<std::uint64_t, 3>& corners,
                   const std::array<std::uint32_t, 3>& chosen, std::uint32_t g, std::uint32_t g2) {
  const Plane& pg = face_plane(work.planes, g);
  const Plane& pg2 = face_plane(work.planes, g2);
  bool g_above = false, g_below = false, g2_above = false, g2_below = false;
  for (int k = 0; k < 3; ++k) {
    const std::uint64_t p = corners[static_cast<std::size_t>(k)];
    const double d = pg.height(work.xs[p], work.ys[p]) - pg2.height(work.xs[p], work.ys[p]);
    const Side side = d > kFaceTolerance ? Side::Above : d < -kFaceTolerance ? Side::Below : Side::Crossing;
    if (side == Side::Crossing) continue;
    const bool is_g = chosen[static_cast<std::size_t>(k)] == g;
    bool& above = is_g ? g_above : g2_above;
    bool& below = is_g ? g_below : g2_below;
    (side == Side::Above ? above : below) = true;
  }
  if ((g_above && g_below) || (g2_above && g2_below)) return false;
  if (!(g_above || g_below) || !(g2_above || g2_below)) return true;
  return g_above != g2_above;
}

double face_error(const RefinePoints& work, const std::array<std::uint64_t, 3>& corners, std::uint32_t id) {
  const Plane& plane = face_plane(work.planes, id);
  double error = 0.0;
  for (const std::uint64_t p : corners) {
    const double e = std::fabs(plane.height(work.xs[p], work.ys[p]) - work.hs[p]);
    if (e > error) error = e;  // NaN ignored
  }
  return error;
}

}  // namespace

bool explain(const RefinePoints& work, FaceSet& faces, const StopCheck& stop) {
  SpanTimer span("faces.explain");
  const std::size_t count = faces.triangles.size();
  faces.triangle_kinds.reserve(count);
  faces.triangle_faces.reserve(count);
  for (std::size_t t = 0; t < count; ++t) {
    if (t % 4096 == 4095 && stop()) return false;
    const auto& corners = faces.triangles[t];
    const auto& l0 = faces.point_candidates[corners[0]];
    const auto& l1 = faces.point_candidates[corners[1]];
    const auto& l2 = faces.point_candidates[corners[2]];
    if (l0.empty() || l1.empty() || l2.empty()) {
      faces.triangle_kinds.push_back(TriangleKind::Faceless);
      faces.triangle_faces.push_back(TriangleFaces{});
      continue;
    }

    // One face common to all three corners: the one that fits them best (the smaller id on ties).
    bool flat = false;
    std::uint32_t best = 0;
    double best_error = 0.0;
    for (const std::uint32_t id : l0) {
      if (!holds(l1, id) || !holds(l2, id)) continue;
      const double error = face_error(work, corners, id);
      if (!flat || error < best_error) {
        best = id;
        best_error = error;
        flat = true;
      }
    }
    if (flat) {
      faces.triangle_kinds.push_back(TriangleKind::Flat);
      faces.triangle_faces.push_back(TriangleFaces{1, {best, best, best}});
      continue;
    }

    // A crease (the first passing choice of two faces) wins over a junction (the first passing
    // choice of three) wherever it comes in the enumeration.
    std::optional<std::array<std::uint32_t, 3>> junction;
    std::optional<std::array<std::uint32_t, 3>> crease;
    for (const std::uint32_t f0 : l0) {
      for (const std::uint32_t f1 : l1) {
        for (const std::uint32_t f2 : l2) {
          const std::array<std::uint32_t, 3> chosen{f0, f1, f2};
          const bool e01 = f0 == f1, e12 = f1 == f2, e02 = f0 == f2;
          if (e01 && e12) continue;
          if (e01 || e12 || e02) {
            const std::uint32_t lo = std::min({f0, f1, f2});
            const std::uint32_t hi = std::max({f0, f1, f2});
            if (crease_passes(work, corners, chosen, lo, hi)) {
              crease = chosen;
              break;
            }
          } else if (!junction && planes_meet_in_triangle(work, corners, chosen)) {
            junction = chosen;
          }
        }
        if (crease) break;
      }
      if (crease) break;
    }
    if (crease) {
      faces.triangle_kinds.push_back(TriangleKind::Crease);
      faces.triangle_faces.push_back(TriangleFaces{1, *crease});
    } else if (junction) {
      faces.triangle_kinds.push_back(TriangleKind::Junction);
      faces.triangle_faces.push_back(TriangleFaces{1, *junction});
    } else {
      faces.triangle_kinds.push_back(TriangleKind::Unexplained);
      faces.triangle_faces.push_back(TriangleFaces{});
    }
  }
  return true;
}

}  // namespace qm::mesh::faces_stages
