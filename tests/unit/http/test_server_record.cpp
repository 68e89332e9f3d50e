#include <gtest/gtest.h>

#include <thread>

#include "http/server_slot.hpp"
#include "platform/clock.hpp"
#include "http/server.hpp"

namespace qm::server {
namespace {

LanMode error_mode(const char* text) {
  LanMode mode;
  mode.kind = LanModeKind::error;
  mode.error = std::make_shared<const std::string>(text);
  return mode;
}

TEST(ServerRecord, StartsWithTheSettingsErrorAsItsLanState) {
  Server with_error(8931, 7, error_mode("bad address"));
  const auto state = with_error.try_lan_state();
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->address);
  ASSERT_TRUE(state->error);
  EXPECT_EQ(*state->error, "bad address");
  EXPECT_EQ(with_error.generation, 7u);
  EXPECT_EQ(with_error.port, 8931);
  EXPECT_FALSE(with_error.stop.load());
  EXPECT_FALSE(with_error.running.load());

  Server plain(8931, 8, LanMode{});
  EXPECT_EQ(*plain.try_lan_state(), LanState::not_listening_yet());
  EXPECT_EQ(*plain.try_error_text(), nullptr);
}

TEST(ServerRecord, OnlyAChangedLanStateCountsAsAChange) {
  Server server(8931, 1, LanMode{});
  auto& counter = lan_changes_counter();
  const std::uint64_t before = counter.load();
  const auto a = platform::Ipv4Address::from_octets(192, 168, 1, 20);
  const auto b = platform::Ipv4Address::from_octets(192, 168, 1, 21);

  EXPECT_FALSE(set_lan_state(server, LanState::not_listening_yet()));  // equal to the first state
  EXPECT_TRUE(set_lan_state(server, LanState::listening(a)));
  EXPECT_FALSE(set_lan_state(server, LanState::listening(a)));
  EXPECT_TRUE(set_lan_state(server, LanState::listening(b)));
  EXPECT_TRUE(set_lan_state(server, LanState::not_listening("gone")));
  EXPECT_FALSE(set_lan_state(server, LanState::not_listening("gone")));  // same bytes, another text object
  EXPECT_TRUE(set_lan_state(server, LanState::not_listening("gone again")));
  EXPECT_EQ(counter.load(), before + 4);
  EXPECT_EQ(*server.lan_state().error, "gone again");
}

TEST(ServerRecord, TheLatestErrorTextStays) {
  Server server(8931, 1, LanMode{});
  set_server_error(server, "bind 127.0.0.1:8931: in use");
  set_server_error(server, "the server thread panicked");
  EXPECT_EQ(*server.error_text(), "the server thread panicked");
}

TEST(ServerRecord, WaitForStopEndsSoonAfterTheFlag) {
  Server server(8931, 1, LanMode{});
  EXPECT_FALSE(server.wait_for_stop(30'000'000));
  std::thread setter([&] {
    platform::sleep_ns(50'000'000);
    server.stop.store(true);
  });
  EXPECT_TRUE(server.wait_for_stop(60'000'000'000)) << "ended by the flag, before the limit";
  setter.join();
}

TEST(ServerSlot, SwapsAndTriesTheSlot) {
  auto server = std::make_shared<Server>(8931, 1, LanMode{});
  EXPECT_EQ(swap_server(server), nullptr);
  const auto seen = try_current_server();
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, server);
  EXPECT_EQ(swap_server(nullptr), server);
  EXPECT_EQ(*try_current_server(), nullptr);
  const std::uint64_t g = next_server_generation();
  EXPECT_EQ(next_server_generation(), g + 1);
}

}  // namespace
}  // namespace qm::server
