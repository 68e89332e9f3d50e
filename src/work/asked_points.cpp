#include "work/asked_points.hpp"

namespace qm {

void AskedPointsLog::append(std::shared_ptr<const std::string> theatre, AskedPointsRef points) {
  Entry entry{std::move(theatre), 0, std::move(points)};
  Entry dropped;  // released after the lock
  std::lock_guard guard(lock_);
  counter_ += 1;
  entry.sequence = counter_;
  if (entries_.size() >= kEntries) {
    dropped = std::move(entries_.front());
    entries_.pop_front();
  }
  entries_.push_back(std::move(entry));
}

AskedBatches AskedPointsLog::since(std::uint64_t after, std::string_view theatre) const {
  AskedBatches out;
  std::lock_guard guard(lock_);
  for (const Entry& e : entries_) {
    if (e.sequence <= after) continue;
    if (!e.theatre || *e.theatre != theatre) continue;
    out.batches.push_back(e.points);
  }
  out.counter = counter_;
  return out;
}

}  // namespace qm
