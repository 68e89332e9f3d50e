#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "http/settings.hpp"

namespace qm {
namespace {

TEST(Settings, PortIsAWholeNumberFrom1024To65535) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::optional<double> arg;
    std::optional<std::uint16_t> port;
  };
  const Case cases[] = {{1024.0, 1024}, {65535.0, 65535}, {8931.0, 8931},       {1023.0, std::nullopt},
                        {65536.0, std::nullopt}, {8931.5, std::nullopt}, {nan, std::nullopt},
                        {inf, std::nullopt}, {-inf, std::nullopt}, {-8931.0, std::nullopt},
                        {std::nullopt, std::nullopt}, {1023.9999, std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(port_setting(c.arg), c.port) << (c.arg ? *c.arg : -1);
}

TEST(Settings, BudgetIsRoundedAndClamped) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::optional<double> arg;
    std::uint32_t micros;
  };
  const Case cases[] = {{49.4, 50},  {49.5, 50},   {50.0, 50},    {123.5, 124}, {123.4, 123}, {-123.5, 50},
                        {2000.0, 2000}, {2000.4, 2000}, {2000.5, 2000}, {1e300, 2000}, {-1e300, 50},
                        {inf, 300},  {-inf, 300},  {nan, 300},    {std::nullopt, 300}, {300.0, 300}};
  for (const Case& c : cases) EXPECT_EQ(terrain_budget_setting(c.arg), c.micros) << (c.arg ? *c.arg : -1);
}

TEST(Settings, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_white_space("  192.168.1.20\t\r\n"), "192.168.1.20");
  EXPECT_EQ(trim_white_space("\xC2\xA0" "10.0.0.1" "\xE3\x80\x80"), "10.0.0.1");  // NBSP, ideographic space
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space(""), "");
  EXPECT_EQ(trim_white_space("a b"), "a b");
  EXPECT_EQ(trim_white_space("\xC3\xA9 "), "\xC3\xA9");  // a non-space multibyte character stays
}

TEST(Settings, LanModeFromSwitchAndAddress) {
  using server::LanModeKind;
  struct Case {
    std::optional<bool> lan_switch;
    std::optional<std::string> address;
    LanModeKind kind;
    std::string_view error;
  };
  const Case cases[] = {
      {std::nullopt, "192.168.1.20", LanModeKind::off, {}},
      {false, "garbage", LanModeKind::off, {}},
      {false, std::nullopt, LanModeKind::off, {}},
      {true, std::nullopt, LanModeKind::automatic, {}},
      {true, "  192.168.1.20  ", LanModeKind::address, {}},
      {true, "10.1.2.3", LanModeKind::address, {}},
      {true, "172.31.0.1", LanModeKind::address, {}},
      {true, "172.15.0.1", LanModeKind::error, lan_not_private_message},
      {true, "8.8.8.8", LanModeKind::error, lan_not_private_message},
      {true, "127.0.0.1", LanModeKind::error, lan_not_private_message},
      {true, "router.local", LanModeKind::error, lan_not_ipv4_message},
      {true, "(not text)", LanModeKind::error, lan_not_ipv4_message},
      {true, "", LanModeKind::error, lan_not_ipv4_message},
      {true, "192.168.1", LanModeKind::error, lan_not_ipv4_message},
  };
  for (const Case& c : cases) {
    const server::LanMode mode = lan_mode_setting(c.lan_switch, c.address);
    EXPECT_EQ(mode.kind, c.kind) << c.address.value_or("(none)");
    if (c.kind == LanModeKind::error) {
      ASSERT_TRUE(mode.error);
      EXPECT_EQ(*mode.error, c.error);
    } else {
      EXPECT_FALSE(mode.error);
    }
  }
  EXPECT_EQ(lan_mode_setting(true, std::string(" 192.168.1.20 ")).address,
            platform::Ipv4Address::from_octets(192, 168, 1, 20));
}

}  // namespace
}  // namespace qm
