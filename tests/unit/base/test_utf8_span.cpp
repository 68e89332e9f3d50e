#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "base/span.hpp"
#include "base/utf8.hpp"

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

TEST(Utf8, DecodesTheCodePointOfEachValidSequence) {
  struct Case {
    std::string in;
    std::size_t length;
    bool valid;
    char32_t code_point;
  };
  const Case cases[] = {
      {"A", 1, true, 0x41},
      {"\xC2\x80", 2, true, 0x80},
      {"\xDF\xBF", 2, true, 0x7FF},
      {"\xE0\xA0\x80", 3, true, 0x800},
      {"\xED\x9F\xBF", 3, true, 0xD7FF},
      {"\xEF\xBF\xBF", 3, true, 0xFFFF},
      {"\xF0\x90\x80\x80", 4, true, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, true, 0x10FFFF},
      {"\xE0\x9F\xBF", 1, false, 0},  // overlong
      {"\xE2\x85", 2, false, 0},       // truncated
      {"\x85", 1, false, 0},
  };
  for (const Case& c : cases) {
    const Utf8Sequence sequence = utf8_sequence_at(c.in, 0);
    EXPECT_EQ(sequence.length, c.length) << c.in;
    EXPECT_EQ(sequence.valid, c.valid) << c.in;
    EXPECT_EQ(static_cast<std::uint32_t>(sequence.code_point), static_cast<std::uint32_t>(c.code_point)) << c.in;
  }
}

std::string utf8_of(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return out;
}

TEST(Utf8, TrimsExactlyTheWhiteSpaceCharacters) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                            0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                            0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : white) {
    EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
    EXPECT_EQ(trim_white_space(utf8_of(c) + "x" + utf8_of(c)), "x") << std::hex << static_cast<std::uint32_t>(c);
  }
  // Neighbours and look-alikes that are not white space: zero width space, the Mongolian vowel
  // separator, word joiner, byte order mark.
  const char32_t other[] = {0x08, 0x0E, 0x1F, 0x21, 0x84, 0x86, 0x9F, 0xA1, 0x180E, 0x200B, 0x2060, 0xFEFF};
  for (char32_t c : other) {
    EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
    const std::string text = utf8_of(c) + " x " + utf8_of(c);
    EXPECT_EQ(trim_white_space(text), text) << std::hex << static_cast<std::uint32_t>(c);
  }
}

TEST(Utf8, TrimStopsAtAnInvalidSequence) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\x85", "\x85"},                          // a lone continuation byte is not U+0085
      {"x \xA0", "x \xA0"},                      // nor U+00A0
      {"\xA0 x", "\xA0 x"},
      {"\xE2\x85", "\xE2\x85"},                  // truncated, would read as U+0085
      {" \xE2\x80", "\xE2\x80"},
      {"\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},  // overlong spaces
      {"\x80\x80\x80\x80\xC2\xA0", "\x80\x80\x80\x80"},
      {"x\xE3\x80\x80\x80", "x\xE3\x80\x80\x80"},  // a stray byte after U+3000
  };
  for (const Case& c : cases) EXPECT_EQ(trim_white_space(c.in), c.out);
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
