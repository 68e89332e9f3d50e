#pragma once
// The face build: explains a point set with planar faces. It Delaunay-triangulates the points,
// keeps the triangles over the cells being built, merges neighbouring faces that one plane fits
// (refine mode), spreads every face to the neighbouring points on its plane, grows new faces over
// flat patches no face reaches (refine mode), and gives every kept triangle a verdict.
//
// Two callers: the refine pass (mode 1, on the sampler thread) and the piece build (mode 0, on the
// builder thread, on a copy of the group's point set). Mode 0 changes nothing in the point set.
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/plane.hpp"
#include "mesh/faces/refine_points.hpp"
#include "mesh/grid/stop_check.hpp"
#include "mesh/triangulation/triangulation.hpp"

namespace qm::mesh {

// How a kept triangle is explained.
enum class TriangleKind : std::uint8_t {
  Flat = 0,         // one face holds all three corners
  Crease = 1,       // two faces whose planes cross inside the triangle
  Junction = 2,     // three faces whose planes meet inside the triangle
  Faceless = 3,     // a corner has no face at all
  Unexplained = 4,  // faces everywhere, but no flat, crease or junction choice fits
};

// The face used at each corner of a kept triangle; present is 1 for Flat, Crease and Junction.
struct TriangleFaces {
  std::uint32_t present = 0;
  std::array<std::uint32_t, 3> faces{kNoFace, kNoFace, kNoFace};
};

struct FaceSet {
  std::vector<std::array<std::uint64_t, 3>> triangles;     // kept triangles, counter-clockwise
  std::vector<TriangleKind> triangle_kinds;                 // one per kept triangle
  std::vector<TriangleFaces> triangle_faces;                // one per kept triangle
  std::vector<std::vector<std::uint32_t>> point_candidates;  // per point, ascending face ids
  std::vector<std::uint32_t> triangle_handles;  // per kept triangle: its triangulation index + 1
  Triangulation triangulation;                  // of all the points; kept for location in the refine mode only
};

inline constexpr std::uint8_t kPieceMode = 0;
inline constexpr std::uint8_t kRefineMode = 1;

// Points within this height of a face's plane lie on it; fits within it make one face.
inline constexpr double kFaceTolerance = 0.05;

// The face build over work (mode 0: piece build, any other value: refine pass). The stop poll is
// asked between stages and every 4096 triangles of the verdicts. Nothing when it answered true;
// what the refine mode's merge and grow changed in work then stays changed.
// Faults: "finite, distinct samples" for points the triangulation refuses, "no entry found for key"
// for a face id without a plane (or members), "index out of range" for short columns.
std::optional<FaceSet> faces_build(RefinePoints& work, std::uint8_t mode, StopCheck stop);

// The representative face of id in a union-find parent map, halving the path it walks.
// An id missing from the map is the fault "no entry found for key".
std::uint32_t face_index(HashMap<std::uint32_t, std::uint32_t>& parent, std::uint32_t id);

// Points and their neighbours through the kept triangles: the neighbours of p are
// neighbours[offsets[p] .. offsets[p + 1]), p itself included, ascending, each once.
struct PointAdjacency {
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> neighbours;
};

PointAdjacency point_adjacency(std::size_t point_count, const std::vector<std::array<std::uint64_t, 3>>& triangles);

// Every point's faces grown along neighbour links through points that lie on a face's plane.
std::vector<std::vector<std::uint32_t>> faces_walk(const RefinePoints& work, const PointAdjacency& adjacency);

// The face-plane operations over a point set.
inline double plane_height(const RefinePoints& work, std::uint32_t id, double x, double y) {
  return plane_height(work.planes, id, x, y);
}
inline std::optional<MeetPoint> planes_meet_in_triangle(const RefinePoints& work,
                                                        const std::array<std::uint64_t, 3>& corners,
                                                        const std::array<std::uint32_t, 3>& faces) {
  return planes_meet_in_triangle(work.planes, work.xs, work.ys, corners, faces);
}

}  // namespace qm::mesh
