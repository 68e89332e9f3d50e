#pragma once
// Handles on this layer's locks for tests, which hold one to see that a caller only tries it.
// Included by tests, and by the files that define these beside the locks.
#include <mutex>

namespace qm {

// The projection cache lock.
std::mutex& projection_cache_lock();

}  // namespace qm
