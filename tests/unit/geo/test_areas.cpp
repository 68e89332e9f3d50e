// Decoding the "areas" and "have" parameters of a mesh request.
#include <gtest/gtest.h>

#include <string>

#include "geo/areas.hpp"

using namespace qm;
namespace err = qm::area_errors;

TEST(ParseSmallInt, Cases) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  };
  const Case cases[] = {
      {"0", 0},          {"-0", 0},           {"7", 7},         {"-123", -123}, {"999999999", 999999999},
      {"-999999999", -999999999},              {"1000000000", {}}, {"0000000001", {}}, {"", {}},
      {"-", {}},         {"+5", {}},          {"1.5", {}},      {"--1", {}},    {"1-", {}},
      {" 1", {}},        {"1a", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_small_int(c.text), c.value) << c.text;
}

TEST(ParseAreas, ErrorTexts) {
  struct Case {
    const char* text;
    std::string_view error;
  };
  const Case cases[] = {
      {"|", err::kVertex},
      {"1,2;3,4;5,6|", err::kVertex},  // a trailing empty ring text
      {"|1,2;3,4;5,6", err::kVertex},
      {"1,2;3,4;5,6;", err::kVertex},  // a trailing empty vertex text
      {"1,2;34;5,6", err::kVertex},
      {"1,2;3,4", err::kThreeVertices},
      {"1,2", err::kThreeVertices},
      {"1,2;3,x", err::kCharacters},   // the character check comes before anything else
      {"1,2;3,4;5,6|1,2;3", err::kVertex},  // a bad vertex in a short ring reports the vertex
      {"1e5,2;3,4;5,6", err::kCharacters},
      {"+1,2;3,4;5,6", err::kCharacters},
      {"1,2;3,4;5,6 ", err::kCharacters},
      {"%41,2;3,4;5,6", err::kCharacters},  // other escapes are not decoded
      {"%2,2;3,4;5,6", err::kCharacters},
      {"360.00001,0;1,1;2,2", err::kFirstVertex},
      {"0,-360.00001;1,1;2,2", err::kFirstVertex},
      {"1.2.3,0;1,1;2,2", err::kFirstVertex},
      {".,0;1,1;2,2", err::kFirstVertex},
      {"-,0;1,1;2,2", err::kFirstVertex},
      {",0;1,1;2,2", err::kFirstVertex},
      {"1,;1,1;2,2", err::kFirstVertex},
      {"1--2,0;1,1;2,2", err::kFirstVertex},
      {"1-,0;1,1;2,2", err::kFirstVertex},
      {"12345678901234.5,0;1,1;2,2", err::kFirstVertex},  // 16 characters but above 360
      {"0.000000000000001,0;1,1;2,2", err::kFirstVertex},  // 17 characters
      {"0.00000000000001,1234567890123456;1,1;2,2", err::kFirstVertex},  // 16 characters each, second too big
      {"1,2,3;1,1;2,2", err::kFirstVertex},               // the second comma lands in the second number
      {"1,2;1.5,1;2,2", err::kDelta},
      {"1,2;-,1;2,2", err::kDelta},
      {"1,2;1234567890,1;2,2", err::kDelta},
      {"1,2;1,2,3;2,2", err::kDelta},
      {"1,2;1,;2,2", err::kDelta},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_areas(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;  // so no value
    EXPECT_EQ(parsed.error(), c.error) << c.text;
  }
}

TEST(ParseAreas, EmptyTextGivesNoRings) {
  EXPECT_TRUE(parse_areas("").ok());
  EXPECT_TRUE(parse_areas("").value().empty());
}

TEST(ParseAreas, FirstVertexInDegreesThenDeltas) {
  const auto parsed = parse_areas("12.5,-3.25;100,-200;-100,200");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  ASSERT_EQ(parsed.value().size(), 1u);
  const auto& v = parsed.value()[0].vertices;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_DOUBLE_EQ(v[0].lat, 12.5);
  EXPECT_DOUBLE_EQ(v[0].lon, -3.25);
  EXPECT_DOUBLE_EQ(v[1].lat, 12.501);
  EXPECT_DOUBLE_EQ(v[1].lon, -3.252);
  EXPECT_DOUBLE_EQ(v[2].lat, 12.5);
  EXPECT_DOUBLE_EQ(v[2].lon, -3.25);
  // The totals are whole 1e-5 degrees times 0.00001, so equal totals give bitwise-equal vertices.
  EXPECT_EQ(v[0].lat, v[2].lat);
  EXPECT_EQ(v[0].lat, 1250000 * 0.00001);
}

TEST(ParseAreas, RoundsTheFirstVertexHalfAwayFromZero) {
  const auto parsed = parse_areas("0.000005,-0.000005;0,0;0,0|360,-360;0,0;0,0");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  ASSERT_EQ(parsed.value().size(), 2u);
  EXPECT_EQ(parsed.value()[0].vertices[0].lat, 1 * 0.00001);
  EXPECT_EQ(parsed.value()[0].vertices[0].lon, -1 * 0.00001);
  EXPECT_EQ(parsed.value()[1].vertices[0].lat, 36000000 * 0.00001);
  EXPECT_EQ(parsed.value()[1].vertices[0].lon, -36000000 * 0.00001);
}

TEST(ParseAreas, DecodesItsThreeEscapesInEitherCase) {
  const auto plain = parse_areas("1.5,2;10,-10;0,20|-5,.5;-1,0;0,-1;1,1");
  const auto escaped = parse_areas("1.5%2C2%3B10%2c-10%3b0,20%7C-5%2C.5;-1,0;0,-1;1,1");
  const auto lower = parse_areas("1.5%2c2%3b10,-10;0,20%7c-5,.5;-1,0;0,-1;1,1");
  ASSERT_TRUE(plain.ok());
  for (const auto* other : {&escaped, &lower}) {
    ASSERT_TRUE(other->ok()) << other->error();
    ASSERT_EQ(other->value().size(), plain.value().size());
    for (std::size_t r = 0; r < plain.value().size(); ++r) {
      ASSERT_EQ(other->value()[r].vertices.size(), plain.value()[r].vertices.size());
      for (std::size_t i = 0; i < plain.value()[r].vertices.size(); ++i) {
        EXPECT_EQ(other->value()[r].vertices[i].lat, plain.value()[r].vertices[i].lat);
        EXPECT_EQ(other->value()[r].vertices[i].lon, plain.value()[r].vertices[i].lon);
      }
    }
  }
  EXPECT_EQ(plain.value()[1].vertices.size(), 4u);
  EXPECT_DOUBLE_EQ(plain.value()[1].vertices[3].lat, -5.0);
}

TEST(ParseAreas, DeltasMayCarryVerticesBeyondTheFirstVertexRange) {
  const auto parsed = parse_areas("359,0;999999999,0;999999999,0");
  ASSERT_TRUE(parsed.ok());
  EXPECT_DOUBLE_EQ(parsed.value()[0].vertices[2].lat, 359.0 + 2 * 9999.99999);
}

TEST(ParseHave, ErrorTexts) {
  const std::uint64_t epoch = 0x0123456789abcdefull;
  struct Case {
    const char* text;
    std::string_view error;
  };
  const Case cases[] = {
      {"0123456789abcdef", err::kHaveShape},
      {"0123456789abcde:1", err::kHaveEpoch},
      {"0123456789abcdef0:1", err::kHaveEpoch},
      {"0123456789abcdeg:1", err::kHaveEpoch},
      {":1", err::kHaveEpoch},
      {"0123456789abcdef:5-3", err::kHaveRanges},
      {"0123456789abcdef:1,,2", err::kHaveRanges},
      {"0123456789abcdef:1-", err::kHaveRanges},
      {"0123456789abcdef:-1", err::kHaveRanges},
      {"0123456789abcdef:1,", err::kHaveRanges},
      {"0123456789abcdef:1-2-3", err::kHaveRanges},
      {"0123456789abcdef:+1", err::kHaveRanges},
      {"0123456789abcdef:18446744073709551616", err::kHaveRanges},
      {"0123456789abcdef:000000000000000000001", err::kHaveRanges},  // 21 digits
      {"0123456789abcdef:1:2", err::kHaveRanges},
      {"fedcba9876543210:5-3", err::kHaveRanges},  // another epoch still checks the ranges
  };
  for (const auto& c : cases) {
    const auto parsed = parse_have(c.text, epoch);
    ASSERT_FALSE(parsed.ok()) << c.text;  // so no value
    EXPECT_EQ(parsed.error(), c.error) << c.text;
  }
}

TEST(ParseHave, RangesSortedAndMerged) {
  const std::uint64_t epoch = 0x0123456789abcdefull;
  const std::uint64_t max = ~0ull;
  struct Case {
    const char* text;
    HaveRanges ranges;
  };
  const Case cases[] = {
      {"", {}},
      {"0123456789abcdef:", {}},
      {"0123456789ABCDEF:3,1-2", {{1, 3}}},
      {"0123456789abcdef:3,1-2", {{1, 3}}},
      {"0123456789abcdef%3A3%2C1-2", {{1, 3}}},
      {"0123456789abcdef%3a3%2c1-2", {{1, 3}}},
      {"0123456789abcdef:10-20,1-2,4,15-30,31", {{1, 2}, {4, 4}, {10, 31}}},
      {"0123456789abcdef:5,5,5-5", {{5, 5}}},
      {"0123456789abcdef:18446744073709551615", {{max, max}}},
      {"0123456789abcdef:0-18446744073709551615,18446744073709551615,7", {{0, max}}},
      {"0123456789abcdef:18446744073709551614,18446744073709551615", {{max - 1, max}}},
      {"0123456789abcdef:00000000000000000009", {{9, 9}}},  // 20 digits
      {"fedcba9876543210:1-5", {}},                         // another epoch: empty, no error
  };
  for (const auto& c : cases) {
    const auto parsed = parse_have(c.text, epoch);
    ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error();
    EXPECT_EQ(parsed.value(), c.ranges) << c.text;
  }
}

TEST(ParseAreas, SixteenCharacterFirstVertexIsAccepted) {
  const auto parsed = parse_areas("0.00000000000001,-359.99999999999;1,1;2,2");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value()[0].vertices[0].lat, 0.0);
  EXPECT_EQ(parsed.value()[0].vertices[0].lon, -36000000 * 0.00001);
  EXPECT_TRUE(parse_areas("-.5,5.;0,0;0,0").ok()) << "a leading or trailing dot is a number";
}
