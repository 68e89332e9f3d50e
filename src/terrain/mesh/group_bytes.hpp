#pragma once
// The heap bytes that the structures of a sampled group hold, counted from their own sizes
// (heap_bytes.hpp): the sampling run with its lattice and levels, the refine pass's point set, its
// face build and the rest of its work.
#include <cstdint>

#include "terrain/mesh/cell_grid.hpp"
#include "terrain/mesh/faces.hpp"
#include "terrain/mesh/lattice.hpp"
#include "terrain/mesh/refine_pass.hpp"
#include "terrain/mesh/refine_points.hpp"
#include "terrain/mesh/sampling_run.hpp"

namespace qm::mesh {

std::uint64_t heap_bytes(const CellGrid& grid);
std::uint64_t heap_bytes(const Level& level);
std::uint64_t heap_bytes(const Lattice& lattice);
std::uint64_t heap_bytes(const SamplingRun& run);
std::uint64_t heap_bytes(const RefinePoints& points);
std::uint64_t heap_bytes(const FaceSet& faces);
std::uint64_t heap_bytes(const FaceWork& work);

}  // namespace qm::mesh
