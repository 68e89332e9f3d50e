#pragma once
// The host's published view of one frame: an immutable `Snapshot` built by `frame_end` from the
// thread's `LuaState` and read by every route and worker through `snapshot`. The host's thread only
// tries the snapshot lock (to publish, and for `status`); the module's threads wait for it, and every
// holder keeps it only to swap or copy one reference (src/concurrency.md).
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/host_state.hpp"

namespace qm {

struct Snapshot {
  std::optional<std::uint64_t> self_id;
  std::optional<MissionInfo> mission;
  std::vector<UnitRecord> aircraft;  // ascending id
  std::vector<UnitRecord> neutrals;  // ascending id
  std::uint64_t sequence = 0;        // 1 for the first publication; 0 in an idle snapshot
};

using SnapshotRef = std::shared_ptr<const Snapshot>;

// A new idle snapshot: no mission, no units, sequence 0.
SnapshotRef idle_snapshot();

// The latest published snapshot (an idle one before the first publication). Waits for the snapshot
// lock, which is only ever held to swap or copy one reference.
SnapshotRef snapshot();

// As `snapshot`, but only tries the lock: none when it is held right now.
std::optional<SnapshotRef> try_snapshot();

// Builds a snapshot of a thread state with the given sequence number.
SnapshotRef build_snapshot(const LuaState& state, std::uint64_t sequence);

// The publication step of `frame_end` at the monotonic instant `now_ns`: publishes when the state
// changed and either an immediate publication was asked for, nothing was published yet, or at least
// 100 ms passed since the last publication. Never waits for the snapshot lock: when it is held the
// state stays changed for a later frame. Returns whether it published.
bool publish_if_due(LuaState& state, std::uint64_t now_ns);

}  // namespace qm
