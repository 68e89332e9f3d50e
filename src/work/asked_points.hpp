#pragma once
// The log of point batches that the sampler asked the host for: the last 64 batches with their
// theatre and sequence number, read by the mesh streams of pages that want to see them.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handback.hpp"

namespace qm {

// Whole-unit map points (x, z) of one asked batch; immutable once logged.
using AskedPoints = std::vector<std::array<std::int32_t, 2>>;
using AskedPointsRef = std::shared_ptr<const AskedPoints>;

struct AskedBatches {
  std::vector<AskedPointsRef> batches;  // oldest first
  std::uint64_t counter = 0;            // the log's counter when they were read
};

// Threads: the sampler appends, mesh streams on connection threads read; each call holds the log's
// lock alone (no other lock is taken under it). src/concurrency.md has the order of the locks.
class AskedPointsLog {
 public:
  static constexpr std::size_t kEntries = 64;

  // Counts one batch and keeps it, dropping the oldest beyond 64.
  void append(std::shared_ptr<const std::string> theatre, AskedPointsRef points);

  // The batches logged after sequence `after` for this theatre (same bytes), and the counter. With
  // `after` the largest value, only the counter.
  AskedBatches since(std::uint64_t after, std::string_view theatre) const;

 private:
  struct Entry {
    std::shared_ptr<const std::string> theatre;
    std::uint64_t sequence = 0;
    AskedPointsRef points;
  };
  mutable std::mutex lock_;
  std::uint64_t counter_ = 0;
  // Made with the terrain work state on the host's thread, changed by the sampler: the blocks go
  // back to the side that made them.
  std::deque<Entry, platform::SideAllocator<Entry>> entries_;
};

inline AskedBatches asked_batches_since(const AskedPointsLog& log, std::uint64_t after, std::string_view theatre) {
  return log.since(after, theatre);
}

}  // namespace qm
