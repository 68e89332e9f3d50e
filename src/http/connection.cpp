#include "http/connection.hpp"

#include <algorithm>
#include <atomic>
#include <array>
#include <optional>
#include <span>
#include <string>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "http/head_reader.hpp"
#include "http/router.hpp"
#include "http/server.hpp"
#include "platform/time_units.hpp"

namespace qm::server {

namespace {

constexpr Instant millisecond = kNanosPerMilli;
constexpr Instant answer_send_time = 10000 * millisecond;
constexpr Instant drain_time = 100 * millisecond;

// The route table, installed once by `start` before its first server (read by every connection).
// Release/acquire, so that a connection sees the table as installed; starting the server's thread
// orders it too.
std::atomic<RouteTable> installed_routes{nullptr};

void serve(ConnectionSlot& slot, platform::Socket& socket) {
  Server& server = slot.server();
  if (!platform::set_nonblocking(socket, false)) return;
  (void)platform::set_nodelay(socket);
  ListenerFacts facts;
  facts.port = server.port;
  if (const auto local = platform::local_address(socket)) facts.local_ipv4_text = local->address.to_string();

  SocketPort port(socket, platform::system_clock());
  HeadRead read = read_request_head(port, server.config, port.now(), server.stats.rejected);
  switch (read.outcome) {
    case HeadRead::Outcome::close:
      return;
    case HeadRead::Outcome::answer:
      send_answer(port, Answer(std::move(read.answer)), answer_send_time);
      return;
    case HeadRead::Outcome::complete:
      break;
  }
  RequestCounters counters{server.stats.requests, server.stats.rejected, server.stats.last_request};
  const RouteTable table = installed_routes.load(std::memory_order_acquire);
  check(table != nullptr, "no route table is installed");
  SocketTakeover takeover;
  const Answer answer = answer_request(read.head, facts, counters, table(slot, takeover), now_ns());
  if (takeover) {
    if (takeover(socket)) {
      close_gracefully(port);
    } else {
      socket.close();
    }
    return;
  }
  send_answer(port, answer, answer_send_time);
}

}  // namespace

void install_route_table(RouteTable table) { installed_routes.store(table, std::memory_order_release); }

ReceiveResult SocketPort::receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) {
  if (!platform::set_receive_timeout(socket_, timeout_ms)) return {ReceiveResult::Kind::setup_failed, 0};
  const platform::IoResult got = platform::receive(socket_, buffer, length);
  using S = platform::IoResult::Status;
  switch (got.status) {
    case S::ok: return {ReceiveResult::Kind::data, got.bytes};
    case S::closed:
    case S::shut_down: return {ReceiveResult::Kind::closed, 0};
    case S::interrupted: return {ReceiveResult::Kind::interrupted, 0};
    default: return {ReceiveResult::Kind::failed, 0};
  }
}

ConnectionPort::Sent SocketPort::send(std::span<const std::string_view> parts, std::uint64_t timeout_ms) {
  if (!platform::set_send_timeout(socket_, timeout_ms)) return {Sent::Kind::failed, 0};
  const platform::IoResult sent = platform::send_parts(socket_, parts);
  using S = platform::IoResult::Status;
  if (sent.status == S::interrupted) return {Sent::Kind::interrupted, 0};
  if (sent.status != S::ok || sent.bytes == 0) return {Sent::Kind::failed, 0};
  return {Sent::Kind::sent, sent.bytes};
}

void send_answer(ConnectionPort& port, const Answer& answer, Instant limit) {
  const Instant deadline = port.now() + limit;
  std::array<std::string_view, 3> parts{answer.text, answer.shared ? std::string_view(*answer.shared) : "",
                                        answer.tail};
  std::size_t first = 0;  // the first part with bytes left
  while (true) {
    while (first < parts.size() && parts[first].empty()) ++first;
    if (first == parts.size()) break;
    const std::uint64_t left = millis_left(port.now(), deadline);
    if (left == 0) {
      port.close();
      return;
    }
    const ConnectionPort::Sent sent = port.send(std::span(parts).subspan(first), left);
    if (sent.kind == ConnectionPort::Sent::Kind::interrupted) continue;
    if (sent.kind != ConnectionPort::Sent::Kind::sent) {
      port.close();
      return;
    }
    std::size_t done = sent.bytes;
    for (std::size_t i = first; i < parts.size() && done > 0; ++i) {
      const std::size_t n = std::min(done, parts[i].size());
      parts[i].remove_prefix(n);
      done -= n;
    }
  }
  close_gracefully(port);
}

void close_gracefully(ConnectionPort& port) {
  port.shutdown_send();
  const Instant deadline = port.now() + drain_time;
  char sink[1024];
  while (true) {
    const std::uint64_t left = millis_left(port.now(), deadline);
    if (left == 0) break;
    const ReceiveResult got = port.receive(sink, sizeof sink, left);
    if (got.kind != ReceiveResult::Kind::data && got.kind != ReceiveResult::Kind::interrupted) break;
  }
  port.close();
}

void serve_connection(ConnectionSlot slot, platform::Socket socket) noexcept {
  try {
    serve(slot, socket);
  } catch (...) {
    (void)caught_message();
  }
  socket.close();
  slot.release();
}

}  // namespace qm::server
