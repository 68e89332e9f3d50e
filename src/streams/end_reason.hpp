#pragma once
// Why a mesh stream ended. The registry counts the ends by reason and the status document lists
// them by their texts; the end records on the wire carry some of the same texts.
#include <array>
#include <cstdint>
#include <string_view>

namespace qm {

enum class EndReason : std::uint8_t { complete, replaced, theatre, server, error, stopped, closed, reset, timeout };

// The nine end reasons, in the order the status document lists their counters.
inline constexpr std::array<EndReason, 9> kEndReasons = {
    EndReason::complete, EndReason::replaced, EndReason::theatre, EndReason::server, EndReason::error,
    EndReason::stopped,  EndReason::closed,   EndReason::reset,   EndReason::timeout};

// The reason's text on the wire and in the status; empty for a value that names no reason.
constexpr std::string_view end_reason_text(EndReason reason) {
  switch (reason) {
    case EndReason::complete: return "complete";
    case EndReason::replaced: return "replaced";
    case EndReason::theatre: return "theatre";
    case EndReason::server: return "server";
    case EndReason::error: return "error";
    case EndReason::stopped: return "stopped";
    case EndReason::closed: return "closed";
    case EndReason::reset: return "reset";
    case EndReason::timeout: return "timeout";
  }
  return "";
}

}  // namespace qm
