#include "http/lan_supervisor.hpp"

#include <algorithm>

namespace qm::server {

LanSupervisor::LanSupervisor(LanEnvironment& env) : env_(env), next_check_(env.now()) {}

void LanSupervisor::run() {
  bool first = true;
  for (;;) {
    if (!first) env_.sleep(lan_pass_interval_ns);
    first = false;
    if (!pass()) return;
  }
}

bool LanSupervisor::pass() {
  if (env_.stopping()) {
    shut_down();
    return false;
  }
  const std::uint64_t now = env_.now();
  if (current_ && current_->stopped.load(std::memory_order_acquire)) {
    // Its accept loop gave up (an error streak or a fault): report it and look again soon.
    current_.reset();
    env_.set_state(LanState::not_listening(lan_stopped_accepting_text));
    next_check_ = std::min(next_check_, now + lan_retry_after_stop_ns);
  }
  if (now >= next_check_) check(now);
  return true;
}

void LanSupervisor::check(std::uint64_t now) {
  next_check_ = now + lan_check_interval_ns;

  // Older listeners: forget those that have stopped, keep the newest few, wake them again.
  std::erase_if(old_, [](const std::shared_ptr<LanListener>& l) { return l->stopped.load(std::memory_order_acquire); });
  while (old_.size() > lan_old_listeners_kept) old_.pop_front();
  for (const auto& listener : old_) {
    if (env_.check_local(listener->address.address)) env_.wake(listener->address);
  }

  const WantedAddress wanted = env_.wanted();
  if (wanted.address && current_ && current_->address.address == *wanted.address) return;

  std::shared_ptr<LanListener> given_up;
  if (current_) {
    let_go(*current_);
    given_up = current_;
    old_.push_back(std::move(current_));
    current_.reset();
  }

  if (!wanted.address) {
    env_.set_state(LanState::not_listening(wanted.error));
    return;
  }
  // The port must be free on that address: an older listener on it is waited for first.
  for (const auto& listener : old_) {
    if (listener->address.address == *wanted.address) stop_and_wait(*listener);
  }
  StartedListener started = env_.start_accept(*wanted.address);
  if (started.listener) {
    current_ = std::move(started.listener);
    env_.set_state(LanState::listening(*wanted.address));
    return;
  }
  env_.set_state(LanState::not_listening(std::move(started.error)));
  if (given_up && !given_up->stopped.load(std::memory_order_acquire)) {
    next_check_ = env_.now() + lan_retry_after_busy_port_ns;
  }
}

void LanSupervisor::let_go(LanListener& listener) {
  listener.stop.store(true, std::memory_order_release);
  if (env_.check_local(listener.address.address)) env_.wake(listener.address);
}

void LanSupervisor::stop_and_wait(LanListener& listener) {
  if (listener.stopped.load(std::memory_order_acquire)) return;
  if (env_.check_local(listener.address.address)) env_.wake(listener.address);
  const std::uint64_t deadline = env_.now() + lan_stop_wait_ns;
  for (;;) {
    if (listener.stopped.load(std::memory_order_acquire)) return;
    if (env_.stopping()) return;
    const std::uint64_t now = env_.now();
    if (now >= deadline) return;
    env_.sleep(std::min(lan_stop_poll_ns, deadline - now));
  }
}

void LanSupervisor::shut_down() {
  if (current_) {
    let_go(*current_);
    current_.reset();
  }
  for (const auto& listener : old_) let_go(*listener);
  old_.clear();
  env_.set_state(LanState::not_listening_yet());
}

WantedAddress wanted_from_route(const platform::RouteSource& route) {
  using Outcome = platform::RouteSource::Outcome;
  switch (route.outcome) {
    case Outcome::no_socket:
      return WantedAddress::none("could not look up the network address: " + route.error.text);
    case Outcome::no_route:
      return WantedAddress::none("no network connection");
    case Outcome::found:
      break;
  }
  if (route.address == platform::ipv4_any) return WantedAddress::none("no network connection");
  if (!route.address.is_private()) {
    return WantedAddress::none(
        "this PC's network address isn't a private LAN address (a VPN or a public connection?); "
        "set `address` in the settings file");
  }
  return WantedAddress::at(route.address);
}

WantedAddress wanted_given(platform::Ipv4Address address, const Result<void, std::string>& checked) {
  if (!checked) return WantedAddress::none(checked.error());
  return WantedAddress::at(address);
}

}  // namespace qm::server
