#pragma once
// The head that opens every game-data document: which exporter speaks and in which state the host
// is. The head is an unclosed JSON object; callers append their members and the closing brace.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/json.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm {

// Appends {"api":1,"exporter":"1.1.0","state":...,"exportState":...,"secondsSinceFrame":...,
// "modelTime":... (left open in `w`) and returns the state: "menu", "other-server", "loading" or
// "mission". `now_stamp` is a time stamp (nanoseconds since the clock origin plus 1).
std::string_view mission_json(JsonWriter& w, const ModuleStats& stats, const Snapshot& snapshot,
                              std::uint64_t now_stamp);

}  // namespace qm
