#pragma once
// The later stages of the face build, run by faces_build in this order: spread, grow (refine mode
// only), explain. Internal to the face build.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "mesh/faces/faces.hpp"

namespace qm::mesh::faces_stages {

// Whether the height h at (x, y) lies on the plane, within the face tolerance; NaN never does.
inline bool on_plane(const Plane& plane, double x, double y, double h) {
  return std::fabs(plane.height(x, y) - h) <= kFaceTolerance;
}

// Membership in, and insertion into, a sorted list of face ids.
inline bool holds(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

inline void insert_sorted(std::vector<std::uint32_t>& ids, std::uint32_t id) {
  ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
}

// Candidate faces per point: each point's own faces, spread to neighbours on their planes.
std::vector<std::vector<std::uint32_t>> spread(const RefinePoints& work, const PointAdjacency& adjacency);

// New faces over connected flat patches of triangles that no candidate reaches; replaces the
// candidates when it made a face.
void grow(RefinePoints& work, const PointAdjacency& adjacency, const std::vector<std::array<std::uint64_t, 3>>& triangles,
          std::vector<std::vector<std::uint32_t>>& candidates);

// The verdicts of the kept triangles into faces; false when the stop poll answered true.
bool explain(const RefinePoints& work, FaceSet& faces, const StopCheck& stop);

}  // namespace qm::mesh::faces_stages
