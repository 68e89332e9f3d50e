// The LAN supervisor's decisions, driven by a fake clock, a fake address source and fake
// listeners; and the two ways of finding the wanted address.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "http/server_slot.hpp"
#include "platform/local_address.hpp"
#include "http/lan_listener.hpp"
#include "http/lan_supervisor.hpp"
#include "http/server.hpp"

namespace qm::server {

// Readable failures.
void PrintTo(const LanState& state, std::ostream* out) {
  if (state.address) *out << "listening on " << state.address->to_string();
  else if (state.error) *out << "not listening: " << *state.error;
  else *out << "not listening yet";
}

namespace {

using platform::Ipv4Address;
using platform::SocketAddressV4;

constexpr std::uint16_t port = 8931;
constexpr std::uint64_t ms = 1'000'000;
const Ipv4Address A = Ipv4Address::from_octets(192, 168, 77, 2);
const Ipv4Address B = Ipv4Address::from_octets(192, 168, 77, 3);

// A world with a fake clock: sleeping moves time on. Listeners are only records; a test decides
// when one "stops" by setting its flag (or by `stops_after_wake`).
class FakeEnv final : public LanEnvironment {
 public:
  FakeEnv() : server(port, 1, LanMode{}) {}

  std::uint64_t now() override { return clock; }
  void sleep(std::uint64_t ns) override {
    clock += ns;
    if (on_sleep) on_sleep();
  }
  bool stopping() override { return server.stop.load(); }
  WantedAddress wanted() override {
    ++wanted_calls;
    return want;
  }
  Result<void, std::string> check_local(Ipv4Address address) override {
    if (local.count(address.value)) return {};
    return failure(address.to_string() + " isn't an address of this PC at the moment");
  }
  void wake(const SocketAddressV4& to) override {
    wakes.push_back(to);
    // A woken listener on an address of this PC closes its socket (when the test wants so).
    if (stops_after_wake) {
      for (auto& l : started) {
        if (l->address == to && l->stop.load()) l->stopped.store(true);
      }
    }
  }
  StartedListener start_accept(Ipv4Address address) override {
    ++start_calls;
    // The port is still held by a listener on the same address that has not closed yet.
    for (auto& l : started) {
      if (l->address.address == address && !l->stopped.load()) {
        return StartedListener{nullptr, "bind " + address.to_string() + ":8931: Address already in use"};
      }
    }
    if (fail_start) return StartedListener{nullptr, *fail_start};
    auto l = std::make_shared<LanListener>(SocketAddressV4{address, port});
    started.push_back(l);
    return StartedListener{l, {}};
  }
  void set_state(LanState state) override {
    if (set_lan_state(server, state)) ++changes;
    states.push_back(std::move(state));
  }

  // Runs passes the way `run` does (sleep 100 ms between them) for `duration`.
  void passes(LanSupervisor& s, std::uint64_t duration) {
    const std::uint64_t end = clock + duration;
    while (clock < end) {
      sleep(lan_pass_interval_ns);
      ASSERT_TRUE(s.pass());
    }
  }

  Server server;
  std::uint64_t clock = 1'000 * ms;
  WantedAddress want = WantedAddress::none("no network connection");
  std::set<std::uint32_t> local;
  std::optional<std::string> fail_start;
  bool stops_after_wake = true;
  std::function<void()> on_sleep;

