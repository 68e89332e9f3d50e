#pragma once
// Face planes: a face of the face build is a set of points that share one plane, height =
// c + a*x + b*y in the coordinates of its point set. The least-squares fit of a plane over points,
// the height of a face's plane, and where three faces' planes meet inside a triangle.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "base/hashing.hpp"

namespace qm::mesh {

struct Plane {
  double c = 0.0;
  double a = 0.0;
  double b = 0.0;
  // Evaluated in this order everywhere, so that equal inputs give equal heights bit for bit.
  double height(double x, double y) const { return (c + a * x) + b * y; }
};

struct PlaneFit {
  Plane plane;
  double residual = 0.0;  // the largest absolute residual over the fitted points
};

// Face planes by face id.
using PlaneMap = HashMap<std::uint32_t, Plane>;

// Least-squares plane over the indexed points; a degenerate spread (one position, or one line) fits
// along its principal axis or with zero slopes. No points: c is NaN, slopes and residual 0.
// An index beyond any column is the fault "index out of range".
PlaneFit fit_face_plane(std::span<const double> xs, std::span<const double> ys, std::span<const double> hs,
                        std::span<const std::uint64_t> indices);

// The plane of a face id; a missing id is the fault "no entry found for key".
const Plane& face_plane(const PlaneMap& planes, std::uint32_t id);

inline double plane_height(const PlaneMap& planes, std::uint32_t id, double x, double y) {
  return face_plane(planes, id).height(x, y);
}

struct MeetPoint {
  double x;
  double y;
};

// Where the planes of faces[0..2] meet, when that point lies inside the triangle of the points
// corners[0..2] (smallest barycentric weight at least -1e-6). Nothing when along some triangle edge
// the two end faces' planes lie apart by more than 0.05 on the same side at both ends, when two
// planes are parallel, when the triangle is degenerate, or when anything is not finite.
std::optional<MeetPoint> planes_meet_in_triangle(const PlaneMap& planes, std::span<const double> xs,
                                                 std::span<const double> ys,
                                                 const std::array<std::uint64_t, 3>& corners,
                                                 const std::array<std::uint32_t, 3>& faces);

}  // namespace qm::mesh
