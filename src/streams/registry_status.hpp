#pragma once
// The stream registry's member of the status document.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

// The whole "mesh" object: {"epoch":"<16 hex digits>",<micros text>,"streams":{...}}, with the
// stream registry read under its lock at `now_stamp`. With wait false the lock is only tried and a
// held one gives none; with true it is waited for.
std::optional<std::string> streams_status_json(std::string_view micros_text, std::uint64_t now_stamp, bool wait);

}  // namespace qm
