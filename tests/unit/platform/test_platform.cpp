// The platform layer on the system it runs on (Linux, and Windows under Wine): the clock, the random
// source, threads, waiting on a word and parking. Module pinning: test_call_frame.cpp.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>
#include <string>

#include "platform/clock.hpp"
#include "platform/park.hpp"
#include "platform/random.hpp"
#include "platform/result.hpp"
#include "platform/thread.hpp"
#include "platform/time_units.hpp"
#include "platform/wait_word.hpp"
#include "thread_wait.hpp"

namespace qm::platform {
namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kHang = 20'000 * kMs;  // a limit that only a hang reaches

// Waits (without the functions under test) until `flag` is set or the hang limit passes.
bool wait_flag(const std::atomic<bool>& flag) {
  const std::uint64_t start = monotonic_ns();
  while (!flag.load()) {
    if (monotonic_ns() - start > kHang) return false;
    sleep_ns(kMs);
  }
  return true;
}

TEST(Clock, NeverDecreasesAndSleepLastsAtLeastItsTime) {
  std::uint64_t last = monotonic_ns();
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t now = monotonic_ns();
    ASSERT_GE(now, last);
    last = now;
  }
  for (const std::uint64_t ns : {std::uint64_t{1}, 2 * kMs, 30 * kMs}) {
    const std::uint64_t start = monotonic_ns();
    sleep_ns(ns);
    EXPECT_GE(monotonic_ns() - start, ns) << ns;
  }
}

// A wait of any positive length stays a wait once rounded up to milliseconds, and the longest one
// does not wrap round to none.
TEST(TimeUnits, MillisRoundUpWithoutWrapping) {
  const struct {
    std::uint64_t ns;
    std::uint64_t ms;
  } cases[] = {
      {0, 0},
      {1, 1},
      {qm::kNanosPerMilli, 1},
      {qm::kNanosPerMilli + 1, 2},
      {UINT64_MAX, UINT64_MAX / qm::kNanosPerMilli + 1},
  };
  for (const auto& c : cases) EXPECT_EQ(qm::millis_rounded_up(c.ns), c.ms) << c.ns;
}

TEST(Random, FillsEveryLengthAndDrawsDiffer) {
  EXPECT_TRUE(system_random(nullptr, 0));
  std::array<unsigned char, 1> one{};
  EXPECT_TRUE(system_random(one.data(), one.size()));
  // 4 KiB: every byte value shows up, which a partly filled buffer would not give.
  std::array<unsigned char, 4096> a{}, b{};
  ASSERT_TRUE(system_random(a.data(), a.size()));
  ASSERT_TRUE(system_random(b.data(), b.size()));
  EXPECT_NE(a, b);
  std::array<bool, 256> seen{};
  for (unsigned char c : a) seen[c] = true;
  int values = 0;
  for (bool s : seen) values += s ? 1 : 0;
  EXPECT_GT(values, 240);
  // The tail of a buffer is filled too.
  std::array<unsigned char, 64> tail{};
  ASSERT_TRUE(system_random(tail.data(), tail.size()));
  bool any = false;
  for (std::size_t i = 32; i < tail.size(); ++i) any = any || tail[i] != 0;
  EXPECT_TRUE(any);
}

TEST(Result, HoldsTheValueOrTheErrorAndNeverBoth) {
  // A move-only value goes in and comes out again.
  Result<std::unique_ptr<int>, std::string> made = std::make_unique<int>(7);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(*made.value(), 7);
  EXPECT_THROW((void)made.error(), std::bad_variant_access);
  const std::unique_ptr<int> taken = std::move(made).value();
  EXPECT_EQ(*taken, 7);

  // A failure converts its error to the result's error type and has no value to read.
  const Result<std::unique_ptr<int>, std::string> refused = failure("no room");
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.error(), "no room");
  EXPECT_THROW((void)refused.value(), std::bad_variant_access);

  // Without a value: success by default, or the error.
  const Result<void, int> done;
  EXPECT_TRUE(done.ok());
  EXPECT_THROW((void)done.error(), std::bad_variant_access);
  const Result<void, int> failed = failure(5);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), 5);
}

TEST(Thread, RunsTheBodyAndSurvivesOneThatThrows) {
  std::atomic<bool> ran{false};
  const auto started = spawn_thread("qm test thread", Priority::normal, [&] { ran = true; });
  ASSERT_TRUE(started) << started.error();
  EXPECT_TRUE(wait_flag(ran));

  std::atomic<bool> reached{false};
  ASSERT_TRUE(spawn_thread("qm thrower", Priority::below_normal, [&] {
    reached = true;
    throw std::runtime_error("dropped by the thread's last catch-all");
  }));
  EXPECT_TRUE(wait_flag(reached));
  // The process goes on: another thread still starts and runs.
  std::atomic<bool> after{false};
  ASSERT_TRUE(spawn_thread("qm after", Priority::normal, [&] { after = true; }));
  EXPECT_TRUE(wait_flag(after));
}

