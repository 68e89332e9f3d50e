#pragma once
// Handles on this layer's locks for tests, which hold one to see that a caller only tries it.
// Included by tests, and by the files that define these beside the locks.
#include <mutex>

namespace qm {

// The last-panic lock.
std::mutex& last_panic_lock();

}  // namespace qm
