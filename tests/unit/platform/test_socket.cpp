#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/socket.hpp"

namespace qm::platform {
namespace {

TEST(Ipv4, ParsesStrictDottedQuads) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {"192.168.1.20", 0xC0A80114u},
      {"0.0.0.0", 0u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"10.0.0.1", 0x0A000001u},
      {"256.1.1.1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1.2.3.4.", std::nullopt},
      {".1.2.3.4", std::nullopt},
      {"1..2.3", std::nullopt},
      {"010.0.0.1", std::nullopt},  // leading zero: neither octal nor decimal
      {"10.0.0.01", std::nullopt},
      {"1000.0.0.1", std::nullopt},
      {"0x0A.0.0.1", std::nullopt},
      {"+1.2.3.4", std::nullopt},
      {" 1.2.3.4", std::nullopt},  // the caller trims; the parser does not
      {"1.2.3.4 ", std::nullopt},
      {"192.168.1.20:80", std::nullopt},
      {"localhost", std::nullopt},
      {"", std::nullopt},
      {"3232235796", std::nullopt},  // a bare number is not a dotted quad
      {"1.2.3.-4", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_ipv4(c.text);
    ASSERT_EQ(parsed.has_value(), c.value.has_value()) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->value, *c.value) << c.text;
    }
  }
  EXPECT_FALSE(parse_ipv4(std::string_view("1.2.3.4\0", 8)));
}

TEST(Ipv4, FormatsAndClassifies) {
  EXPECT_EQ(Ipv4Address::from_octets(192, 168, 1, 20).to_string(), "192.168.1.20");
  EXPECT_EQ((SocketAddressV4{ipv4_loopback, 65535}).to_string(), "127.0.0.1:65535");
  struct Case {
    const char* text;
    bool is_private;
  };
  const Case cases[] = {{"10.255.0.1", true},    {"172.16.0.1", true},  {"172.31.255.255", true},
                        {"172.15.0.1", false},   {"172.32.0.1", false}, {"192.168.0.1", true},
                        {"192.169.0.1", false},  {"8.8.8.8", false},    {"127.0.0.1", false},
                        {"11.0.0.1", false}};
  for (const Case& c : cases) EXPECT_EQ(parse_ipv4(c.text)->is_private(), c.is_private) << c.text;
  EXPECT_TRUE(parse_ipv4("127.1.2.3")->is_loopback());
}

// A listener on 127.0.0.1 with a port of the kernel's choice.
struct Listener {
  int fd = -1;
  std::uint16_t port = 0;
  explicit Listener(int backlog = 4) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
};

TEST(Connect, ReachesAListenerAndFailsFastOnAClosedPort) {
  std::uint16_t closed_port;
  {
    Listener gone;
    closed_port = gone.port;
  }
  Listener listener;
  const auto s = connect_tcp(SocketAddressV4{ipv4_loopback, listener.port}, 1'000'000'000);
  ASSERT_TRUE(s.ok()) << s.error().text;
  const int accepted = ::accept(listener.fd, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  ::close(accepted);

  const auto refused = connect_tcp(SocketAddressV4{ipv4_loopback, closed_port}, 60'000'000'000);
  ASSERT_FALSE(refused.ok());
  const NetError& error = refused.error();
  EXPECT_FALSE(error.text.empty());
  EXPECT_FALSE(error.timed_out()) << "refused, not timed out: " << error.text;
}

TEST(Connect, GivesUpAtItsTimeOut) {
  // A listener that never accepts and has a full queue drops further handshakes: those connects
  // can only end by their time-out.
  Listener listener(0);
  std::vector<Socket> queued;
  bool timed_out = false;
  for (int i = 0; i < 16 && !timed_out; ++i) {
    const std::uint64_t before = monotonic_ns();
    auto s = connect_tcp(SocketAddressV4{ipv4_loopback, listener.port}, 200'000'000);
    if (s.ok()) {
      queued.push_back(std::move(s).value());
      continue;
    }
    timed_out = true;
    const std::uint64_t took = monotonic_ns() - before;
    const NetError& error = s.error();
    EXPECT_TRUE(error.timed_out()) << error.text;
    EXPECT_GE(took, 190'000'000u);
    // By its own time-out, not the system's minutes of handshake retries: a limit only those reach.
    EXPECT_LT(took, 60'000'000'000u);
  }
  EXPECT_TRUE(timed_out);
}

TEST(Connect, RefusesAZeroTimeOut) {
  Listener listener;
  const auto zero = connect_tcp(SocketAddressV4{ipv4_loopback, listener.port}, 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().text, "a time-out of zero is not allowed");
}

TEST(SocketHandle, ClosesOnceAndMovesOwnership) {
  Socket a(::socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(a.valid());
  const NativeSocket fd = a.native();
  Socket b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.native(), fd);
  b.close();
  EXPECT_FALSE(b.valid());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // really closed
}

}  // namespace
}  // namespace qm::platform