  int wanted_calls = 0;
  int start_calls = 0;
  int changes = 0;
  std::vector<SocketAddressV4> wakes;
  std::vector<std::shared_ptr<LanListener>> started;
  std::vector<LanState> states;
};

LanState state_of(const FakeEnv& env) { return env.server.lan_state(); }

TEST(LanSupervisor, ListensAtOnceAndChecksAgainOnlyEveryTenSeconds) {
  FakeEnv env;
  env.local = {A.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());  // the first pass does not wait
  EXPECT_EQ(state_of(env), LanState::listening(A));
  ASSERT_EQ(env.started.size(), 1u);
  EXPECT_EQ(env.started[0]->address, (SocketAddressV4{A, port}));
  EXPECT_EQ(env.changes, 1);

  env.passes(s, 9'900 * ms);
  EXPECT_EQ(env.wanted_calls, 1);  // no check before 10 s
  env.passes(s, 200 * ms);
  EXPECT_EQ(env.wanted_calls, 2);  // one unchanged check: no new listener, no state change
  EXPECT_EQ(env.start_calls, 1);
  EXPECT_EQ(env.changes, 1);
  EXPECT_FALSE(env.started[0]->stop.load());
  EXPECT_TRUE(env.wakes.empty());
}

TEST(LanSupervisor, FollowsAMovedAddressWithOneChange) {
  FakeEnv env;
  env.local = {A.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  const auto first = s.current();

  // A new lease: B replaces A between two checks.
  env.passes(s, 3'000 * ms);
  env.local = {B.value};
  env.want = WantedAddress::at(B);
  env.passes(s, 6'800 * ms);
  EXPECT_EQ(state_of(env), LanState::listening(A));  // not before the next check
  env.passes(s, 300 * ms);
  EXPECT_EQ(state_of(env), LanState::listening(B));
  EXPECT_EQ(env.changes, 2);  // listening on A, then on B: nothing in between
  EXPECT_TRUE(first->stop.load());
  EXPECT_TRUE(env.wakes.empty());  // A is gone: nothing to wake there
  ASSERT_EQ(s.old_listeners().size(), 1u);
  EXPECT_EQ(s.old_listeners()[0], first);
  ASSERT_TRUE(s.current());
  EXPECT_EQ(s.current()->address.address, B);

  // Once the old listener reports it stopped, the next check forgets it.
  first->stopped.store(true);
  env.passes(s, 10'000 * ms);
  EXPECT_TRUE(s.old_listeners().empty());
}

TEST(LanSupervisor, WakesAGivenUpListenerWhoseAddressIsStillLocal) {
  FakeEnv env;
  env.stops_after_wake = false;
  env.local = {A.value, B.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  env.want = WantedAddress::at(B);
  env.passes(s, 10'000 * ms);
  ASSERT_EQ(env.wakes.size(), 1u);
  EXPECT_EQ(env.wakes[0], (SocketAddressV4{A, port}));
  // It has not stopped: every later check wakes it again.
  env.passes(s, 10'000 * ms);
  EXPECT_EQ(env.wakes.size(), 2u);
}

TEST(LanSupervisor, ReportsWhyItDoesNotListenAndPicksTheAddressUpAtTheNextCheck) {
  FakeEnv env;
  const std::string absent = "192.168.77.2 isn't an address of this PC at the moment";
  env.want = WantedAddress::none(absent);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  EXPECT_EQ(state_of(env), LanState::not_listening(absent));
  env.passes(s, 12'000 * ms);  // one unchanged check
  EXPECT_EQ(env.wanted_calls, 2);
  EXPECT_EQ(env.changes, 1);
  EXPECT_EQ(env.start_calls, 0);

  env.local = {A.value};
  env.want = WantedAddress::at(A);
  env.passes(s, 7'800 * ms);
  EXPECT_EQ(env.changes, 1);  // not before the next check
  env.passes(s, 300 * ms);  // the check 10 s after the last one
  EXPECT_EQ(state_of(env), LanState::listening(A));
  EXPECT_EQ(env.changes, 2);
}

TEST(LanSupervisor, RestartsSoonAfterItsListenerStoppedAccepting) {
  FakeEnv env;
  env.local = {A.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  env.passes(s, 2'000 * ms);
  env.started[0]->stopped.store(true);  // its accept loop failed 20 times in a row
  env.sleep(lan_pass_interval_ns);
  ASSERT_TRUE(s.pass());
  EXPECT_EQ(state_of(env), LanState::not_listening(lan_stopped_accepting_text));
  EXPECT_FALSE(s.current());
  EXPECT_EQ(s.next_check(), env.clock + 100 * ms);
  env.sleep(lan_pass_interval_ns);
  ASSERT_TRUE(s.pass());
  EXPECT_EQ(state_of(env), LanState::listening(A));
  EXPECT_EQ(env.started.size(), 2u);
  EXPECT_EQ(env.changes, 3);
  EXPECT_TRUE(s.old_listeners().empty());  // a stopped listener is dropped, not kept
}

TEST(LanSupervisor, WaitsForAnOlderListenerOnTheSameAddressBeforeBinding) {
  FakeEnv env;
  env.stops_after_wake = false;
  env.local = {A.value, B.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  const auto on_a = s.current();
  env.want = WantedAddress::at(B);
  env.passes(s, 10'000 * ms);
  ASSERT_EQ(s.current()->address.address, B);

  // Back to A while the old listener on A still holds the port: it closes 300 ms into the wait.
  env.want = WantedAddress::at(A);
  const std::uint64_t check_at = s.next_check();
  env.on_sleep = [&] {
    if (env.clock >= check_at + 300 * ms) on_a->stopped.store(true);
  };
  env.passes(s, 10'000 * ms);
  EXPECT_EQ(state_of(env), LanState::listening(A));
  EXPECT_NE(s.current(), on_a);
  EXPECT_GE(env.clock, check_at + 300 * ms);
}

TEST(LanSupervisor, GivesUpWaitingAfterOneSecondAndRetriesOneSecondLater) {
  FakeEnv env;
  env.stops_after_wake = false;
  env.local = {A.value, B.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  const auto on_a = s.current();
  env.want = WantedAddress::at(B);
  env.passes(s, 10'000 * ms);
  const auto on_b = s.current();
  env.want = WantedAddress::at(A);
  env.passes(s, 9'900 * ms);
  const std::uint64_t before = env.clock;
  env.sleep(lan_pass_interval_ns);
  ASSERT_TRUE(s.pass());  // the check: B given up, A still held by its old listener
  EXPECT_GE(env.clock - before, 1'000 * ms);  // the one-second wait for the old listener on A
  EXPECT_EQ(state_of(env), LanState::not_listening("bind 192.168.77.2:8931: Address already in use"));
  EXPECT_FALSE(s.current());
  EXPECT_TRUE(on_b->stop.load());
  EXPECT_EQ(s.next_check(), env.clock + 1'000 * ms);  // B has not stopped yet: try again in 1 s

  on_a->stopped.store(true);
  env.passes(s, 1'000 * ms);
  EXPECT_EQ(state_of(env), LanState::listening(A));
}

TEST(LanSupervisor, ReportsAStartFailure) {
  FakeEnv env;
  env.local = {A.value};
  env.want = WantedAddress::at(A);
  env.fail_start = "could not start the LAN accept thread: out of threads";
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  EXPECT_EQ(state_of(env), LanState::not_listening(*env.fail_start));
  EXPECT_EQ(s.next_check(), env.clock + 10'000 * ms);  // nothing was given up: the usual 10 s
  env.fail_start.reset();
  env.passes(s, 10'000 * ms);
  EXPECT_EQ(state_of(env), LanState::listening(A));
}

TEST(LanSupervisor, KeepsAtMostEightOldListeners) {
  FakeEnv env;
  env.stops_after_wake = false;
  LanSupervisor s(env);
  for (int i = 0; i < 12; ++i) {
    const Ipv4Address a = Ipv4Address::from_octets(10, 0, 0, static_cast<std::uint8_t>(i + 1));
    env.local.insert(a.value);
    env.want = WantedAddress::at(a);
    env.passes(s, 10'000 * ms);
  }
  // Trimmed at each check to 8, then the listener given up in that check joins.
  EXPECT_EQ(s.old_listeners().size(), 9u);
  EXPECT_EQ(s.old_listeners().back()->address.address, Ipv4Address::from_octets(10, 0, 0, 11));
}

TEST(LanSupervisor, StopLetsEveryListenerGoAndEndsTheLoop) {
  FakeEnv env;
  env.stops_after_wake = false;
  env.local = {A.value, B.value};
  env.want = WantedAddress::at(A);
  LanSupervisor s(env);
  ASSERT_TRUE(s.pass());
  env.want = WantedAddress::at(B);
  env.passes(s, 10'000 * ms);
  ASSERT_EQ(env.started.size(), 2u);
  env.wakes.clear();

  env.local = {B.value};  // A has gone meanwhile: only B is woken
  env.server.stop.store(true);
  env.sleep(lan_pass_interval_ns);
  EXPECT_FALSE(s.pass());
  for (const auto& l : env.started) EXPECT_TRUE(l->stop.load());
  ASSERT_EQ(env.wakes.size(), 1u);
  EXPECT_EQ(env.wakes[0], (SocketAddressV4{B, port}));
  EXPECT_EQ(state_of(env), LanState::not_listening_yet());
  EXPECT_FALSE(s.current());
  EXPECT_TRUE(s.old_listeners().empty());
}

TEST(LanSupervisor, RunEndsOnStopAndSleepsBetweenPasses) {
  FakeEnv env;
  env.local = {A.value};
  env.want = WantedAddress::at(A);
  int sleeps = 0;
  env.on_sleep = [&] {
    if (++sleeps == 5) env.server.stop.store(true);
  };
  const std::uint64_t start = env.clock;
  LanSupervisor s(env);
  s.run();
  EXPECT_EQ(env.clock - start, 5 * lan_pass_interval_ns);
  EXPECT_EQ(state_of(env), LanState::not_listening_yet());
  ASSERT_EQ(env.started.size(), 1u);
  EXPECT_TRUE(env.started[0]->stop.load());
}

TEST(LanSupervisor, StopDuringTheWaitForAnOldListenerEndsTheWait) {
  FakeEnv env;
  env.stops_after_wake = false;
  LanListener stubborn(SocketAddressV4{A, port});
  LanSupervisor s(env);
  env.on_sleep = [&] { env.server.stop.store(true); };
  const std::uint64_t start = env.clock;
  s.stop_and_wait(stubborn);
  EXPECT_LT(env.clock - start, 100 * ms);
}

TEST(LanAddress, TheRouteSourceGivesTheWantedAddressOrTheReason) {
  using Outcome = platform::RouteSource::Outcome;
  const std::string not_private =
      "this PC's network address isn't a private LAN address (a VPN or a public connection?); "
      "set `address` in the settings file";
  struct Case {
    Outcome outcome;
    Ipv4Address address;
    std::optional<Ipv4Address> wanted;
    std::string text;
  };
  const Case cases[] = {
      {Outcome::found, Ipv4Address::from_octets(192, 168, 1, 20), Ipv4Address::from_octets(192, 168, 1, 20), ""},
      {Outcome::found, Ipv4Address::from_octets(10, 1, 2, 3), Ipv4Address::from_octets(10, 1, 2, 3), ""},
      {Outcome::found, Ipv4Address::from_octets(172, 16, 0, 1), Ipv4Address::from_octets(172, 16, 0, 1), ""},
      {Outcome::found, Ipv4Address::from_octets(172, 31, 255, 1), Ipv4Address::from_octets(172, 31, 255, 1), ""},
      {Outcome::found, Ipv4Address::from_octets(172, 32, 0, 1), std::nullopt, not_private},
      {Outcome::found, Ipv4Address::from_octets(172, 15, 0, 1), std::nullopt, not_private},
      {Outcome::found, Ipv4Address::from_octets(8, 8, 8, 8), std::nullopt, not_private},
      {Outcome::found, Ipv4Address::from_octets(127, 0, 0, 1), std::nullopt, not_private},
      {Outcome::found, Ipv4Address::from_octets(100, 64, 0, 1), std::nullopt, not_private},
      {Outcome::found, platform::ipv4_any, std::nullopt, "no network connection"},
      {Outcome::no_route, Ipv4Address{}, std::nullopt, "no network connection"},
  };
  for (const Case& c : cases) {
    platform::RouteSource route;
    route.outcome = c.outcome;
    route.address = c.address;
    const WantedAddress w = wanted_from_route(route);
    EXPECT_EQ(w.address, c.wanted) << c.address.to_string();
    EXPECT_EQ(w.error, c.text) << c.address.to_string();
  }
  platform::RouteSource no_socket;
  no_socket.outcome = Outcome::no_socket;
  no_socket.error.text = "Too many open files (os error 24)";
  EXPECT_EQ(wanted_from_route(no_socket).error,
            "could not look up the network address: Too many open files (os error 24)");
}

TEST(LanAddress, TheGivenAddressIsWantedOnlyWhileItIsThisPcs) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine lets a socket bind any address, so the bind test cannot tell absent addresses";
#endif
  EXPECT_EQ(wanted_given(A, {}).address, A);
  const WantedAddress absent = wanted_given(A, check_local_address(Ipv4Address::from_octets(192, 0, 2, 1)));
  EXPECT_FALSE(absent.address);
  EXPECT_EQ(absent.error, "192.0.2.1 isn't an address of this PC at the moment");
  EXPECT_TRUE(check_local_address(platform::ipv4_loopback).ok());
}

}  // namespace
}  // namespace qm::server
