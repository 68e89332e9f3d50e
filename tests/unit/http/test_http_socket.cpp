// The socket layer and the connection's send and close, through the platform interface only (so
// these run on Windows too).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "http/connection.hpp"
#include "http/listener.hpp"
#include "http/server.hpp"

namespace qm::server {
namespace {

using namespace qm::platform;
constexpr std::uint64_t ms = 1000000;
// Longer than any wait a loaded machine adds to a system time-out of these tests: a limit that only
// a wait forever reaches.
constexpr std::uint64_t hang_limit = 60000 * ms;

struct Pair {
  Socket listener, client, server;
  std::uint16_t port = 0;
};

Pair connected_pair() {
  Pair p;
  auto listener = listen_tcp(SocketAddressV4{ipv4_loopback, 0});
  EXPECT_TRUE(listener.ok()) << listener.error().text;
  p.listener = std::move(listener).value();
  p.port = local_address(p.listener)->port;
  auto client = connect_tcp(SocketAddressV4{ipv4_loopback, p.port}, 1000 * ms);
  EXPECT_TRUE(client.ok()) << client.error().text;
  p.client = std::move(client).value();
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
  const auto zero = set_receive_timeout(p.server, 0);
  EXPECT_FALSE(zero);
  EXPECT_EQ(zero.error().text, "a time-out of zero is not allowed");
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
  // Nothing more comes: the receive ends by its time-out, not by a wait forever (the limit below
  // only catches that; the time-out itself is the system's).
  ASSERT_TRUE(set_receive_timeout(p.server, 50));
  const std::uint64_t before = monotonic_ns();
  const IoResult late = receive(p.server, buffer, sizeof buffer);
  EXPECT_NE(late.status, IoResult::Status::ok);
  EXPECT_LT(monotonic_ns() - before, hang_limit);
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
  const auto again = listen_tcp(SocketAddressV4{ipv4_loopback, port});
  EXPECT_TRUE(again.ok()) << again.error().text;
}

TEST(HttpSocket, SecondListenerOnABoundPortIsAddressInUse) {
  const auto first = listen_tcp(SocketAddressV4{ipv4_loopback, 0});
  ASSERT_TRUE(first.ok());
  const auto second = listen_tcp(SocketAddressV4{ipv4_loopback, local_address(*first)->port});
  ASSERT_FALSE(second.ok());
  EXPECT_TRUE(second.error().address_in_use()) << second.error().text;
}

// A scripted connection: each send or receive takes the next step of its script, which moves the
// clock by the step's time, or only up to the time-out it was given when the step would take
// longer (then the step fails, as a socket's time-out would). Past the end of a script the peer
// takes and sends nothing more.
class ScriptPort final : public ConnectionPort {
 public:
  struct Step {
    Instant takes = 0;
    std::size_t bytes = 0;  // bytes the peer takes (a send) or sends (a receive); 0: it closed
    bool interrupted = false;
  };
  std::deque<Step> sends, receives;
  Instant clock = 1000 * ms;
  std::vector<std::uint64_t> send_timeouts, receive_timeouts;
  std::size_t bytes_sent = 0;
  bool shut_down = false, closed = false;

  Instant now() override { return clock; }
  Sent send(std::span<const std::string_view> parts, std::uint64_t timeout_ms) override {
    send_timeouts.push_back(timeout_ms);
    std::size_t length = 0;
    for (std::string_view part : parts) length += part.size();
    const std::optional<Step> step = next(sends, timeout_ms);
    if (!step) return {Sent::Kind::failed, 0};
    if (step->interrupted) return {Sent::Kind::interrupted, 0};
    const std::size_t n = std::min(step->bytes, length);
    bytes_sent += n;
    return {n > 0 ? Sent::Kind::sent : Sent::Kind::failed, n};
  }
  ReceiveResult receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) override {
    receive_timeouts.push_back(timeout_ms);
    const std::optional<Step> step = next(receives, timeout_ms);
    if (!step) return {ReceiveResult::Kind::failed, 0};
    if (step->interrupted) return {ReceiveResult::Kind::interrupted, 0};
    if (step->bytes == 0) return {ReceiveResult::Kind::closed, 0};
    const std::size_t n = std::min(step->bytes, length);
    std::fill_n(buffer, n, 'x');
    return {ReceiveResult::Kind::data, n};
  }
  void shutdown_send() override { shut_down = true; }
  void close() override { closed = true; }

