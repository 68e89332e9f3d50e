#include "host/snapshot.hpp"

#include <atomic>
#include <utility>

#include "host/testing.hpp"
#include "platform/handback.hpp"

namespace qm {

namespace {

struct SnapshotSlot {
  std::mutex lock;
  SnapshotRef published;
};

SnapshotSlot& slot() {
  static SnapshotSlot* slot = new SnapshotSlot();  // never destroyed: detached threads read it at exit
  return *slot;
}

// Relaxed: only the host's thread numbers snapshots; the snapshot lock publishes them.
std::atomic<std::uint64_t> snapshot_sequence{0};

constexpr std::uint64_t publication_spacing_ns = 100000000;

}  // namespace

std::mutex& snapshot_lock() { return slot().lock; }

// Snapshots are made by the host's thread and let go by the server and worker threads that read
// them: each is freed on the side that made it.
SnapshotRef idle_snapshot() { return platform::make_sided<const Snapshot>(); }

SnapshotRef snapshot() {
  SnapshotRef published;
  {
    std::lock_guard guard(slot().lock);
    published = slot().published;
  }
  return published ? published : idle_snapshot();
}

std::optional<SnapshotRef> try_snapshot() {
  SnapshotRef published;
  {
    std::unique_lock guard(slot().lock, std::try_to_lock);
    if (!guard.owns_lock()) return std::nullopt;
    published = slot().published;
  }
  return published ? published : idle_snapshot();
}

SnapshotRef build_snapshot(const LuaState& state, std::uint64_t sequence) {
  auto built = platform::make_sided<Snapshot>();
  built->self_id = state.self_id;
  built->mission = state.mission;
  built->aircraft.reserve(state.aircraft.size());
  for (const auto& entry : state.aircraft) built->aircraft.push_back(entry.second);
  built->neutrals.reserve(state.neutrals.size());
  for (const auto& entry : state.neutrals) built->neutrals.push_back(entry.second);
  built->sequence = sequence;
  return built;
}

bool publish_if_due(LuaState& state, std::uint64_t now_ns) {
  if (!state.changed) return false;
  const bool due = state.publish_now || !state.last_publication ||
                   (now_ns > *state.last_publication && now_ns - *state.last_publication >= publication_spacing_ns);
  if (!due) return false;
  const std::uint64_t sequence = snapshot_sequence.fetch_add(1, std::memory_order_relaxed) + 1;
  SnapshotRef fresh = build_snapshot(state, sequence);
  SnapshotRef previous;
  {
    std::unique_lock guard(slot().lock, std::try_to_lock);
    if (!guard.owns_lock()) return false;  // a reader holds it: a later frame_end tries again
    previous = std::exchange(slot().published, std::move(fresh));
  }
  previous.reset();  // dropped outside the lock
  state.changed = false;
  state.publish_now = false;
  state.last_publication = now_ns;
  return true;
}

}  // namespace qm
