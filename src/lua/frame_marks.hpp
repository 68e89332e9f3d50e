#pragma once
// Per-thread marks of the host's hooks: the start of the thread's current mission-hook frame
// (`hook_mark`), whether `frame` ever ran on the thread (`thread_mark`) and the start of its
// current export-hook frame (`export_mark`). Instants are monotonic nanoseconds.
#include <cstdint>
#include <optional>

namespace qm {

std::optional<std::uint64_t>& hook_mark();
bool& thread_mark();
std::optional<std::uint64_t>& export_mark();

// Seconds from the last HTTP request to the moment `now_ns` (monotonic), or none before the first
// request. A request stamped after `now_ns` counts as 0 seconds.
std::optional<double> seconds_since_request(std::uint64_t now_ns);

// The stamp of a monotonic instant: nanoseconds since the clock origin plus 1 (1 when the instant
// is not after the origin).
std::uint64_t stamp_of(std::uint64_t now_ns);

}  // namespace qm