 private:
  // The next step when it ends within the time-out; none (the clock at the time-out) otherwise.
  std::optional<Step> next(std::deque<Step>& script, std::uint64_t timeout_ms) {
    if (script.empty() || script.front().takes > timeout_ms * ms) {
      clock += timeout_ms * ms;
      return std::nullopt;
    }
    const Step step = script.front();
    script.pop_front();
    clock += step.takes;
    return step;
  }
};

std::deque<ScriptPort::Step> repeated(ScriptPort::Step step, std::size_t times) {
  return std::deque<ScriptPort::Step>(times, step);
}

// An answer has one deadline, counted on the port's clock from its first send: each partial send
// waits at most what is left of it, and the answer gives up when it has passed, however many
// partial sends went well; nothing gives up before it.
TEST(HttpConnection, AnAnswerHasOneOverallSendDeadline) {
  struct Case {
    const char* name;
    std::deque<ScriptPort::Step> sends;
    std::vector<std::uint64_t> timeouts;  // the time-out of each send, in ms
    Instant ends_after;                   // on the port's clock, from the first send
    bool whole;                           // every byte went out, then the graceful close
  };
  const std::size_t size = 100000;
  const Case cases[] = {
      {"a peer that reads slowly but steadily", repeated({40 * ms, 1000}, 100), {200, 160, 120, 80, 40}, 200 * ms,
       false},
      {"a reader that takes longer than what is left", repeated({70 * ms, 1000}, 100), {200, 130, 60}, 200 * ms,
       false},
      {"a peer that takes nothing", {}, {200}, 200 * ms, false},
      {"an interrupted send, then a fast reader", {{0, 0, true}, {5 * ms, size / 2}, {5 * ms, size}}, {200, 200, 195},
       10 * ms, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptPort port;
    port.sends = c.sends;
    const Instant start = port.clock;
    Answer answer;
    answer.text = "HTTP/1.1 200 OK\r\n\r\n";
    answer.shared = std::make_shared<const std::string>(size - answer.text.size() - 1, 'a');
    answer.tail = "}";
    send_answer(port, answer, 200 * ms);
    EXPECT_EQ(port.send_timeouts, c.timeouts);
    EXPECT_TRUE(port.closed);
    EXPECT_EQ(port.shut_down, c.whole) << "the graceful close only follows a whole answer";
    EXPECT_EQ(port.bytes_sent == size, c.whole);
    if (c.whole) {
      // Then the drain of the graceful close: the peer is quiet, its first receive waits 100 ms.
      EXPECT_EQ(port.receive_timeouts, std::vector<std::uint64_t>{100});
      EXPECT_EQ(port.clock - start, c.ends_after + 100 * ms);
    } else {
      EXPECT_TRUE(port.receive_timeouts.empty());
      EXPECT_EQ(port.clock - start, c.ends_after);
    }
  }
}

// The graceful close drains what the peer still sends for 100 ms of the port's clock at most.
TEST(HttpConnection, TheGracefulCloseDrainsForATenthOfASecondAtMost) {
  struct Case {
    const char* name;
    std::deque<ScriptPort::Step> receives;
    std::vector<std::uint64_t> timeouts;
    Instant ends_after;
  };
  const Case cases[] = {
      {"a peer that keeps sending", repeated({30 * ms, 512}, 100), {100, 70, 40, 10}, 100 * ms},
      {"a quiet peer", {}, {100}, 100 * ms},
      {"a peer that closes", {{20 * ms, 512}, {5 * ms, 0}}, {100, 80}, 25 * ms},
      {"an interrupted receive", {{0, 0, true}, {10 * ms, 0}}, {100, 100}, 10 * ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptPort port;
    port.receives = c.receives;
    const Instant start = port.clock;
    close_gracefully(port);
    EXPECT_TRUE(port.shut_down);
    EXPECT_TRUE(port.closed);
    EXPECT_EQ(port.receive_timeouts, c.timeouts);
    EXPECT_EQ(port.clock - start, c.ends_after);
  }
}

// On a real socket: a peer that never reads does not hold the connection's thread. The answer is
// larger than both sockets' buffers, so its send can only end by the time-out.
TEST(HttpConnection, AnAnswerToAPeerThatNeverReadsGivesUp) {
  Pair p = connected_pair();
  const std::string answer(8 * 1024 * 1024, 'a');
  std::atomic<bool> done{false};
  std::thread sender([&] {
    SocketPort port(p.server, system_clock());
    send_answer(port, answer, 200 * ms);
    done = true;
  });
  const std::uint64_t before = monotonic_ns();
  while (!done.load() && monotonic_ns() - before < hang_limit) sleep_ns(5 * ms);
  EXPECT_TRUE(done.load());
  sender.join();
  EXPECT_FALSE(p.server.valid());
}

TEST(HttpConnection, TheGracefulCloseEndsTheStreamWithoutAReset) {
  Pair p = connected_pair();
  ASSERT_EQ(send(p.client, "extra", 5).status, IoResult::Status::ok);
  const std::uint64_t before = monotonic_ns();
  SocketPort port(p.server, system_clock());
  close_gracefully(port);
  EXPECT_FALSE(p.server.valid());
  // The quiet peer was waited for: the drain lasted its 100 ms (a lower bound only a busy machine
  // can stretch).
  EXPECT_GE(monotonic_ns() - before, 90 * ms);
  // The peer sees the end of the stream, not a reset.
  char buffer[8];
  ASSERT_TRUE(set_receive_timeout(p.client, 1000));
  EXPECT_EQ(receive(p.client, buffer, sizeof buffer).status, IoResult::Status::closed);
}

TEST(HttpListener, AcceptLoopEndsOnItsStopFlagWithoutAWakeConnection) {
  auto bound = listen_tcp(SocketAddressV4{ipv4_loopback, 0});
  ASSERT_TRUE(bound.ok());
  Socket listener = std::move(bound).value();
  auto server = std::make_shared<Server>(local_address(listener)->port, 1, LanMode{});
  std::atomic<bool> done{false};
  std::thread loop([&] {
    accept_loop(server, listener, server->stop, false);
    done = true;
  });
  // Its accepts end every 100 ms without a connection; the loop goes on through them until the
  // flag is set.
  sleep_ns(300 * ms);
  EXPECT_FALSE(done.load());
  server->stop = true;
  const std::uint64_t before = monotonic_ns();
  while (!done.load() && monotonic_ns() - before < hang_limit) sleep_ns(5 * ms);
  EXPECT_TRUE(done.load());
  loop.join();
}

// A clock that moves only when it is slept on; the test acts at a given sleep.
class SleepClock final : public Clock {
 public:
  std::uint64_t clock = 5000 * ms;
  std::vector<std::uint64_t> sleeps;
  std::function<void(std::size_t)> on_sleep;  // with the number of sleeps so far

  std::uint64_t now() override { return clock; }
  void sleep(std::uint64_t ns) override {
    sleeps.push_back(ns);
    clock += ns;
    if (on_sleep) on_sleep(sleeps.size());
  }
};

// The loopback listener tries a port in use again every 100 ms, for 10 s of the clock it is given:
// it binds as soon as the port is free, ends without a word on the stop flag, and gives up with
// the system's text only at the end of the 10 s.
TEST(HttpListener, TheLoopbackBindTriesAPortInUseAgainForTenSeconds) {
  struct Case {
    const char* name;
    std::size_t act_at_sleep;  // 0: never
    bool frees_port;           // the action: free the port (else set the server's stop flag)
    bool binds;
    std::size_t sleeps;
    bool error;
  };
  const Case cases[] = {
      {"the port stays in use", 0, false, false, 100, true},
      {"the port is freed", 3, true, true, 3, false},
      {"the server stops", 2, false, false, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto held = listen_tcp(SocketAddressV4{ipv4_loopback, 0});
    ASSERT_TRUE(held.ok()) << held.error().text;
    Socket holder = std::move(held).value();
    const std::uint16_t port = local_address(holder)->port;
    const auto second = listen_tcp(SocketAddressV4{ipv4_loopback, port});
    ASSERT_FALSE(second.ok());
    const NetError& in_use = second.error();
    ASSERT_TRUE(in_use.address_in_use()) << in_use.text;

    Server server(port, 1, LanMode{});
    SleepClock clock;
    const std::uint64_t start = clock.clock;
    bool quiet_until_the_end = true;
    clock.on_sleep = [&](std::size_t n) {
      quiet_until_the_end = quiet_until_the_end && server.error_text() == nullptr;
      if (n != c.act_at_sleep) return;
      if (c.frees_port) {
        holder.close();
      } else {
        server.stop = true;
      }
    };
    const Socket bound = bind_loopback(server, clock);
    EXPECT_EQ(bound.valid(), c.binds);
    EXPECT_EQ(clock.sleeps, std::vector<std::uint64_t>(c.sleeps, 100 * ms));
    EXPECT_TRUE(quiet_until_the_end) << "no error text while it still tries";
    if (c.error) {
      EXPECT_EQ(clock.clock - start, 10000 * ms) << "given up at 10 s, not before";
      ASSERT_NE(server.error_text(), nullptr);
      EXPECT_EQ(*server.error_text(), "bind 127.0.0.1:" + std::to_string(port) + ": " + in_use.text);
    } else {
      EXPECT_EQ(server.error_text(), nullptr);
    }
  }
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
    auto bound = listen_tcp(SocketAddressV4{ipv4_loopback, 0});
    ASSERT_TRUE(bound.ok()) << bound.error().text;
    Socket listener = std::move(bound).value();
    auto connected = connect_tcp(SocketAddressV4{ipv4_loopback, local_address(listener)->port}, 1000 * ms);
    ASSERT_TRUE(connected.ok()) << connected.error().text;
    Socket client = std::move(connected).value();
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
  SocketPort port(p.server, system_clock());
  send_answer(port, answer, 10000 * ms);
  reader.join();
  EXPECT_FALSE(p.server.valid());
  EXPECT_EQ(received.size(), answer.size());
  EXPECT_TRUE(received == answer.flat());
}

}  // namespace
}  // namespace qm::server
