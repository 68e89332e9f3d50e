#include "host/height_queue.hpp"

#include <algorithm>

#include "base/fault.hpp"

namespace qm::terrain {

HeightQueue& HeightQueues::operator[](std::uint8_t kind) {
  check(kind < queue_kinds, "no height queue of that kind");
  return queues[kind];
}

HeightQueues& height_queues() {
  static HeightQueues* const queues = new HeightQueues();  // never destroyed: threads outlive exit
  return *queues;
}

std::shared_ptr<AnswerTable> ask_heights(std::uint8_t kind, const std::vector<QuestionItem>& items,
                                         SharedText theatre, std::shared_ptr<platform::Parker> waker,
                                         HeightQueues& queues) {
  HeightQueue& queue = queues[kind];
  auto table = make_answer_table(items.size(), std::move(waker));
  std::vector<HeightJob> jobs;
  jobs.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    jobs.push_back(HeightJob{table, theatre, i, items[i].x, items[i].y, items[i].point_kind});
  }
  std::lock_guard lock(queue.mutex);
  for (auto& job : jobs) queue.jobs.push_back(std::move(job));
  return table;
}

void withdraw_heights(std::uint8_t kind, const std::shared_ptr<AnswerTable>& table, HeightQueues& queues) {
  HeightQueue& queue = queues[kind];
  std::deque<HeightJob> removed;  // released after the lock
  std::lock_guard lock(queue.mutex);
  auto keep = std::stable_partition(queue.jobs.begin(), queue.jobs.end(),
                                    [&](const HeightJob& job) { return job.table != table; });
  std::move(keep, queue.jobs.end(), std::back_inserter(removed));
  queue.jobs.erase(keep, queue.jobs.end());
}

std::size_t queued_count(std::uint8_t kind, HeightQueues& queues) {
  HeightQueue& queue = queues[kind];
  std::lock_guard lock(queue.mutex);
  return queue.jobs.size();
}

}  // namespace qm::terrain
