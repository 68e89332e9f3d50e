#pragma once
// The work plan that the sampler and builder threads and the mesh streams share, behind the
// schedule lock of the TerrainState: the jobs that mesh requests file, the sampled groups that the
// sampler files and the builder consumes, the cells whose build failed, the work counters and the
// Store. Every operation here expects the schedule lock held by its caller.
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mesh/build/piece_build.hpp"
#include "work/square_mask.hpp"
#include "work/store.hpp"

namespace qm {

inline constexpr std::uint64_t kDefaultJobByteLimit = 4194304;   // 4 MiB per job
inline constexpr std::uint64_t kEvictionLimit = 67108864;        // 64 MiB
inline constexpr std::uint64_t kReservationCap = 100663296;      // 96 MiB
inline constexpr std::uint64_t kOwnerSquareLimit = 4096;
inline constexpr std::uint64_t kUnmeasuredGroupBytes = 386547;   // mean group size before any build
inline constexpr std::uint64_t kRetryDelayNs = 5000000000ull;    // a released job's retry instant
inline constexpr std::uint64_t kGroupMemoryLimit = 268435456;    // 256 MiB: a group's estimated memory

// One page's terrain work.
struct Job {
  std::deque<std::uint64_t> pins;        // keys of Store entries for the stream to send, front first
  std::optional<std::uint64_t> retry;    // monotonic ns; none while the stream's lease is held
  SharedText theatre;
  SquareMask wanted;                     // cells still to sample and build
  std::set<Square> failed_squares;       // squares with a wanted cell of a failed group
  std::uint8_t held_back = 0;            // 1 while over its byte budget
  SquareMask squares;                    // the requested cells the page does not hold yet
  SquareMask requested;                  // every requested cell: the job pins every mesh over one
  std::uint64_t square_count = 0;        // squares of `squares`
  std::set<Cell> recorded_cells;         // requested cells whose build failed before
  // Squares not finished yet: those that still have a wanted cell.
  std::uint64_t squares_to_do() const { return wanted.square_count(); }
  std::uint64_t squares_done() const {
    const std::uint64_t left = squares_to_do();
    return square_count > left ? square_count - left : 0;
  }
};

// Set when a group is cancelled (under the schedule lock), read by the sampler and the builder as a
// stop request: nothing is published through it, so its ordering does not matter.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

enum : std::uint8_t { kGroupSampling = 0, kGroupSampled = 1, kGroupInBuild = 2 };

// Cells whose heights are sampled and which the builder turns into one piece.
struct SampledGroup {
  std::optional<mesh::BuildRequest> request;  // none until sampled, and again once the builder took it
  SharedText theatre;
  CancelFlag cancel = std::make_shared<std::atomic<bool>>(false);
  std::set<Cell> frame_cells;                 // all the cells of its frame
  std::int32_t min_x = 0, min_y = 0, max_x = 0, max_y = 0;  // bounds of the frame cells
  std::uint8_t state = kGroupSampling;

  // The new cells, for which the group makes its piece, one by one and square by square.
  const std::set<Cell>& cells() const { return cells_; }
  const SquareMask& cell_mask() const { return cell_mask_; }
  void set_cells(std::set<Cell> cells) {
    cell_mask_ = SquareMask::of(cells);
    cells_ = std::move(cells);
  }

 private:
  std::set<Cell> cells_;
  SquareMask cell_mask_;
};

struct WorkCounters {
  std::uint64_t started = 0;
  std::uint64_t built = 0;
  std::uint64_t cancelled = 0;
  std::uint64_t conflicts = 0;
  std::uint64_t failed = 0;
  std::uint64_t returned = 0;
  std::uint64_t held_back = 0;
};

// Threads: the sampler, the builder and mesh streams change it, and the terrain status reads it, all
// with the terrain state's schedule lock held (the host's `status` only tries it). Under that lock a
// thread may take the registry, turn-record, message and height-queue locks, never the reverse
// (src/concurrency.md).
struct Schedule {
  std::optional<std::uint64_t> last_served;   // the job the last schedule pass served
  std::optional<std::uint64_t> byte_limit;    // per job; none: kDefaultJobByteLimit
  std::optional<std::uint64_t> run_ahead_limit;  // groups sampled at once; none: 2
  Store store;                                // holds the current theatre
  std::map<std::uint64_t, std::uint64_t> reservations;  // job id -> reserved bytes
  std::uint64_t eviction_limit = kEvictionLimit;
  std::uint64_t reservation_cap = kReservationCap;
  std::uint64_t owner_square_limit = kOwnerSquareLimit;
  std::uint64_t group_memory_limit = kGroupMemoryLimit;  // a group estimated past it is failed
  KeyedMap<std::string, SquareMask> failed_cells;  // per theatre: cells whose group failed
  std::map<std::uint64_t, Job> jobs;
  std::map<std::uint64_t, SampledGroup> groups;
  std::uint64_t next_group_id = 0;
  std::uint64_t next_job_id = 1;
  WorkCounters counters;
  std::uint64_t measured_groups = 0;          // entries the builder stored
  std::uint64_t measured_bytes = 0;           // their bytes

  std::uint64_t job_byte_limit() const { return byte_limit.value_or(kDefaultJobByteLimit); }
};

// The stored entry that covers each of the cells, in cell order (none where no entry does).
std::vector<mesh::CellHolder> holders_of(const Store& store, const std::set<Cell>& cells);

// Whether the group is wanted by the job: same theatre, and one of the group's cells is wanted.
bool group_wanted_by(const SampledGroup& group, const Job& job);

// Removes every group that no job wants (remove_group): sets its cancel flag and counts it
// "cancelled".
void prune_groups(Schedule& schedule);

// Removes the job (nothing when it is not listed), then prunes the groups.
void drop_job(Schedule& schedule, std::uint64_t job_id);

// Gives up a group whose build or sampling failed (remove_group): its cells are recorded as failed
// for its theatre, every job of that theatre that wanted one of them notes the cell's square as
// failed and stops waiting for the cell, and "failed" counts it. Nothing for an unlisted id.
void fail_group(Schedule& schedule, std::uint64_t group_id);

// Whether candidate cells keep more than 3 cells (in x or in y) from every filed group's frame.
bool window_is_free(const Schedule& schedule, const SquareMask& cells);
bool window_is_free(const Schedule& schedule, const std::set<Cell>& cells);

// Whether one more group would carry the job past its byte limit. False for an unlisted job.
bool over_budget(const Schedule& schedule, std::uint64_t job_id);

// The id under which a group's pin record sits in the Store's pin table (job ids stay below it).
inline constexpr std::uint64_t group_pin_id(std::uint64_t group_id) { return group_id | (std::uint64_t{1} << 63); }

// Sets what the group's pin protects from eviction, replacing the pin it had; nothing when the
// group is not listed. The pin lives exactly as long as the group stays in the groups map: every
// removal goes through remove_group, which takes the pin with it.
void pin_group(Schedule& schedule, std::uint64_t group_id, PinRecord pin);

// Takes the group and its pin out of the schedule; none when no group has the id.
std::optional<SampledGroup> remove_group(Schedule& schedule, std::uint64_t group_id);

// Checks the store's invariants, and that the pin records under group pin ids are exactly those
// of the listed groups (a group is pinned from its filing until its removal). A pass over the
// whole store: tests call it, production code does not.
void check_invariants(const Schedule& schedule);

}  // namespace qm
