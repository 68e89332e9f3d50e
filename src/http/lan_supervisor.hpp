#pragma once
// The LAN supervisor: every 100 ms it watches the server's stop flag and its current LAN listener;
// every 10 s (and 100 ms after its listener stopped) it finds the wanted address and keeps one LAN
// listener on it. The decisions live here; everything that touches the world (clock, sockets,
// threads, the server's LAN state) goes through `LanEnvironment`, so tests can drive the loop with
// a fake clock and a fake address source.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.hpp"
#include "platform/local_address.hpp"
#include "platform/result.hpp"
#include "platform/socket.hpp"
#include "http/server.hpp"

namespace qm::server {

// One LAN listener, shared by the supervisor and its accept thread.
struct LanListener {
  explicit LanListener(const platform::SocketAddressV4& at) : address(at) {}
  LanListener(const LanListener&) = delete;
  LanListener& operator=(const LanListener&) = delete;

  const platform::SocketAddressV4 address;
  // Set by the supervisor when the listener must stop.
  std::atomic<bool> stop{false};
  // Set by the accept thread once it has closed the listener. Release/acquire: a supervisor that
  // sees it set may bind the same address again. (`stop` uses the same pair.)
  std::atomic<bool> stopped{false};
};

// The address the LAN listener should be on: an address, or a text saying why there is none.
struct WantedAddress {
  std::optional<platform::Ipv4Address> address;
  std::string error;

  static WantedAddress at(platform::Ipv4Address a) { return WantedAddress{a, {}}; }
  static WantedAddress none(std::string text) { return WantedAddress{std::nullopt, std::move(text)}; }
};

// A started LAN listener, or the text saying why it could not start.
struct StartedListener {
  std::shared_ptr<LanListener> listener;
  std::string error;
};

inline constexpr std::uint64_t lan_pass_interval_ns = 100'000'000;        // 100 ms
inline constexpr std::uint64_t lan_check_interval_ns = 10'000'000'000;    // 10 s
inline constexpr std::uint64_t lan_retry_after_stop_ns = 100'000'000;     // 100 ms
inline constexpr std::uint64_t lan_retry_after_busy_port_ns = 1'000'000'000;  // 1 s
inline constexpr std::uint64_t lan_stop_wait_ns = 1'000'000'000;          // 1 s
inline constexpr std::uint64_t lan_stop_poll_ns = 10'000'000;             // 10 ms
inline constexpr std::size_t lan_old_listeners_kept = 8;

inline constexpr const char* lan_stopped_accepting_text = "the LAN listener stopped accepting; trying again";

// What the supervisor asks of the world: its clock, and the rest below.
class LanEnvironment : public platform::Clock {
 public:
  // The server's stop flag.
  virtual bool stopping() = 0;
  // The wanted address of this check.
  virtual WantedAddress wanted() = 0;
  // Success when the address belongs to this PC now, else the text saying it does not.
  virtual Result<void, std::string> check_local(platform::Ipv4Address address) = 0;
  // One connection attempt towards a listener so that its accept returns.
  virtual void wake(const platform::SocketAddressV4& to) = 0;
  // Binds a listener on the address (the server's port) and starts its accept thread.
  virtual StartedListener start_accept(platform::Ipv4Address address) = 0;
  virtual void set_state(LanState state) = 0;
};

class LanSupervisor {
 public:
  explicit LanSupervisor(LanEnvironment& env);
  LanSupervisor(const LanSupervisor&) = delete;
  LanSupervisor& operator=(const LanSupervisor&) = delete;

  // The supervision loop: the first pass at once, every later one after a 100 ms sleep, until the
  // server's stop flag ends it through the shutdown steps.
  void run();

  // One pass. False once the stop flag was seen and the shutdown steps are done.
  bool pass();

  // Lets every listener go and sets the state to "not listening yet".
  void shut_down();

  // Waits (at most 1 s, polling every 10 ms) until a listener that was told to stop has closed its
  // socket, waking it first when its address is still this PC's.
  void stop_and_wait(LanListener& listener);

  const std::shared_ptr<LanListener>& current() const { return current_; }
  const std::deque<std::shared_ptr<LanListener>>& old_listeners() const { return old_; }
  std::uint64_t next_check() const { return next_check_; }

 private:
  // Sets the listener's stop flag and wakes it when its address is still this PC's.
  void let_go(LanListener& listener);
  void check(std::uint64_t now);

  LanEnvironment& env_;
  std::uint64_t next_check_;
  std::shared_ptr<LanListener> current_;
  // Listeners told to stop that had not stopped yet, oldest first.
  std::deque<std::shared_ptr<LanListener>> old_;
};

// The wanted address in the automatic mode, from what the routing table said about the way out
// (see platform::route_source).
WantedAddress wanted_from_route(const platform::RouteSource& route);

// The wanted address in the given-address mode: the address when it is this PC's now.
WantedAddress wanted_given(platform::Ipv4Address address, const Result<void, std::string>& checked);

}  // namespace qm::server
