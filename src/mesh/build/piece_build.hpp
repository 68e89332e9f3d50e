#pragma once
// The piece build: one sampled group of 64-unit cells becomes one mesh piece over all its cells.
// The builder thread hands over the group's request, a snapshot of the stored pieces the build
// reads, and a stop poll over its two stop flags; the build takes no lock, changes neither the
// request nor the snapshot, and asks the stop poll between its stages.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/refine/refine_pass.hpp"
#include "mesh/sampling/sampling_run.hpp"
#include "mesh/outline/cell_mesh.hpp"
#include "mesh/outline/outline.hpp"
#include "mesh/grid/stop_check.hpp"
#include "mesh/twostage/twostage.hpp"

namespace qm::mesh {

// A cell the build depends on, with the piece that held it when the request was made.
struct CellHolder {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::optional<std::uint64_t> holder;  // none: no piece held the cell

  friend bool operator==(const CellHolder&, const CellHolder&) = default;
};

// The build request of a sampled group (made by the sampler; the build only reads it).
struct BuildRequest {
  std::vector<CellHolder> holders;
  std::optional<SamplingRun> sampling;  // none: the build yields Plain; the fields below are read only with it
  std::uint8_t phase = 0;               // 1: sampled
  std::optional<FaceWork> refined;      // the group's samples after the refine pass
  std::uint8_t refine_done = 0;         // non-zero once the refine pass has ended
  std::set<Cell> cells;                 // the group's cells
  std::set<Cell> ring;                  // the group's cells that older pieces still hold
};

// What the builder copies out of the store for one build.
struct BuildSnapshot {
  HashMap<Cell, std::uint64_t> holder_map;      // cell -> holding piece, for every held holder of the request
  std::map<std::uint64_t, CellMesh> meshes;     // piece id -> its stored mesh, for every id of holder_map
  std::shared_ptr<std::atomic<bool>> cancel;    // the group's cancel flag
  std::uint64_t key = 0;                        // the group's key (not read by the build)
};

// The builder's stop condition: the group's cancel flag and the terrain work state's stop flag,
// both owned by the caller and set by other threads at any time. They carry a request to stop and
// nothing else (what a cancel means is settled under the schedule lock), so any ordering will do.
struct StopFlags {
  const std::atomic<bool>* cancel = nullptr;
  const std::atomic<bool>* stop = nullptr;
};

// True when the build is to stop: the cancel flag is tested first, then the stop flag.
// A flag that `flags` does not name counts as clear.
bool scheme_cancelled(const StopFlags& flags);

// The stop poll over the flags, asking `scheme_cancelled` (it keeps a reference to `flags`).
StopCheck scheme_stop_check(const StopFlags& flags);

// One older piece that gives up cells to the new piece.
struct RecutPiece {
  std::uint64_t id = 0;
  std::set<Cell> cells_before;     // the older piece's cells as the snapshot had them
  std::optional<CellMesh> mesh;    // the piece cut back to the cells it keeps; none when it keeps none

  friend bool operator==(const RecutPiece&, const RecutPiece&) = default;
};

// The outcome of one piece build. Plain and Built carry `holders`, `recut` and `mesh` alike
// (Plain: an empty `recut`, no mesh); Stopped carries nothing.
struct MeshPiece {
  enum class Kind : std::uint8_t { Plain = 0, Built = 1, Stopped = 2 };
  Kind kind = Kind::Stopped;
  BuildCounters counters;             // Built only
  std::vector<CellHolder> holders;    // a copy of the request's holders
  std::vector<RecutPiece> recut;      // ascending by id
  std::optional<CellMesh> mesh;       // the new piece (Built only); its id is 0, its cells the request's

  static MeshPiece stopped() { return MeshPiece{}; }
  bool is_plain() const { return kind == Kind::Plain; }
  bool is_built() const { return kind == Kind::Built; }
  bool is_stopped() const { return kind == Kind::Stopped; }
};

// Builds the piece of one sampled group. Runs on the calling thread with no lock held; reads the
// request and the snapshot only. Faults (each a broken invariant of the caller's data): "a request
// is built once sampled", "a ring cell is held", "no entry found for key", and those of the stages.
MeshPiece scheme_build(const BuildRequest& request, const BuildSnapshot& snapshot, const StopCheck& stop);

}  // namespace qm::mesh
