#pragma once
// Handles on this layer's locks for tests, which hold one to see that a caller only tries it.
// Included by tests only.
#include <mutex>

#include "streams/registry.hpp"

namespace qm {

struct StreamsTestAccess {
  // The registry lock.
  static std::mutex& registry_lock(StreamRegistry& registry) { return registry.lock_; }
};

}  // namespace qm
