#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/request_head.hpp"
#include "http/request_rules.hpp"
#include "base/text_rules.hpp"

namespace qm::server {
namespace {

RequestHead head_with(std::vector<HeadField> fields) {
  return RequestHead{std::string("GET"), std::string("/"), 11, std::move(fields), 0};
}

TEST(HttpRules, HostRule) {
  struct Case {
    std::vector<HeadField> fields;
    std::optional<std::string_view> local;
    bool passes;
  };
  const Case cases[] = {
      {{{"Host", "localhost:8080"}}, std::nullopt, true},
      {{{"host", "LOCALHOST:+8080"}}, std::nullopt, true},
      {{{"HOST", "localhost:08080"}}, std::nullopt, true},
      {{{"Host", "localhost:0000000000008080"}}, std::nullopt, true},
      {{{"Host", "127.0.0.1:8080"}}, std::nullopt, true},
      {{{"Host", "\xc2\xa0 127.0.0.1:8080\xe3\x80\x80"}}, std::nullopt, true},  // Unicode white space trimmed
      {{{"Host", "localhost"}}, std::nullopt, false},
      {{{"Host", "localhost:"}}, std::nullopt, false},
      {{{"Host", "localhost:+"}}, std::nullopt, false},
      {{{"Host", "localhost:-8080"}}, std::nullopt, false},
      {{{"Host", "localhost:++8080"}}, std::nullopt, false},
      {{{"Host", "localhost:8081"}}, std::nullopt, false},
      {{{"Host", "localhost:73616"}}, std::nullopt, false},  // 8080 + 65536: overflow, not a wrap
      {{{"Host", "localhost:8080 x"}}, std::nullopt, false},
      {{{"Host", "[::1]:8080"}}, std::nullopt, false},
      {{{"Host", "127.0.0.2:8080"}}, std::nullopt, false},
      {{{"Host", "localhost.:8080"}}, std::nullopt, false},
      {{{"Host", "local\xffhost:8080"}}, std::nullopt, false},
      {{}, std::nullopt, false},
      {{{"Host", "localhost:8080"}, {"Host", "localhost:8080"}}, std::nullopt, false},
      {{{"Host", "192.168.1.20:8080"}}, std::nullopt, false},
      {{{"Host", "192.168.1.20:8080"}}, "192.168.1.20", true},
      {{{"Host", "192.168.001.20:8080"}}, "192.168.1.20", false},
      {{{"Host", "localhost:8080"}}, "192.168.1.20", true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(host_rule_passes(head_with(cases[i].fields), 8080, cases[i].local), cases[i].passes) << "case " << i;
  }
}

TEST(HttpRules, OriginRule) {
  using Kind = OriginResult::Kind;
  struct Case {
    std::vector<HeadField> fields;
    Kind kind;
  };
  const Case cases[] = {
      {{}, Kind::none},
      {{{"Host", "x"}}, Kind::none},
      {{{"Origin", std::string(page_origin)}}, Kind::allowed},
      {{{"origin", "https://map.quillmarsh-export.io/"}}, Kind::refused},
      {{{"Origin", "https://localhost"}}, Kind::refused},
      {{{"Origin", "http://localhost"}}, Kind::allowed},
      {{{"Origin", "http://LocalHost:5173"}}, Kind::allowed},
      {{{"Origin", "http://[::1]:8080"}}, Kind::allowed},
      {{{"Origin", "http://[::1]"}}, Kind::allowed},
      {{{"Origin", "http://[::2]"}}, Kind::refused},
      {{{"Origin", "http://192.168.1.20:5173"}}, Kind::allowed},
      {{{"Origin", "http://192.168.1.20:123456"}}, Kind::refused},
      {{{"Origin", "http://192.168.1.20:"}}, Kind::refused},
      {{{"Origin", "http://10.1.2.3"}}, Kind::allowed},
      {{{"Origin", "http://127.9.9.9:1"}}, Kind::allowed},
      {{{"Origin", "http://172.16.0.1"}}, Kind::allowed},
      {{{"Origin", "http://172.31.255.255"}}, Kind::allowed},
      {{{"Origin", "http://172.32.0.1"}}, Kind::refused},
      {{{"Origin", "http://8.8.8.8"}}, Kind::refused},
      {{{"Origin", "http://010.1.2.3"}}, Kind::refused},
      {{{"Origin", "http://example.com"}}, Kind::refused},
      {{{"Origin", "http://localhost.example.com"}}, Kind::refused},
      {{{"Origin", "http://localhost/"}}, Kind::refused},
      {{{"Origin", "null"}}, Kind::refused},
      {{{"Origin", ""}}, Kind::refused},
      {{{"Origin", "http://local\xffhost"}}, Kind::refused},
      {{{"Origin", "http://localhost"}, {"Origin", "http://localhost"}}, Kind::refused},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(origin_check(head_with(cases[i].fields)).kind, cases[i].kind) << "case " << i;
  }
  const OriginResult allowed = origin_check(head_with({{"Origin", "http://LocalHost:5173"}}));
  EXPECT_EQ(allowed.header_text, "Access-Control-Allow-Origin: http://LocalHost:5173\r\nVary: Origin\r\n");
}

TEST(HttpRules, QueryValue) {
  struct Case {
    std::string_view query, key;
    std::optional<std::string_view> value;
  };
  const Case cases[] = {
      {"", "page", std::nullopt},
      {"page=abc", "page", "abc"},
      {"x=1&page=abc&page=def", "page", "abc"},
      {"page", "page", std::nullopt},
      {"page=", "page", ""},
      {"pages=1&page=2", "page", "2"},
      {"a=%20b", "a", "%20b"},
      {"&&page=z&", "page", "z"},
      {"Page=1", "page", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(query_value(c.query, c.key), c.value) << c.query;
}

TEST(HttpRules, TextHelpers) {
  EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9"));
  EXPECT_FALSE(is_valid_utf8("caf\xc3"));
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));
  EXPECT_TRUE(is_valid_utf8("\xf0\x9f\x98\x80"));
  EXPECT_EQ(trim_unicode_space(" \t a b \xe2\x80\xa8"), "a b");
  EXPECT_EQ(trim_unicode_space("\xc2\xa0"), "");
  EXPECT_EQ(trim_unicode_space("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(parse_port("65535"), std::optional<std::uint16_t>(65535));
  EXPECT_EQ(parse_port("65536"), std::nullopt);
  EXPECT_EQ(parse_port("+0"), std::optional<std::uint16_t>(0));
}

}  // namespace
}  // namespace qm::server
