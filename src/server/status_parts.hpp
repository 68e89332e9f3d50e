#pragma once
// The members of the status document that other subsystems write: the map projection, the terrain
// store and work, and the mesh stream registry. Each takes a wait flag: with false (the Lua
// `status`, which must never wait) it only tries its locks and answers none when one is held; with
// true (the HTTP status route) it waits for them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "module/snapshot.hpp"

namespace qm {

// The "projection" object for the snapshot's anchors when it has a mission on the own server with
// anchors present, else for no anchors: {"kind":"none"} when nothing is fitted.
std::optional<std::string> status_projection_json(const Snapshot& snapshot, bool wait);

// The terrain members of the "mesh" object, without braces: "store":...,"work":...
std::optional<std::string> terrain_status_json(bool wait);

// The whole "mesh" object: {"epoch":"<16 hex digits>",<micros text>,"streams":{...}}, with the
// stream registry read under its lock at `now_stamp`.
std::optional<std::string> streams_status_json(std::string_view micros_text, std::uint64_t now_stamp, bool wait);

}  // namespace qm
