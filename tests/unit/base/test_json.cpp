// The JSON writing helpers: the one quoting helper and the fixed-decimal numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "base/json.hpp"

namespace qm {
namespace {

TEST(JsonQuote, EscapesWhatJsonNeedsAndCopiesTheRest) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\b", "\"a\\\\b\""},
      {"\t\n\r", "\"\\t\\n\\r\""},
      {"\x1f\x08\x0c", "\"\\u001f\\u0008\\u000c\""},
      {"\x7f", "\"\\u007f\""},
      {"\xE2\x80\xA8|\xE2\x80\xA9", "\"\\u2028|\\u2029\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},                    // é copied as its two bytes
      {"a/b", "\"a/b\""},                             // no escaping of "/"
      {"\xF0\x9F\x9B\xA9", "\"\xF0\x9F\x9B\xA9\""},    // a four-byte character
      {"\xE2\x80\xA7", "\"\xE2\x80\xA7\""},            // U+2027 is not escaped
      {"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},          // invalid byte replaced
      {"\xE2\x82", "\"\xEF\xBF\xBD\""},                // truncated sequence: one replacement
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate: three
  };
  for (const Case& c : cases) EXPECT_EQ(json_quote(c.in), c.out) << c.in;
}

TEST(JsonQuote, AnyBytesGiveAStringThatParses) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 24, '\0');
    for (char& c : text) c = static_cast<char>(random() & 0xFF);
    const std::string quoted = json_quote(text);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(quoted)) << quoted;
    EXPECT_TRUE(parsed.is_string());
  }
}

TEST(JsonNumber, FixedDecimalsOrNull) {
  struct Case {
    std::optional<double> value;
    std::uint16_t decimals;
    const char* out;
  };
  const Case cases[] = {
      {1.0, 3, "1.000"},
      {12.345678, 1, "12.3"},
      {std::nullopt, 2, "null"},
      {std::nan(""), 1, "null"},
      {std::numeric_limits<double>::infinity(), 1, "null"},
      {-std::numeric_limits<double>::infinity(), 0, "null"},
      {-2.5, 1, "-2.5"},
      {1234.5, 0, "1234"},   // correctly rounded from the exact value: ties to even
      {0.125, 2, "0.12"},    // 0.125 is exact: a tie
      {0.35, 1, "0.3"},      // 0.35 is below 0.35 exactly
      {1e21, 1, "1000000000000000000000.0"},
      {5e-324, 3, "0.000"},
      {1.5, 0, "2"},
      {123456789.123456789, 9, "123456789.123456791"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_number(c.value, c.decimals), c.out) << c.out;
  EXPECT_EQ(json_number(1.0, 80), "1." + std::string(80, '0'));
  EXPECT_EQ(json_number(std::numeric_limits<double>::max(), 2).size(), 309u + 3u);
}

TEST(JsonOptString, NullOrQuoted) {
  EXPECT_EQ(json_opt_string(std::nullopt), "null");
  EXPECT_EQ(json_opt_string(std::string_view("a\"b")), "\"a\\\"b\"");
  std::string out = "x";
  json_uint(out, 18446744073709551615ull);
  json_bool(out, true);
  EXPECT_EQ(out, "x18446744073709551615true");
}

TEST(JsonWriter, PutsCommasBetweenMembersAndElementsAtEveryLevel) {
  struct Case {
    std::function<void(JsonWriter&)> write;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](JsonWriter& w) { w.begin_object().end_object(); }, "{}"},
      {[](JsonWriter& w) { w.begin_array().end_array(); }, "[]"},
      {[](JsonWriter& w) {
         w.begin_object();
         w.key("a").integer(1);
         w.key("b").begin_array().integer(2).null().begin_object().end_object().begin_array().end_array().end_array();
         w.key("c").begin_object().key("d").boolean(false).key("e").opt_uint(std::nullopt).end_object();
         w.key("f").opt_uint(7).key("g").raw("{\"x\":[1]}");
         w.end_object();
       },
       "{\"a\":1,\"b\":[2,null,{},[]],\"c\":{\"d\":false,\"e\":null},\"f\":7,\"g\":{\"x\":[1]}}"},
      // Texts are quoted and numbers written as json_quote and json_number write them.
      {[](JsonWriter& w) {
         w.begin_array().text("a\"\n").opt_text(std::nullopt).opt_text("\xFF").number(2.0 / 3.0, 3);
         w.number(std::nan(""), 2).number(std::nullopt, 1).number(-0.5, 0).end_array();
       },
       "[\"a\\\"\\n\",null,\"\xEF\xBF\xBD\",0.667,null,null,-0]"},
      // Members written elsewhere, before and between the writer's own.
      {[](JsonWriter& w) { w.key("p").raw("P").key("s").begin_object().end_object().raw_members("T"); },
       "\"p\":P,\"s\":{},T"},
      {[](JsonWriter& w) { w.begin_object().raw_members("").key("a").integer(1).end_object(); }, "{,\"a\":1}"},
      {[](JsonWriter& w) { w.begin_object().raw_members("\"t\":1").key("a").integer(2).end_object(); },
       "{\"t\":1,\"a\":2}"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string out;
    JsonWriter w(out);
    cases[i].write(w);
    EXPECT_EQ(out, cases[i].text) << "case " << i;
  }
}

TEST(JsonWriter, ContinuesADocumentAnotherWriterOpened) {
  std::string out;
  {
    JsonWriter head(out);
    head.begin_object().key("api").integer(1);
  }
  JsonWriter w(out);
  w.members_follow().key("more").text("x");
  EXPECT_EQ(out, "{\"api\":1,\"more\":\"x\"");
  // Appending to text already there adds nothing before the first value.
  std::string tail = "[1,";
  JsonWriter(tail).integer(2);
  EXPECT_EQ(tail, "[1,2");
}

TEST(JsonWriter, MisplacedClosesAndKeysFault) {
  const std::vector<std::function<void(JsonWriter&)>> misuses = {
      [](JsonWriter& w) { w.end_object(); },
      [](JsonWriter& w) { w.begin_object().end_array(); },
      [](JsonWriter& w) { w.begin_array().end_object(); },
      [](JsonWriter& w) { w.begin_object().key("a").end_object(); },
      [](JsonWriter& w) { w.begin_object().key("a").key("b"); },
      [](JsonWriter& w) { w.begin_object().key("a").raw_members("\"b\":1"); },
      [](JsonWriter& w) {
        for (int i = 0; i < 64; ++i) w.begin_array();
      },
  };
  for (std::size_t i = 0; i < misuses.size(); ++i) {
    std::string out;
    JsonWriter w(out);
    EXPECT_THROW(misuses[i](w), Fault) << "misuse " << i;
  }
  // As deep as a document may go.
  std::string out;
  JsonWriter w(out);
  for (int i = 0; i < 63; ++i) w.begin_array();
  for (int i = 0; i < 63; ++i) w.end_array();
  EXPECT_EQ(out, std::string(63, '[') + std::string(63, ']'));
}

}  // namespace
}  // namespace qm
