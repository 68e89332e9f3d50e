// A thread's own record: one per thread, borrowed by one holder at a time, and a fault (never a
// fresh record) once the thread's records are being torn down.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fault_text.hpp"
#include "base/thread_own.hpp"

namespace qm {
namespace {

struct Counter {
  int value = 0;
};

class CounterBorrow : public ThreadOwnBorrow<Counter> {
 public:
  CounterBorrow() : ThreadOwnBorrow("counter") {}
};

TEST(ThreadOwn, EachThreadHasItsOwnRecordThatOutlivesABorrow) {
  { CounterBorrow c; c->value = 7; }
  { CounterBorrow c; EXPECT_EQ(c->value, 7); }
  int seen_elsewhere = -1;
  std::thread([&] { CounterBorrow c; seen_elsewhere = c->value; }).join();
  EXPECT_EQ(seen_elsewhere, 0);
}

TEST(ThreadOwn, ASecondBorrowOnTheSameThreadIsAFaultAndTheFirstStaysUsable) {
  CounterBorrow first;
  const std::string text = testing::fault_text([] { CounterBorrow second; });
  EXPECT_EQ(text, "the thread's counter is already in use");
  first->value = 1;  // the failed borrow left the first one in place
  EXPECT_EQ((*first).value, 1);
}

// A thread-local made before the record is destroyed after it: borrowing from its destructor
// meets a record that is gone.
struct BorrowsWhenDestroyed {
  std::string* out;
  ~BorrowsWhenDestroyed() { *out = testing::fault_text([] { CounterBorrow late; }); }
};

TEST(ThreadOwn, BorrowingWhileTheThreadEndsIsAFault) {
  std::string text;
  std::thread([&] {
    thread_local BorrowsWhenDestroyed guard{&text};
    CounterBorrow c;  // the record is made after the guard, so it goes first
    c->value = 1;
  }).join();
  EXPECT_EQ(text, "the thread's counter is gone (thread ending)");
}

}  // namespace
}  // namespace qm
