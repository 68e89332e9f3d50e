// Records made on one side (the host's threads, or the module's own) are destroyed and freed on that
// side, whichever side lets go of them last: at once on their own side, else when their side next
// empties its returns.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/handback.hpp"

namespace qm::platform {
namespace {

// Counts its destructions, and those that ran on a module thread.
struct Counts {
  std::atomic<int> destroyed{0};
  std::atomic<int> on_module{0};
};

struct Watched {
  explicit Watched(Counts& c) : counts(c) {}
  Watched(const Watched&) = delete;
  ~Watched() {
    if (on_module_thread()) counts.on_module.fetch_add(1);
    counts.destroyed.fetch_add(1);
  }
  Counts& counts;
};

void on_a_module_thread(const std::function<void()>& body) {
  std::thread([&] {
    mark_module_thread();
    body();
  }).join();
}

TEST(Handback, ARecordLetGoOnItsOwnSideIsFreedAtOnce) {
  Counts counts;
  auto record = make_sided<Watched>(counts);
  auto copy = record;
  record.reset();
  EXPECT_EQ(counts.destroyed, 0);
  copy.reset();
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(counts.on_module, 0);
}

TEST(Handback, AHostRecordThatAModuleThreadLetsGoWaitsForTheHost) {
  Counts counts;
  auto record = make_sided<Watched>(counts);
  on_a_module_thread([&] {
    std::shared_ptr<Watched> last = std::move(record);
    last.reset();
    free_returns();  // the module's returns: not this record's side
  });
  EXPECT_EQ(counts.destroyed, 0) << "a module thread destroyed a record the host made";
  EXPECT_TRUE(returns_waiting(false));
  free_returns();
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(counts.on_module, 0);
}

TEST(Handback, AModuleRecordThatTheHostLetsGoWaitsForAModuleThread) {
  Counts counts;
  std::shared_ptr<Watched> record;
  on_a_module_thread([&] { record = make_sided<Watched>(counts); });
  record.reset();
  free_returns();  // the host's returns: not this record's side
  EXPECT_EQ(counts.destroyed, 0) << "the host destroyed a record a module thread made";
  on_a_module_thread([] { free_returns(); });
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(counts.on_module, 1);
}

// Many module threads let go of host records while the host empties its returns: each record is
// destroyed once, on the host's side.
TEST(Handback, ReturnsFromManyThreadsAreEachFreedOnce) {
  constexpr int kThreads = 4, kEach = 500;
  Counts counts;
  std::vector<std::shared_ptr<Watched>> records;
  for (int i = 0; i < kThreads * kEach; ++i) records.push_back(make_sided<Watched>(counts));
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      mark_module_thread();
      for (int i = 0; i < kEach; ++i) records[static_cast<std::size_t>(t * kEach + i)].reset();
      running.fetch_sub(1);
    });
  }
  while (running.load() > 0) free_returns();
  for (auto& thread : threads) thread.join();
  free_returns();
  EXPECT_EQ(counts.destroyed, kThreads * kEach);
  EXPECT_EQ(counts.on_module, 0);
}

}  // namespace
}  // namespace qm::platform
