// The wake thread's level as Linux sets it: normal (the ordinary scheduling class at the process's
// nice value), while every other thread of the module runs below normal.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "platform/thread.hpp"
#include "http/server.hpp"

namespace qm::server {
namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kHang = 20'000 * kMs;

struct Level {
  int policy;
  int nice;
  bool operator==(const Level&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Level& level) {
  return out << "policy " << level.policy << ", nice " << level.nice;
}

// The level of the first thread of this process named `name`, read from the system.
std::optional<Level> level_of(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string stat;
    try {
      std::ifstream in(task.path() / "stat");
      stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
      continue;  // the thread ended while it was read
    }
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || stat.substr(open + 1, close - open - 1) != name)
      continue;
    std::istringstream fields(stat.substr(close + 2));  // from field 3, the state
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (f.size() < 39) continue;
    return Level{std::stoi(f[38]), std::stoi(f[16])};  // fields 41 and 19
  }
  return std::nullopt;
}

bool wait_until(const std::function<bool()>& done) {
  const std::uint64_t start = platform::monotonic_ns();
  while (!done()) {
    if (platform::monotonic_ns() - start > kHang) return false;
    platform::sleep_ns(kMs / 2);
  }
  return true;
}

// Whether this process may raise a thread's level back from nice 19 (a privilege: CAP_SYS_NICE or
// a raised RLIMIT_NICE).
bool may_raise_a_thread(int to_nice) {
  bool may = false;
  std::thread([&] {
    const auto tid = static_cast<id_t>(gettid());
    may = setpriority(PRIO_PROCESS, tid, 19) == 0 && setpriority(PRIO_PROCESS, tid, to_nice) == 0;
  }).join();
  return may;
}

TEST(WakeThread, RunsAtNormalWhenTheHostOrABelowNormalThreadStartsIt) {
  // A listener that never accepts, with a full queue: a wake connection to it waits for its whole
  // 1 s time-out, long enough to read the wake thread's level.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  const platform::SocketAddressV4 to{platform::ipv4_loopback, ntohs(a.sin_port)};
  std::vector<platform::Socket> queued;
  for (int i = 0; i < 16; ++i) {
    auto s = platform::connect_tcp(to, 200 * kMs);
    if (!s.ok()) break;
    queued.push_back(std::move(s).value());
  }

  errno = 0;
  const Level host{SCHED_OTHER, getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()))};
  ASSERT_EQ(errno, 0);
  ASSERT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the test stands for the host's thread, at normal";
  ASSERT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), host.nice);

  struct Case {
    const char* started_by;
    std::function<void()> start;
    Level level;
  };
  const Case cases[] = {
      // `stop` and a replacing `start`, on the host's thread.
      {"the host's thread", [to] { spawn_wake_thread(to); }, host},
      // The LAN supervisor. Without the privilege to raise a thread, Linux keeps the wake thread at
      // its creator's level.
      {"a below-normal thread",
       [to] {
         (void)platform::spawn_thread("qm wake creator", platform::Priority::below_normal,
                                      [to] { spawn_wake_thread(to); });
       },
       may_raise_a_thread(host.nice) ? host : Level{SCHED_OTHER, 19}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(wait_until([] { return !level_of("qm-wake"); })) << "a wake thread from before is still there";
    c.start();
    // The thread sets its level just after its name: the last level seen while it lives is the one
    // it set.
    std::optional<Level> seen;
    ASSERT_TRUE(wait_until([&] {
      const std::optional<Level> now = level_of("qm-wake");
      if (now) seen = now;
      return (seen && !now) || (now && *now == c.level);
    })) << c.started_by;
    ASSERT_TRUE(seen.has_value()) << c.started_by;
    EXPECT_EQ(*seen, c.level) << "started by " << c.started_by;
  }
  ::close(fd);
}

}  // namespace
}  // namespace qm::server
