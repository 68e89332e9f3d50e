// The socket layer and the connection's send and close, through the platform interface only (so
// these run on Windows too).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "server/connection.hpp"
#include "server/listener.hpp"
#include "server/server.hpp"

namespace qm::server {
namespace {

using namespace qm::platform;
constexpr std::uint64_t ms = 1000000;

struct Pair {
  Socket listener, client, server;
  std::uint16_t port = 0;
};

Pair connected_pair() {
  Pair p;
  NetError error;
  p.listener = listen_tcp(SocketAddressV4{ipv4_loopback, 0}, &error);
  EXPECT_TRUE(p.listener.valid()) << error.text;
  p.port = local_address(p.listener)->port;
  p.client = connect_tcp(SocketAddressV4{ipv4_loopback, p.port}, 1000 * ms, &error);
  EXPECT_TRUE(p.client.valid()) << error.text;
  Accepted a = accept_tcp(p.listener, 1000 * ms);
  EXPECT_EQ(a.status, Accepted::Status::accepted) << a.error.text;
  EXPECT_EQ(a.peer.family, PeerIp::Family::ipv4);
  EXPECT_EQ(a.peer.bytes[0], 127);
  p.server = std::move(a.socket);
  EXPECT_TRUE(set_nonblocking(p.server, false));
  return p;
}

TEST(HttpSocket, ZeroTimeOutsAreRefusedNotPassedOn) {
  Pair p = connected_pair();
  NetError error;
  EXPECT_FALSE(set_receive_timeout(p.server, 0, &error));
  EXPECT_EQ(error.text, "a time-out of zero is not allowed");
  EXPECT_FALSE(set_send_timeout(p.server, 0));
  EXPECT_EQ(accept_tcp(p.listener, 0).status, Accepted::Status::failed);
}

TEST(HttpSocket, TalksAndTimesOut) {
  Pair p = connected_pair();
  EXPECT_TRUE(set_nodelay(p.server));
  ASSERT_EQ(send(p.client, "ping", 4).status, IoResult::Status::ok);
  char buffer[16];
  ASSERT_TRUE(set_receive_timeout(p.server, 1000));
  const IoResult got = receive(p.server, buffer, sizeof buffer);
  ASSERT_EQ(got.status, IoResult::Status::ok);
  EXPECT_EQ(std::string(buffer, got.bytes), "ping");
  // Nothing more comes: the receive ends by its time-out, not by a wait forever.
  ASSERT_TRUE(set_receive_timeout(p.server, 50));
  const std::uint64_t before = monotonic_ns();
  const IoResult late = receive(p.server, buffer, sizeof buffer);
  EXPECT_NE(late.status, IoResult::Status::ok);
  EXPECT_LT(monotonic_ns() - before, 2000 * ms);
  // The accept of a listener with nothing queued ends by its limit.
  const std::uint64_t start = monotonic_ns();
  EXPECT_EQ(accept_tcp(p.listener, 50 * ms).status, Accepted::Status::timed_out);
  EXPECT_GE(monotonic_ns() - start, 40 * ms);
  // The peer closes: 0 bytes.
  p.client.close();
  ASSERT_TRUE(set_receive_timeout(p.server, 1000));
  EXPECT_EQ(receive(p.server, buffer, sizeof buffer).status, IoResult::Status::closed);
}

TEST(HttpSocket, SendingToAClosedPeerRaisesNoSignal) {
  Pair p = connected_pair();
  p.client.close();
  const std::string data(4096, 'x');
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) {
    failed = send(p.server, data.data(), data.size()).status != IoResult::Status::ok;
    sleep_ns(2 * ms);
  }
  EXPECT_TRUE(failed);  // and the process is still here
}

TEST(HttpSocket, ListenerRestartsOnItsPortAtOnce) {
  std::uint16_t port;
  {
    Pair p = connected_pair();
    port = p.port;
    // The server side closes first: its end of the connection waits in TIME_WAIT.
    shutdown_send(p.server);
    p.server.close();
    char buffer[8];
    ASSERT_TRUE(set_receive_timeout(p.client, 1000));
    (void)receive(p.client, buffer, sizeof buffer);
  }
  NetError error;
  Socket again = listen_tcp(SocketAddressV4{ipv4_loopback, port}, &error);
  EXPECT_TRUE(again.valid()) << error.text;
}

TEST(HttpSocket, SecondListenerOnABoundPortIsAddressInUse) {
  NetError error;
  Socket first = listen_tcp(SocketAddressV4{ipv4_loopback, 0}, &error);
  ASSERT_TRUE(first.valid());
  Socket second = listen_tcp(SocketAddressV4{ipv4_loopback, local_address(first)->port}, &error);
  EXPECT_FALSE(second.valid());
  EXPECT_TRUE(error.address_in_use()) << error.text;
}

TEST(HttpConnection, AnAnswerHasOneOverallSendDeadline) {
  // A peer that never reads: the answer gives up when its deadline passes, at least 100 ms after
  // the head deadline (here already passed), however many partial sends were made.
  Pair p = connected_pair();
  const std::string answer(64 * 1024 * 1024, 'a');
  const std::uint64_t before = monotonic_ns();
  send_answer(p.server, answer, before);
  const std::uint64_t took = monotonic_ns() - before;
  EXPECT_FALSE(p.server.valid());
  EXPECT_GE(took, 90 * ms);
  EXPECT_LT(took, 3000 * ms);
}

TEST(HttpConnection, GracefulCloseDrainsForAtMostATenthOfASecond) {
  Pair p = connected_pair();
  ASSERT_EQ(send(p.client, "extra", 5).status, IoResult::Status::ok);
  const std::uint64_t before = monotonic_ns();
  close_gracefully(p.server);
  const std::uint64_t took = monotonic_ns() - before;
  EXPECT_FALSE(p.server.valid());
  EXPECT_GE(took, 90 * ms);
  EXPECT_LT(took, 2000 * ms);
  // The peer sees the end of the stream, not a reset.
  char buffer[8];
  ASSERT_TRUE(set_receive_timeout(p.client, 1000));
  EXPECT_EQ(receive(p.client, buffer, sizeof buffer).status, IoResult::Status::closed);
}

TEST(HttpListener, AcceptLoopEndsOnItsStopFlagWithoutAWakeConnection) {
  NetError error;
  Socket listener = listen_tcp(SocketAddressV4{ipv4_loopback, 0}, &error);
  ASSERT_TRUE(listener.valid());
  auto server = std::make_shared<Server>(local_address(listener)->port, 1, LanMode{});
  std::atomic<bool> done{false};
  std::thread loop([&] {
    accept_loop(server, listener, server->stop, false);
    done = true;
  });
  sleep_ns(50 * ms);
  EXPECT_FALSE(done.load());
  server->stop = true;
  const std::uint64_t before = monotonic_ns();
  while (!done.load() && monotonic_ns() - before < 3000 * ms) sleep_ns(5 * ms);
  EXPECT_TRUE(done.load());
  loop.join();
}

}  // namespace
}  // namespace qm::server
