#include "http/listener.hpp"

#include <string>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "platform/clock.hpp"
#include "platform/thread.hpp"
#include "http/answer.hpp"
#include "http/connection.hpp"
#include "http/request_head.hpp"
#include "http/request_rules.hpp"
#include "http/server.hpp"
#include "http/slots.hpp"
#include "platform/time_units.hpp"

namespace qm::server {

namespace {

constexpr std::uint64_t millisecond = kNanosPerMilli;
// Accepts wait this long at most, so the loop sees its stop flags even without a wake connection.
constexpr std::uint64_t accept_wait = 100 * millisecond;
constexpr std::uint64_t accept_error_pause = 50 * millisecond;
constexpr int lan_accept_error_limit = 20;
constexpr std::uint64_t bind_retry_pause = 100 * millisecond;
constexpr std::uint64_t bind_retry_limit = 10000 * millisecond;

bool stopping(const Server& server, const std::atomic<bool>& stop_flag) {
  return stop_flag.load(std::memory_order_acquire) || server.stop.load(std::memory_order_acquire);
}

std::optional<PeerAddress> peer_address(const platform::PeerIp& ip) {
  switch (ip.family) {
    case platform::PeerIp::Family::ipv4: {
      const std::uint32_t value = (std::uint32_t{ip.bytes[0]} << 24) | (std::uint32_t{ip.bytes[1]} << 16) |
                                  (std::uint32_t{ip.bytes[2]} << 8) | ip.bytes[3];
      return PeerAddress::ipv4(value);
    }
    case platform::PeerIp::Family::ipv6:
      return PeerAddress::ipv6(ip.bytes);
    case platform::PeerIp::Family::other:
      break;
  }
  return std::nullopt;
}

// What a connection thread takes over; given back (slot and socket) when the thread never starts.
struct Handover {
  ConnectionSlot slot;
  platform::Socket socket;
};

}  // namespace

void answer_busy(Server& server, platform::Socket socket) {
  server.stats.rejected.fetch_add(1, std::memory_order_relaxed);
  if (!platform::set_nonblocking(socket, true)) return;
  char buffer[4096];
  const platform::IoResult got = platform::receive(socket, buffer, sizeof buffer);
  const std::size_t length = got.status == platform::IoResult::Status::ok ? got.bytes : 0;
  std::string extra;
  const HeadParse parse = parse_request_head(std::string_view(buffer, length));
  if (parse.outcome == HeadOutcome::complete) {
    const OriginResult origin = origin_check(parse.head);
    if (origin.kind == OriginResult::Kind::allowed) extra = origin.header_text;
  }
  extra += "Retry-After: 1\r\n";
  const std::string answer = format_answer(503, "Service Unavailable", content_type_text, "busy, try again", extra);
  (void)platform::send(socket, answer.data(), answer.size());
  platform::shutdown_send(socket);
}

void accept_loop(const std::shared_ptr<Server>& server, const platform::Socket& listener,
                 const std::atomic<bool>& stop_flag, bool lan_mode) {
  int errors = 0;
  while (!stop_flag.load(std::memory_order_acquire)) {
    if (server->stop.load(std::memory_order_acquire)) return;
    platform::Accepted accepted = platform::accept_tcp(listener, accept_wait);
    if (accepted.status == platform::Accepted::Status::timed_out) continue;
    const std::optional<PeerAddress> peer =
        accepted.status == platform::Accepted::Status::accepted ? peer_address(accepted.peer) : std::nullopt;
    if (!peer) {
      accepted.socket.close();
      if (++errors >= lan_accept_error_limit && lan_mode) return;
      platform::sleep_ns(accept_error_pause);
      continue;
    }
    errors = 0;
    if (stopping(*server, stop_flag)) return;
    if (!peer->may_connect()) {
      server->stats.rejected.fetch_add(1, std::memory_order_relaxed);
      continue;  // closed without an answer
    }
    if (server->peers.admit(*peer, now_ns(), server->open_connections) == Admission::busy) {
      answer_busy(*server, std::move(accepted.socket));
      continue;
    }
    auto handover = std::make_shared<Handover>(Handover{ConnectionSlot(server, *peer), std::move(accepted.socket)});
    const Result<void, std::string> started = platform::spawn_thread(
        "quillmarsh-exporter-connection", platform::Priority::below_normal,
        [handover] { serve_connection(std::move(handover->slot), std::move(handover->socket)); });
    if (!started) server->stats.rejected.fetch_add(1, std::memory_order_relaxed);
  }
}

platform::Socket bind_loopback(Server& server, platform::Clock& clock) {
  const std::uint64_t deadline = clock.now() + bind_retry_limit;
  while (true) {
    if (server.stop.load(std::memory_order_acquire)) return platform::Socket();
    Result<platform::Socket, platform::NetError> listener =
        platform::listen_tcp(platform::SocketAddressV4{platform::ipv4_loopback, server.port});
    if (listener) return std::move(listener).value();
    const platform::NetError& error = listener.error();
    if (error.address_in_use() && clock.now() < deadline) {
      clock.sleep(bind_retry_pause);
      continue;
    }
    set_server_error(server, "bind 127.0.0.1:" + std::to_string(server.port) + ": " + error.text);
    return platform::Socket();
  }
}

void run_server_thread(std::shared_ptr<Server> server) {
  try {
    platform::Socket listener = bind_loopback(*server, platform::system_clock());
    if (!listener) return;
    server->running.store(true, std::memory_order_release);
    try {
      accept_loop(server, listener, server->stop, false);
    } catch (...) {
      (void)caught_message();
      server->running.store(false, std::memory_order_release);
      set_server_error(*server, "the server thread panicked");
      return;
    }
    server->running.store(false, std::memory_order_release);
  } catch (...) {
    (void)caught_message();
    server->running.store(false, std::memory_order_release);
  }
}

}  // namespace qm::server
