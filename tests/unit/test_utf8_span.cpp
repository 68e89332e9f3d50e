#include <gtest/gtest.h>

#include <thread>

#include "module/span.hpp"
#include "module/utf8.hpp"

namespace qm {
namespace {

TEST(Utf8, ReplacesEachMaximalInvalidSubpart) {
  struct Case {
    std::string in, out;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"a\x80" "b", "a" + R + "b"},
      {"\xC0\xAF", R + R},                 // overlong lead bytes are invalid on their own
      {"\xE2\x82", R},                     // truncated three-byte sequence: one subpart
      {"\xE2\x82" "A", R + "A"},
      {"\xED\xA0\x80", R + R + R},         // surrogates: the second byte is out of range
      {"\xF4\x90\x80\x80", R + R + R + R}, // above U+10FFFF
      {"\xF0\x9F\x98", R},
      {"\xFF\xFE", R + R},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_replace_invalid(c.in), c.out);
}

TEST(Span, SameNameTwiceIsOneEntryWithCountTwo) {
  { SpanTimer a("test.span.twice"); }
  { SpanTimer b("test.span.twice"); }
  int found = 0;
  for (const auto& e : thread_span_table()) {
    if (std::string(e.name) == "test.span.twice") {
      ++found;
      EXPECT_EQ(e.count, 2u);
      EXPECT_GE(e.total_seconds, 0.0);
    }
  }
  EXPECT_EQ(found, 1);
}

TEST(Span, EachThreadHasItsOwnTable) {
  { SpanTimer a("test.span.threads"); }
  std::uint64_t other_count = 0;
  std::thread([&] {
    { SpanTimer b("test.span.threads"); }
    for (const auto& e : thread_span_table())
      if (std::string(e.name) == "test.span.threads") other_count = e.count;
  }).join();
  EXPECT_EQ(other_count, 1u);
  for (const auto& e : thread_span_table())
    if (std::string(e.name) == "test.span.threads") {
      EXPECT_EQ(e.count, 1u);
    }
}

TEST(Span, AFaultLeavingTheScopeStillEndsTheSpan) {
  try {
    SpanTimer s("test.span.throw");
    throw 1;
  } catch (int) {
  }
  bool found = false;
  for (const auto& e : thread_span_table()) found |= std::string(e.name) == "test.span.throw";
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace qm
