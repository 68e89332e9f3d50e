#pragma once
// The worker message slot (why terrain work can no longer go on; the first message stays) and the
// change signal (a counter under the change lock and a wake word that open mesh streams sleep on).
#include <cstdint>
#include <optional>
#include <string>

#include "work/terrain_state.hpp"

namespace qm {

// Keeps the message when none is held yet (a later one is dropped), then notify_all.
void record_panic(TerrainState& state, std::string message);

// A copy of the recorded message, or none.
std::optional<std::string> worker_message(TerrainState& state);

// Adds 1 to the change counter under the change lock, then to the wake word, and wakes every
// thread waiting on the word.
void notify_all(TerrainState& state);

// The change counter, read under the change lock.
std::uint64_t change_counter(TerrainState& state);

// Waits while the change counter equals `last_seen` and `deadline_ns` (monotonic, now_ns) lies
// ahead; returns the counter then.
std::uint64_t wait_for_change(TerrainState& state, std::uint64_t last_seen, std::uint64_t deadline_ns);

}  // namespace qm
