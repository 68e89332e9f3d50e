#include "host/module_state.hpp"

#include <atomic>

namespace qm {

namespace {

std::atomic<bool> pinned_flag{false};  // relaxed: one fact for the status, read on its own

}  // namespace

bool module_pinned() { return pinned_flag.load(std::memory_order_relaxed); }

void note_module_pinned(bool pinned) { pinned_flag.store(pinned, std::memory_order_relaxed); }

}  // namespace qm
