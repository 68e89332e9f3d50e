#pragma once
// One running HTTP server: the record that its listener threads, connection threads and mesh
// streams share by reference count, the fixed limits every server carries, and the helpers that
// change its error text and LAN state.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/shared_text.hpp"
#include "host/stats.hpp"
#include "platform/socket.hpp"
#include "http/peer_table.hpp"

namespace qm::server {

// A duration of the server's fixed limits, in nanoseconds.
using Nanos = std::uint64_t;

// The fixed limits of a server: a constant copied into every `Server`; no setting changes them.
struct ServerConfig {
  std::uint64_t max_connections = 20;
  std::uint64_t loopback_reserve = 4;
  std::uint64_t connections_per_peer = 8;
  std::uint64_t terrain_requests_per_peer = 2;
  std::uint64_t head_bytes = 16384;
  std::uint64_t head_reads = 16;
  double point_rate = 2000.0;
  double point_burst = 4000.0;
  double connection_rate = 20.0;
  double connection_burst = 40.0;
  double lan_rate = 100.0;
  double lan_burst = 100.0;
  std::uint64_t max_streams = 6;
  std::uint64_t streams_per_peer = 2;
  std::uint64_t stream_connection_reserve = 2;
  Nanos first_byte_timeout = 500'000'000;
  Nanos head_timeout = 2'000'000'000;
  Nanos stream_beat = 1'000'000'000;
  Nanos stream_send_timeout = 10'000'000'000;
  Nanos conversion_timeout = 10'000'000'000;
};

inline constexpr ServerConfig server_config{};

// What the settings say about the LAN listener.
enum class LanModeKind : std::uint8_t {
  off = 0,        // no LAN listener
  automatic = 1,  // find this PC's private IPv4 address
  address = 2,    // listen on the given private IPv4 address
  error = 3,      // the settings are wrong: no LAN thread, the text says why
};

struct LanMode {
  LanModeKind kind = LanModeKind::off;
  platform::Ipv4Address address;               // mode address only
  std::shared_ptr<const std::string> error;    // mode error only
};

// What the LAN listener is doing. Listening: address set, no text. Not listening yet: neither.
// Not listening: text set, no address.
struct LanState {
  std::optional<platform::Ipv4Address> address;
  std::shared_ptr<const std::string> error;

  static LanState listening(platform::Ipv4Address a) { return LanState{a, nullptr}; }
  static LanState not_listening(std::string text) {
    return LanState{std::nullopt, make_text(std::move(text))};
  }
  static LanState not_listening_yet() { return LanState{}; }

  // Equal when both have the same address (or none) and the same text bytes (or none).
  friend bool operator==(const LanState& a, const LanState& b);
};

// Threads: `start` makes it on the host's thread and puts it in the server slot; the server thread,
// the LAN thread, the accept threads, connection threads and mesh streams share it. The constants
// need no lock; the flags and counts are atomics; the peer table has its own locks; the LAN state and
// the error text each sit behind a lock that the host's `status` only tries (`try_*`) and the server's
// threads wait for (held only to copy or store one reference). The order of the locks:
// src/concurrency.md.
class Server {
 public:
  Server(std::uint16_t port, std::uint64_t generation, LanMode lan_mode);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const ServerConfig config = server_config;
  const std::uint16_t port;
  // The process-wide server generation after `start` bumped it (the status document's "generation").
  const std::uint64_t generation;
  const LanMode lan_mode;

  // Set once when the server must stop; every loop of the server polls it. Release/acquire, though
  // only the stop itself is told through it.
  std::atomic<bool> stop{false};
  // True while the loopback listener is bound and its accept loop runs (a fact for the status,
  // which reads it relaxed).
  std::atomic<bool> running{false};

  // Admitted connections whose slot is alive, and mesh streams whose slot is alive. Checked and
  // changed under the peer lock, which orders them; the status reads them relaxed.
  std::atomic<std::uint64_t> open_connections{0};
  std::atomic<std::uint64_t> open_streams{0};

  // Module-wide statistics: request and rejection counters.
  ModuleStats& stats;

  // Per-peer counts and token buckets under the peer lock, with the LAN-wide bucket inside it.
  PeerTable peers;

  // Copies of the LAN state and of the error text; nullopt when the lock is held right now.
  std::optional<LanState> try_lan_state() const;
  std::optional<std::shared_ptr<const std::string>> try_error_text() const;

  // Waiting copies, for the server's own threads.
  LanState lan_state() const;
  std::shared_ptr<const std::string> error_text() const;

  // Stores a changed LAN state and bumps the process-wide LAN change counter; an equal state
  // changes nothing. True when the state changed.
  bool set_lan_state(LanState next);
  // Stores the text as the server's error text, replacing any earlier one.
  void set_error(std::string_view text);

  // Sleeps at most `timeout_ns` in short slices, returning early (true) once `stop` is set.
  bool wait_for_stop(std::uint64_t timeout_ns) const;

 private:
  friend struct TestAccess;

  mutable std::mutex lan_lock_;
  LanState lan_state_;
  mutable std::mutex error_lock_;
  std::shared_ptr<const std::string> error_text_;
};

inline void set_server_error(Server& server, std::string_view text) { server.set_error(text); }
inline bool set_lan_state(Server& server, LanState next) { return server.set_lan_state(std::move(next)); }

// Starts the short-lived thread "quillmarsh-exporter-wake" (normal priority): one TCP connection
// attempt to `to` with a 1 s limit, its outcome dropped, so that a listener blocked in accept
// returns and sees its stop flag. A failure to start the thread is ignored.
void spawn_wake_thread(const platform::SocketAddressV4& to);

// The bodies of the server's threads, started by `start`: "quillmarsh-exporter" and, in the
// automatic and address LAN modes, "quillmarsh-exporter-lan". Each holds its own reference.
void run_server_thread(std::shared_ptr<Server> server);
void run_lan_thread(std::shared_ptr<Server> server);
void run_lan_thread_fixed(std::shared_ptr<Server> server, platform::Ipv4Address address);

}  // namespace qm::server
