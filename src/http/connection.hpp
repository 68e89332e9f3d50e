#pragma once
// One admitted connection: its thread reads one request head, answers it and closes.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "http/answer.hpp"
#include "http/head_reader.hpp"
#include "http/router.hpp"
#include "http/slots.hpp"

namespace qm::server {

using Instant = std::uint64_t;

// What takes over a connection's socket once its answer is made (a mesh stream): it runs on the
// connection's thread and returns true when the socket is then to be closed gracefully.
using SocketTakeover = std::function<bool(platform::Socket&)>;

// The routes of one connection over its slot; a route that hands the socket on sets `takeover`.
// The layer above the server, which knows the routes, makes them.
using RouteTable = Routes (*)(ConnectionSlot& slot, SocketTakeover& takeover);

// Installs the route table every connection answers with; `start` does so before its first server.
// A connection that finds none installed faults.
void install_route_table(RouteTable table);

// The body of "quillmarsh-exporter-connection": serves exactly one request on the socket and
// closes it; the slot is given back when it returns, on every path.
void serve_connection(ConnectionSlot slot, platform::Socket socket) noexcept;

// The connection's socket as its deadlines see it: the clock they are measured by, one receive or
// one send at a time under a time-out, and the close. The server's is a socket with the monotonic
// clock; a test's may be a script of receives and sends whose clock the script moves.
class ConnectionPort : public HeadSource {
 public:
  struct Sent {
    enum class Kind {
      sent,         // `bytes` > 0 went out
      interrupted,  // nothing went out; try again
      failed,       // an error, the time-out, nothing sent, or a time-out that could not be set
    } kind = Kind::failed;
    std::size_t bytes = 0;
  };
  // One send of the parts in order, as if they were one buffer, waiting at most `timeout_ms`
  // milliseconds (never 0).
  virtual Sent send(std::span<const std::string_view> parts, std::uint64_t timeout_ms) = 0;
  // Shuts down the sending side; errors are dropped.
  virtual void shutdown_send() = 0;
  virtual void close() = 0;
};

// A connected socket, with the clock that the deadlines of its answer and its close count by.
class SocketPort final : public ConnectionPort {
 public:
  SocketPort(platform::Socket& socket, platform::Clock& clock) : socket_(socket), clock_(clock) {}
  Instant now() override { return clock_.now(); }
  ReceiveResult receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) override;
  Sent send(std::span<const std::string_view> parts, std::uint64_t timeout_ms) override;
  void shutdown_send() override { platform::shutdown_send(socket_); }
  void close() override { socket_.close(); }

 private:
  platform::Socket& socket_;
  platform::Clock& clock_;
};

// Sends a whole answer, its parts gathered without a copy, under one overall deadline: `limit`
// nanoseconds of the port's clock from the first send (10 s for the connections' answers),
// however long the head took; each partial send waits at most the time left. Then closes
// gracefully; a failed, empty or late send closes at once.
void send_answer(ConnectionPort& port, const Answer& answer, Instant limit);

// Shuts down the sending side, then reads and drops what the peer still sends for at most 100 ms
// of the port's clock, so that closing does not reset the connection under an answer the peer has
// not read; closes.
void close_gracefully(ConnectionPort& port);

}  // namespace qm::server
