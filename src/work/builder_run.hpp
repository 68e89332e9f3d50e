#pragma once
// The builder thread's loop: it takes one sampled group at a time, checks that the store still
// holds what the group was sampled against, copies what the piece build reads under the schedule
// lock, builds the piece with the lock released, and retakes the lock to commit the piece to the
// store or to count why it is not committed. Every outcome wakes the mesh streams and the sampler.
#include <cstdint>
#include <vector>

#include "mesh/build/piece_build.hpp"
#include "work/terrain_state.hpp"

namespace qm::work {

// Whether every item agrees with the store's cell map: a present item names the key that covers
// its cell now, an absent one a cell that nothing covers.
bool snapshot_matches(const Store& store, const std::vector<mesh::CellHolder>& items);

// Whether every item's cell is still covered, or still free, as the item says; which entry covers
// a covered cell does not matter. A group's frame passes this from its plan to its build when no
// cell of it was built or emptied meanwhile: a neighbour that a commit re-cut (and so stored under
// a new key) does not cost the group its sampling.
bool coverage_matches(const Store& store, const std::vector<mesh::CellHolder>& items);

// What the build reads instead of the store, copied under the schedule lock (span
// "scheme.snapshot"). A present item whose key the store lacks is the fault "no entry found for key".
mesh::BuildSnapshot make_build_snapshot(const Store& store, const std::vector<mesh::CellHolder>& items,
                                        CancelFlag cancel, std::uint64_t group_id);

// The piece build as the builder calls it; tests give their own.
using PieceBuild = mesh::MeshPiece (*)(const mesh::BuildRequest&, const mesh::BuildSnapshot&, const mesh::StopCheck&);

// What one pass of the builder did.
enum class BuilderStep : std::uint8_t { Idle, Built };

// One pass: builds and settles at most one group. Idle when no group was ready (or one is in build).
BuilderStep builder_step(TerrainState& state, PieceBuild build = &mesh::scheme_build);

// The builder thread's loop; returns only when the stop flag is set.
void builder_run(TerrainState& state, PieceBuild build = &mesh::scheme_build);

}  // namespace qm::work
