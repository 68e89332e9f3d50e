#pragma once
// The listener side of a server: the loopback listener thread, the accept loop with the admission
// of peers, and the busy answer.
#include <atomic>
#include <memory>

#include "platform/clock.hpp"
#include "platform/socket.hpp"

namespace qm::server {

class Server;

// The accept loop: admits or refuses each peer until `stop_flag` or the server's stop flag is set.
// Each admitted connection gets its own "quillmarsh-exporter-connection" thread. In LAN mode 20
// accept errors in a row end the loop.
void accept_loop(const std::shared_ptr<Server>& server, const platform::Socket& listener,
                 const std::atomic<bool>& stop_flag, bool lan_mode);

// Binds the loopback listener on 127.0.0.1 and the server's port. "Address in use" is tried again
// every 100 ms for 10 s of `clock` (a replaced server may still be letting go of the port); any
// other error, or the port still in use at the end, becomes the server's error text. Gives no
// socket then, and none once the server's stop flag is seen.
platform::Socket bind_loopback(Server& server, platform::Clock& clock);

// Answers a peer refused as busy, without waiting for it: one non-blocking read of its head (for
// the Origin rule), one send of 503 "busy, try again" with "Retry-After: 1", then closes.
// Counts one rejection.
void answer_busy(Server& server, platform::Socket socket);

}  // namespace qm::server
