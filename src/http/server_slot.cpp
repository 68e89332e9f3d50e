#include "http/server_slot.hpp"

#include <mutex>

#include "http/server.hpp"
#include "http/testing.hpp"

namespace qm {

namespace {

struct ServerSlot {
  std::mutex lock;
  std::shared_ptr<server::Server> server;
};

ServerSlot& server_slot() {
  static ServerSlot* slot = new ServerSlot();  // never destroyed: server threads outlive static teardown
  return *slot;
}

// Relaxed counters: each is read on its own (the generation is copied into its server before the
// server is published under the server lock).
std::atomic<std::uint64_t> server_generation{0};
std::atomic<std::uint64_t> lan_changes{0};

}  // namespace

std::shared_ptr<server::Server> swap_server(std::shared_ptr<server::Server> next) {
  ServerSlot& slot = server_slot();
  std::lock_guard guard(slot.lock);
  slot.server.swap(next);
  return next;
}

std::optional<std::shared_ptr<server::Server>> try_current_server() {
  ServerSlot& slot = server_slot();
  std::unique_lock guard(slot.lock, std::try_to_lock);
  if (!guard.owns_lock()) return std::nullopt;
  return slot.server;
}

std::mutex& server_slot_lock() { return server_slot().lock; }

std::uint64_t next_server_generation() { return server_generation.fetch_add(1, std::memory_order_relaxed) + 1; }

std::atomic<std::uint64_t>& lan_changes_counter() { return lan_changes; }

}  // namespace qm
