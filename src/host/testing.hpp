#pragma once
// Handles on this layer's locks for tests, which hold one to see that a caller only tries it.
// Included by tests, and by the files that define these beside the locks.
#include <mutex>

#include "host/answer_table.hpp"

namespace qm {

// The lock over the published snapshot.
std::mutex& snapshot_lock();

}  // namespace qm

namespace qm::terrain {

struct TestAccess {
  // Holds the table's lock, as a reading asker does; a delivery meanwhile finds the table busy.
  static std::unique_lock<std::mutex> hold(const AnswerTable& table) { return std::unique_lock(table.mutex_); }
};

}  // namespace qm::terrain
