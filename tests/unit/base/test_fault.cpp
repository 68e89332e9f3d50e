#include <gtest/gtest.h>

#include <stdexcept>

#include "base/fault.hpp"

namespace qm {
namespace {

std::string last_panic_text() {
  auto last = try_last_panic();
  EXPECT_TRUE(last.has_value());
  return last && *last ? **last : std::string();
}

TEST(Fault, RecordsMessageWithRepositoryRelativeLocation) {
  install_panic_hook();
  const unsigned line = __LINE__ + 1;
  EXPECT_THROW(fault("finite points"), Fault);
  EXPECT_EQ(last_panic_text(), "finite points at tests/unit/base/test_fault.cpp:" + std::to_string(line));
}

TEST(Fault, CheckPassesOrFaults) {
  EXPECT_NO_THROW(check(true, "never"));
  EXPECT_THROW(check(false, "an invariant"), Fault);
  EXPECT_EQ(last_panic_text().rfind("an invariant at tests/unit/base/test_fault.cpp:", 0), 0u);
}

TEST(Fault, CaughtMessageNamesEveryKindOfException) {
  auto message_of = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return caught_message();
    }
    return std::string("nothing thrown");
  };
  EXPECT_EQ(message_of([] { fault("a fault"); }), "a fault");
  EXPECT_EQ(message_of([] { throw std::runtime_error("from the library"); }), "from the library");
  EXPECT_EQ(last_panic_text().rfind("from the library at tests/unit/base/test_fault.cpp:", 0), 0u);
  EXPECT_EQ(message_of([] { throw 42; }), "unknown");
  EXPECT_EQ(last_panic_text().rfind("unknown at ", 0), 0u);
  EXPECT_EQ(message_of([] { throw std::bad_alloc(); }), "out of memory");
}

TEST(Fault, TheSecondFaultReplacesTheFirst) {
  EXPECT_THROW(fault("first"), Fault);
  EXPECT_THROW(fault("second"), Fault);
  EXPECT_EQ(last_panic_text().rfind("second at ", 0), 0u);
}

}  // namespace
}  // namespace qm
