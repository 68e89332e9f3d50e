#pragma once
// The heap bytes that the structures of a sampled group hold, counted from their own sizes
// (heap_bytes.hpp): the sampling run with its lattice and levels, the refine pass's point set, its
// face build and the rest of its work.
#include <cstdint>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/sampling/lattice.hpp"
#include "mesh/refine/refine_pass.hpp"
#include "mesh/faces/refine_points.hpp"
#include "mesh/sampling/sampling_run.hpp"

namespace qm::mesh {

std::uint64_t heap_bytes(const CellGrid& grid);
std::uint64_t heap_bytes(const Level& level);
std::uint64_t heap_bytes(const Lattice& lattice);
std::uint64_t heap_bytes(const SamplingRun& run);
std::uint64_t heap_bytes(const RefinePoints& points);
std::uint64_t heap_bytes(const FaceSet& faces);
std::uint64_t heap_bytes(const FaceWork& work);

}  // namespace qm::mesh
