#include "http/server.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "http/server_slot.hpp"
#include "platform/clock.hpp"
#include "platform/thread.hpp"

namespace qm::server {

bool operator==(const LanState& a, const LanState& b) {
  if (a.address != b.address) return false;
  if (static_cast<bool>(a.error) != static_cast<bool>(b.error)) return false;
  return !a.error || *a.error == *b.error;
}

Server::Server(std::uint16_t port_, std::uint64_t generation_, LanMode lan_mode_)
    : port(port_),
      generation(generation_),
      lan_mode(std::move(lan_mode_)),
      stats(module_stats()),
      peers(config, now_ns()) {
  // In mode error the LAN state carries the settings' text from the first moment.
  if (lan_mode.kind == LanModeKind::error) lan_state_.error = lan_mode.error;
}

std::optional<LanState> Server::try_lan_state() const {
  std::unique_lock guard(lan_lock_, std::try_to_lock);
  if (!guard.owns_lock()) return std::nullopt;
  return lan_state_;
}

std::optional<std::shared_ptr<const std::string>> Server::try_error_text() const {
  std::unique_lock guard(error_lock_, std::try_to_lock);
  if (!guard.owns_lock()) return std::nullopt;
  return error_text_;
}

LanState Server::lan_state() const {
  std::lock_guard guard(lan_lock_);
  return lan_state_;
}

std::shared_ptr<const std::string> Server::error_text() const {
  std::lock_guard guard(error_lock_);
  return error_text_;
}

bool Server::set_lan_state(LanState next) {
  {
    std::lock_guard guard(lan_lock_);
    if (lan_state_ == next) return false;
    lan_state_ = std::move(next);
  }
  lan_changes_counter().fetch_add(1, std::memory_order_relaxed);
  return true;
}

void Server::set_error(std::string_view text) {
  SharedText shared = make_text(std::string(text));
  std::lock_guard guard(error_lock_);
  error_text_ = std::move(shared);
}

bool Server::wait_for_stop(std::uint64_t timeout_ns) const {
  constexpr std::uint64_t slice = 20'000'000;  // 20 ms
  const std::uint64_t deadline = platform::monotonic_ns() + timeout_ns;
  for (;;) {
    if (stop.load(std::memory_order_acquire)) return true;
    const std::uint64_t now = platform::monotonic_ns();
    if (now >= deadline) return false;
    platform::sleep_ns(std::min(slice, deadline - now));
  }
}

void spawn_wake_thread(const platform::SocketAddressV4& to) {
  try {
    (void)platform::spawn_thread("quillmarsh-exporter-wake", platform::Priority::normal, [to] {
      try {
        (void)platform::connect_tcp(to, 1'000'000'000);  // connected or not, the socket is closed at once
      } catch (...) {
        (void)caught_message();
      }
    });
  } catch (...) {
    (void)caught_message();  // a wake thread that cannot start is ignored
  }
}

}  // namespace qm::server
