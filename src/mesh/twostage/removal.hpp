#pragma once
// Vertex removal, the stage of the two-stage refinement after the insertion rounds: a vertex that
// a round added is taken out again when the hole its triangles leave can be filled by a
// triangulation that stays within 0.25 of the reference surface and does not make the worst angle
// around the vertex worse (any angle of 10 degrees or more counts as good enough).
//
// The stage works on the triangle list only: the working mesh is read, never changed, and a
// removed vertex simply stays in it with no triangle naming it.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "mesh/grid/stop_check.hpp"

namespace qm::mesh {

struct TwostageMesh;

// The angle, in degrees, from which a worst angle counts as good enough in the angle rules of
// vertex removal and of edge flips.
inline constexpr double kAngleCap = 10.0;

using VertexTriangle = std::array<std::uint64_t, 3>;

// The smallest interior angle, in degrees, of the triangle p0 p1 p2 in the x-y plane (z is not
// read): from 0 to 180, never NaN. A corner with a zero-length side measures 90 degrees.
double min_angle_degrees(const std::array<double, 3>& p0, const std::array<double, 3>& p1,
                         const std::array<double, 3>& p2);

// A face of a triangulation of a hole: three indices into the ring, counter-clockwise.
using RingFace = std::array<std::uint32_t, 3>;

// What loading a hole's ring into a constrained triangulation gave.
struct HoleLoad {
  bool loaded = false;          // false when the triangulation refused the points
  bool conflict = false;        // a side of the ring conflicted with one already inserted
  std::size_t vertex_count = 0;  // vertices of the triangulation (fewer than the ring: merged points)
  std::vector<RingFace> faces;  // its inner faces, in the triangulation's order
};

// Fills a hole from a load of its ring: the faces whose centroid lies inside the ring (even-odd
// rule), mapped to mesh vertex indices through the ring and made counter-clockwise. Nothing when
// the load failed, had a conflict, lost a ring point, or did not give exactly n - 2 triangles.
std::optional<std::vector<VertexTriangle>> fill_hole(std::span<const std::uint64_t> ring,
                                                     std::span<const std::array<double, 2>> points,
                                                     const HoleLoad& load);

// Triangulates the hole of a ring of mesh vertices (counter-clockwise, with their points) by one
// constrained bulk load with the ring's sides as constraints; see `fill_hole`. Nothing also when
// the triangulation refuses a point.
std::optional<std::vector<VertexTriangle>> triangulate_hole(std::span<const std::uint64_t> ring,
                                                            std::span<const std::array<double, 2>> points);

// The parts of the working mesh that removal reads.
struct RemovalMesh {
  std::span<const std::array<double, 3>> vertices;  // x, y local
  std::span<const std::uint8_t> stages;             // stage code per vertex
  const std::set<std::pair<std::uint64_t, std::uint64_t>>* edges;  // mesh edges (a < b)
};

struct RemovalHooks {
  // The deviation error of a new triangle against the reference surface.
  std::function<double(std::uint64_t a, std::uint64_t b, std::uint64_t c)> error;
  // Whether the build is to stop; read on the first candidate visit and every 64th after it.
  std::function<bool()> stop;
  // Fills the hole of a ring of mesh vertices (counter-clockwise) given with their points.
  using Fill = std::function<std::optional<std::vector<VertexTriangle>>(std::span<const std::uint64_t>,
                                                                        std::span<const std::array<double, 2>>)>;
  Fill fill;
};

// Removes what vertices it can (stage code above 1, on no mesh edge) and replaces the triangle
// list with the survivors in input order followed by the new triangles, all counter-clockwise.
// Gives the number removed, or nothing when a stop was seen (the list is then left untouched).
std::optional<std::uint64_t> remove_vertices(const RemovalMesh& mesh, std::vector<VertexTriangle>& triangles,
                                             const RemovalHooks& hooks);

// The vertex removal stage of one piece (the caller times it as "twostage.remove"): new triangles
// are measured against the reference surface with the deviation probe of the working mesh,
// sharing the caller's scratch list; the stop poll is read as `remove_vertices` says.
std::optional<std::uint64_t> twostage_remove(const TwostageMesh& mesh, std::vector<VertexTriangle>& triangles,
                                             std::vector<std::uint32_t>& scratch, const StopCheck& stop);

}  // namespace qm::mesh
