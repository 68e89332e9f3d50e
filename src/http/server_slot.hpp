#pragma once
// The process-wide server slot and the counters that `start` and `stop` keep beside it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace qm {

namespace server {
class Server;
}

// Puts `next` (possibly empty) in the server slot, waiting for the server lock, which is held only
// for the swap; returns what was there.
std::shared_ptr<server::Server> swap_server(std::shared_ptr<server::Server> next);

// Only tries the server lock: nullopt when it is held right now ("busy"); otherwise the running
// server, or an empty reference when none runs.
std::optional<std::shared_ptr<server::Server>> try_current_server();

// Adds 1 to the server generation and returns the new value (the first `start` gives 1).
std::uint64_t next_server_generation();

// The LAN change counter: `start` adds 1 after every swap, every change of a server's LAN state adds 1.
std::atomic<std::uint64_t>& lan_changes_counter();

}  // namespace qm
