#pragma once
// The one thing a mesh stream shares with the request that may replace it: a replaced flag, set
// when a newer request of the same page registers its own stream. The stream, its registry record
// and the replacing request each hold a reference. Set by the replacing request's connection thread,
// read by the stream's own thread, without a lock.
#include <atomic>
#include <cstdint>
#include <memory>

namespace qm {

struct StreamControl {
  // Release/acquire, though only the flag itself is told (the claims it settles are changed under
  // the schedule lock).
  std::atomic<std::uint8_t> replaced{0};

  bool is_replaced() const { return replaced.load(std::memory_order_acquire) != 0; }
  void mark_replaced() { replaced.store(1, std::memory_order_release); }
};

using StreamControlRef = std::shared_ptr<StreamControl>;

inline StreamControlRef new_stream_control() { return std::make_shared<StreamControl>(); }

}  // namespace qm