// The calling thread's level as the system reports it: on Linux its scheduling class and nice
// value, on Windows its thread priority.
std::string own_level() {
#ifdef _WIN32
  const int priority = GetThreadPriority(GetCurrentThread());
  if (priority == THREAD_PRIORITY_NORMAL) return "normal";
  if (priority == THREAD_PRIORITY_BELOW_NORMAL) return "below normal";
  return "priority " + std::to_string(priority);
#else
  const int policy = sched_getscheduler(0);
  if (policy == SCHED_IDLE) return "idle class";
  if (policy != SCHED_OTHER && policy != SCHED_BATCH) return "policy " + std::to_string(policy);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return std::string(policy == SCHED_BATCH ? "batch " : "") +
         (errno == 0 ? "nice " + std::to_string(nice) : "nice unknown");
#endif
}

// What own_level says of a thread at `level`: on Linux, normal is the process's nice value.
std::string expected_level(Priority level) {
#ifdef _WIN32
  return level == Priority::normal ? "normal" : "below normal";
#else
  switch (level) {
    case Priority::normal:
      return "nice " + std::to_string(getpriority(PRIO_PROCESS, static_cast<id_t>(getpid())));
    case Priority::below_normal:
      return "nice 19";
    case Priority::below_normal_computing:
      return "batch nice 19";
  }
  return "?";
#endif
}

const char* level_name(Priority level) {
  switch (level) {
    case Priority::normal:
      return "normal";
    case Priority::below_normal:
      return "below normal";
    case Priority::below_normal_computing:
      return "below normal, computing";
  }
  return "?";
}

// The level of a thread started at `asked` by a thread that itself runs at `creator` (nullopt: by
// the test's own thread).
std::string level_of_child(std::optional<Priority> creator, Priority asked) {
  auto level = std::make_shared<std::promise<std::string>>();
  auto got = level->get_future();
  auto start_child = [level, asked] {
    if (!spawn_thread("qm level child", asked, [level] { level->set_value(own_level()); }))
      level->set_value("not started");
  };
  if (creator) {
    if (!spawn_thread("qm level creator", *creator, start_child)) return "creator not started";
  } else {
    start_child();
  }
  if (got.wait_for(std::chrono::nanoseconds(kHang)) != std::future_status::ready) return "no answer";
  return got.get();
}

TEST(Thread, EachThreadSetsItsLevelItselfWhateverItsCreatorRunsAt) {
  ASSERT_EQ(own_level(), expected_level(Priority::normal)) << "the test stands for the host's thread, at normal";
  struct Case {
    std::optional<Priority> creator;
    Priority asked;
  };
  const Case cases[] = {
      {std::nullopt, Priority::normal},
      {std::nullopt, Priority::below_normal},
      {std::nullopt, Priority::below_normal_computing},
      {Priority::normal, Priority::normal},
      // A connection thread of the server thread, a LAN connection thread of a LAN accept thread:
      // below normal, not a step further down at each generation.
      {Priority::below_normal, Priority::below_normal},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(level_of_child(c.creator, c.asked), expected_level(c.asked))
        << "asked " << level_name(c.asked) << " by " << (c.creator ? level_name(*c.creator) : "the test");
  }
}

TEST(WaitWord, ReturnsOnWakeOnChangeAndOnTimeout) {
  std::atomic<std::uint32_t> word{0};
  // A different value, or a zero timeout: at once.
  word = 1;
  std::uint64_t start = monotonic_ns();
  wait_word(word, 0, kHang);
  wait_word(word, 1, 0);
  EXPECT_LT(monotonic_ns() - start, kHang / 2);

  // Nobody wakes: the timeout ends the wait (spurious returns are allowed, so loop on the time).
  start = monotonic_ns();
  while (monotonic_ns() - start < 30 * kMs) wait_word(word, 1, 30 * kMs);
  EXPECT_LT(monotonic_ns() - start, kHang / 2);

  // Another thread changes the word and wakes every waiter, once this one waits.
  std::atomic<bool> started{false};
  const std::uint64_t waiter = test::this_thread_id();
  ASSERT_TRUE(spawn_thread("qm waker", Priority::normal, [&, waiter] {
    started = true;
    (void)test::wait_until_blocked(waiter);
    word.store(2);
    wake_word_all(word);
  }));
  ASSERT_TRUE(wait_flag(started));
  start = monotonic_ns();
  while (word.load() == 1 && monotonic_ns() - start < kHang) wait_word(word, 1, kHang);
  EXPECT_EQ(word.load(), 2u);
  EXPECT_LT(monotonic_ns() - start, kHang / 2);
}

TEST(Parker, AnEarlyUnparkIsKeptAndALateOneWakesTheParkedThread) {
  auto parker = current_parker();
  parker->unpark();
  std::uint64_t start = monotonic_ns();
  parker->park(kHang);  // the token was waiting
  EXPECT_LT(monotonic_ns() - start, kHang / 2);

  start = monotonic_ns();
  parker->park(20 * kMs);  // no token: the timeout
  EXPECT_GE(monotonic_ns() - start, 20 * kMs);

  // Unparked by another thread once this one is parked.
  std::atomic<bool> started{false};
  const std::uint64_t parked = test::this_thread_id();
  ASSERT_TRUE(spawn_thread("qm unparker", Priority::normal, [&, parker, parked] {
    started = true;
    (void)test::wait_until_blocked(parked);
    parker->unpark();
  }));
  ASSERT_TRUE(wait_flag(started));
  start = monotonic_ns();
  parker->park(kHang);
  EXPECT_LT(monotonic_ns() - start, kHang / 2);
}

}  // namespace
}  // namespace qm::platform
