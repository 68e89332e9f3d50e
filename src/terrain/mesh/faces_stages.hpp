#pragma once
// The later stages of the face build, run by faces_build in this order: spread, grow (refine mode
// only), explain. Internal to the face build.
#include "terrain/mesh/faces.hpp"

namespace qm::mesh::faces_stages {

// Candidate faces per point: each point's own faces, spread to neighbours on their planes.
std::vector<std::vector<std::uint32_t>> spread(const RefinePoints& work, const PointAdjacency& adjacency);

// New faces over connected flat patches of triangles that no candidate reaches; replaces the
// candidates when it made a face.
void grow(RefinePoints& work, const PointAdjacency& adjacency, const std::vector<std::array<std::uint64_t, 3>>& triangles,
          std::vector<std::vector<std::uint32_t>>& candidates);

// The verdicts of the kept triangles into faces; false when the stop poll answered true.
bool explain(const RefinePoints& work, FaceSet& faces, const StopCheck& stop);

}  // namespace qm::mesh::faces_stages
