#include "http/lan_listener.hpp"

#include <string>
#include <utility>

#include "base/fault.hpp"
#include "platform/clock.hpp"
#include "platform/local_address.hpp"
#include "platform/thread.hpp"
#include "http/listener.hpp"
#include "http/server.hpp"

namespace qm::server {

namespace {

// Where the automatic mode asks the routing table about: TEST-NET-1, discard port. A UDP connect
// sends nothing.
constexpr platform::SocketAddressV4 route_probe{platform::Ipv4Address::from_octets(192, 0, 2, 1), 9};

// The supervisor's world: this server, real sockets, threads and the monotonic clock.
class ServerLanEnvironment final : public LanEnvironment {
 public:
  ServerLanEnvironment(std::shared_ptr<Server> server, std::optional<platform::Ipv4Address> given)
      : server_(std::move(server)), given_(given) {}

  std::uint64_t now() override { return platform::system_clock().now(); }
  void sleep(std::uint64_t ns) override { platform::system_clock().sleep(ns); }
  bool stopping() override { return server_->stop.load(std::memory_order_acquire); }
  WantedAddress wanted() override {
    if (given_) return wanted_given(*given_, check_local_address(*given_));
    return find_lan_address();
  }
  Result<void, std::string> check_local(platform::Ipv4Address address) override {
    return check_local_address(address);
  }
  void wake(const platform::SocketAddressV4& to) override { spawn_wake_thread(to); }
  StartedListener start_accept(platform::Ipv4Address address) override { return start_lan_accept(server_, address); }
  void set_state(LanState state) override { set_lan_state(*server_, std::move(state)); }

 private:
  std::shared_ptr<Server> server_;
  std::optional<platform::Ipv4Address> given_;
};

void supervise(std::shared_ptr<Server> server, std::optional<platform::Ipv4Address> given) {
  try {
    ServerLanEnvironment env(std::move(server), given);
    LanSupervisor supervisor(env);
    supervisor.run();
  } catch (...) {
    // The listeners still end with the server's stop flag, which their accept loops test too.
    (void)caught_message();
  }
}

}  // namespace

Result<void, std::string> check_local_address(platform::Ipv4Address address) {
  if (platform::can_bind_udp(address)) return {};
  return failure(address.to_string() + " isn't an address of this PC at the moment");
}

WantedAddress find_lan_address() { return wanted_from_route(platform::route_source(route_probe)); }

StartedListener start_lan_accept(const std::shared_ptr<Server>& server, platform::Ipv4Address address) {
  const platform::SocketAddressV4 at{address, server->port};
  Result<platform::Socket, platform::NetError> bound = platform::listen_tcp(at);
  if (!bound) return StartedListener{nullptr, "bind " + at.to_string() + ": " + bound.error().text};

  auto listener = std::make_shared<LanListener>(at);
  // The thread takes the socket over; when it never starts, the socket comes back and is closed here.
  auto handover = std::make_shared<platform::Socket>(std::move(bound).value());
  Result<void, std::string> started;
  try {
    started = platform::spawn_thread(
        "quillmarsh-exporter-lan-accept", platform::Priority::below_normal,
        [server, handover, listener] { lan_accept_thread_main(server, std::move(*handover), listener); });
  } catch (...) {
    started = failure(caught_message());
  }
  if (!started) return StartedListener{nullptr, "could not start the LAN accept thread: " + started.error()};
  return StartedListener{std::move(listener), {}};
}

void lan_accept_thread_main(const std::shared_ptr<Server>& server, platform::Socket socket,
                            const std::shared_ptr<LanListener>& listener) {
  try {
    accept_loop(server, socket, listener->stop, true);
  } catch (...) {
    (void)caught_message();
  }
  socket.close();
  listener->stopped.store(true, std::memory_order_release);
}

void run_lan_thread(std::shared_ptr<Server> server) { supervise(std::move(server), std::nullopt); }

void run_lan_thread_fixed(std::shared_ptr<Server> server, platform::Ipv4Address address) {
  supervise(std::move(server), address);
}

}  // namespace qm::server
