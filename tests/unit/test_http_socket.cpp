// The socket layer and the connection's send and close, through the platform interface only (so
// these run on Windows too).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

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
  // A peer that never reads: the answer gives up when its limit has passed since the first byte,
  // however many partial sends were made.
  Pair p = connected_pair();
  const std::string answer(64 * 1024 * 1024, 'a');
  const std::uint64_t before = monotonic_ns();
  send_answer(p.server, answer, 200 * ms);
  const std::uint64_t took = monotonic_ns() - before;
  EXPECT_FALSE(p.server.valid());
  EXPECT_GE(took, 190 * ms);
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

// Whether the socket has something to read within the time limit.
bool wait_readable(const Socket& socket, long millis) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket.native(), &readable);
  timeval limit{millis / 1000, (millis % 1000) * 1000};
  return select(static_cast<int>(socket.native()) + 1, &readable, nullptr, nullptr, &limit) == 1;
}

std::string read_to_end(const Socket& socket) {
  std::string all;
  char buffer[1024];
  for (;;) {
    const IoResult got = receive(socket, buffer, sizeof buffer);
    if (got.status != IoResult::Status::ok) return all;
    all.append(buffer, got.bytes);
  }
}

// The busy answer reads once without waiting: a head that is already there has its allowed Origin
// echoed; a head that is not (or a foreign Origin) gets none. The head is made to be there before
// the answer reads, so the outcome does not depend on how fast the peer was.
TEST(HttpListener, TheBusyAnswerEchoesAnAllowedOriginOnlyFromAHeadAlreadyThere) {
  struct Case {
    const char* name;
    std::string sent;
    std::string origin_lines;
  };
  const std::string head = "GET /v1/status HTTP/1.1\r\nHost: localhost:8931\r\n";
  const Case cases[] = {
      {"nothing sent", "", ""},
      {"allowed origin", head + "Origin: http://localhost:5173\r\n\r\n",
       "Access-Control-Allow-Origin: http://localhost:5173\r\nVary: Origin\r\n"},
      {"the page's origin", head + "Origin: https://map.quillmarsh-export.io\r\n\r\n",
       "Access-Control-Allow-Origin: https://map.quillmarsh-export.io\r\nVary: Origin\r\n"},
      {"foreign origin", head + "Origin: http://example.com\r\n\r\n", ""},
      {"half a head", head + "Origin: http://localhost:5173\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetError error;
    Socket listener = listen_tcp(SocketAddressV4{ipv4_loopback, 0}, &error);
    ASSERT_TRUE(listener.valid()) << error.text;
    Socket client = connect_tcp(SocketAddressV4{ipv4_loopback, local_address(listener)->port}, 1000 * ms, &error);
    ASSERT_TRUE(client.valid()) << error.text;
    if (!c.sent.empty()) {
      ASSERT_EQ(send(client, c.sent.data(), c.sent.size()).status, IoResult::Status::ok);
    }
    Accepted accepted = accept_tcp(listener, 1000 * ms);
    ASSERT_EQ(accepted.status, Accepted::Status::accepted);
    if (!c.sent.empty()) {
      ASSERT_TRUE(wait_readable(accepted.socket, 10000));
    }

    Server server(8931, 1, LanMode{});
    const std::uint64_t rejected = server.stats.rejected.load();
    answer_busy(server, std::move(accepted.socket));
    ASSERT_TRUE(set_receive_timeout(client, 10000));
    const std::string answer = read_to_end(client);
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
    const std::string fields = "Content-Length: 15\r\n" + c.origin_lines + "Retry-After: 1\r\n";
    EXPECT_NE(answer.find(fields), std::string::npos) << answer;
    EXPECT_EQ(server.stats.rejected.load(), rejected + 1);
  }
}

// An answer in parts (a text, a large shared text and a tail) arrives whole and in order, across
// the partial sends that a reader slower than the sender causes.
TEST(HttpConnection, AnAnswerInPartsArrivesWhole) {
  Pair p = connected_pair();
  std::string body(6 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
  Answer answer;
  answer.text = "HTTP/1.1 200 OK\r\n\r\n{\"list\":";
  answer.shared = std::make_shared<const std::string>(std::move(body));
  answer.tail = "}";
  std::string received;
  std::thread reader([&] {
    ASSERT_TRUE(set_receive_timeout(p.client, 10000));
    received = read_to_end(p.client);
  });
  send_answer(p.server, answer, 10000 * ms);
  reader.join();
  EXPECT_FALSE(p.server.valid());
  EXPECT_EQ(received.size(), answer.size());
  EXPECT_TRUE(received == answer.flat());
}

}  // namespace
}  // namespace qm::server
