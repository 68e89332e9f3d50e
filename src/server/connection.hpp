#pragma once
// One admitted connection: its thread reads one request head, answers it and closes.
#include <cstdint>
#include <string_view>

#include "platform/socket.hpp"
#include "server/answer.hpp"
#include "server/slots.hpp"

namespace qm::server {

using Instant = std::uint64_t;

// The body of "quillmarsh-exporter-connection": serves exactly one request on the socket and
// closes it; the slot is given back when it returns, on every path.
void serve_connection(ConnectionSlot slot, platform::Socket socket) noexcept;

// Sends a whole answer, its parts gathered without a copy, under one overall deadline: `limit`
// nanoseconds from the first byte sent (10 s for the connections' answers), however long the head
// took; each partial send waits at most the time left. Then closes gracefully; a failed, empty or
// late send closes at once.
void send_answer(platform::Socket& socket, const Answer& answer, Instant limit);

// Shuts down the sending side, then reads and drops what the peer still sends for at most 100 ms,
// so that closing does not reset the connection under an answer the peer has not read; closes.
void close_gracefully(platform::Socket& socket);

}  // namespace qm::server
