#pragma once
// The three queues through which questions reach the host: kind 0 for the terrain route's points,
// kind 1 for the map conversions of areas and blocks, kind 2 for the sampler thread. An asker
// submits a batch sharing one `AnswerTable`; `terrain_take` on the host's thread pops questions from
// the front, and `frame_end` delivers the answers into the tables.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/shared_text.hpp"
#include "platform/handback.hpp"
#include "platform/park.hpp"
#include "host/answer_table.hpp"

namespace qm::terrain {

// A theatre name shared between the snapshot, the questions and the askers.
using qm::SharedText;

// What the host is asked, per point kind (the third result of `terrain_point`):
// 1: map x, z -> a = height; 2: map x, z -> a = latitude, b = longitude;
// 3: latitude, longitude -> a = map x, b = map z; 4: latitude, longitude -> a = height.
struct QuestionItem {
  double x = 0.0;
  double y = 0.0;
  std::uint8_t point_kind = 1;
};

// One queued question.
struct HeightJob {
  std::shared_ptr<AnswerTable> table;
  SharedText theatre;
  std::uint64_t index = 0;  // the question's slot in the table
  double x = 0.0;
  double y = 0.0;
  std::uint8_t point_kind = 1;
};

inline constexpr std::uint8_t queue_page = 0;         // the terrain route's heights
inline constexpr std::uint8_t queue_conversions = 1;  // map conversions of areas and blocks
inline constexpr std::uint8_t queue_sampler = 2;      // the sampler thread's heights
inline constexpr std::size_t queue_kinds = 3;

// The host's thread pops the questions that askers pushed: the queue's blocks are freed on the side
// that made them. Askers (connection threads, the sampler) wait for the lock; the host's thread only
// tries it. The sampler may take it with the schedule lock held (src/concurrency.md).
struct HeightQueue {
  std::mutex mutex;
  std::deque<HeightJob, platform::SideAllocator<HeightJob>> jobs;
};

// A set of the three queues. The module uses one process-wide set; tests make their own.
struct HeightQueues {
  std::array<HeightQueue, queue_kinds> queues;
  HeightQueue& operator[](std::uint8_t kind);
};

// The process-wide queues (made on first use, never destroyed).
HeightQueues& height_queues();

// Makes the table for the batch (one pending slot per item, at least one item) and appends one job
// per item, in order, to the queue of `kind`. Checks no limit: callers check theirs first.
std::shared_ptr<AnswerTable> ask_heights(std::uint8_t kind, const std::vector<QuestionItem>& items,
                                         SharedText theatre, std::shared_ptr<platform::Parker> waker,
                                         HeightQueues& queues = height_queues());

// Removes every queued job of `table` from the queue of `kind`, keeping the others in order. Jobs
// already taken by the host are not affected.
void withdraw_heights(std::uint8_t kind, const std::shared_ptr<AnswerTable>& table,
                      HeightQueues& queues = height_queues());

// The number of questions queued on `kind` (read under its lock).
std::size_t queued_count(std::uint8_t kind, HeightQueues& queues = height_queues());

}  // namespace qm::terrain
