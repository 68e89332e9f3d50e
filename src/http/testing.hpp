#pragma once
// Handles on this layer's locks and tables for tests, which hold a lock to see that a caller only
// tries it, or set a peer's entry up directly. Included by tests (and by server_slot.cpp, which
// defines the server lock's handle).
#include <mutex>

#include "http/peer_table.hpp"
#include "http/server.hpp"

namespace qm {

// The server lock (defined beside the server slot).
std::mutex& server_slot_lock();

}  // namespace qm

namespace qm::server {

struct TestAccess {
  // The locks of the LAN state and of the error text.
  static std::mutex& lan_lock(const Server& server) { return server.lan_lock_; }
  static std::mutex& error_lock(const Server& server) { return server.error_lock_; }
  // The peer lock, and the entries it guards; the server goes through the table's operations.
  static std::mutex& peer_lock(PeerTable& table) { return table.lock_; }
  static PeerEntries& entries_locked(PeerTable& table) { return table.entries_; }
};

}  // namespace qm::server
