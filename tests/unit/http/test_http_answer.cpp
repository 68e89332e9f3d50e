#include <gtest/gtest.h>

#include "http/answer.hpp"

namespace qm::server {
namespace {

TEST(HttpAnswer, FormatsTheFixedHeaderBlock) {
  EXPECT_EQ(format_answer(200, "OK", content_type_json, "{}", ""),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n{}");
  EXPECT_EQ(format_answer(204, "X", content_type_text, "", "A: b\r\n"),
            "HTTP/1.1 204 X\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 0\r\nA: b\r\n"
            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
  // The length counts bytes, not characters.
  EXPECT_NE(format_answer(200, "OK", content_type_json, "\"\xc3\xa9\"", "").find("Content-Length: 4\r\n"),
            std::string::npos);
}

TEST(HttpAnswer, WritersAndTheirCounting) {
  RejectedCounter rejected{0};
  const std::string origin = "Access-Control-Allow-Origin: http://localhost\r\nVary: Origin\r\n";
  EXPECT_EQ(respond_json("[]", origin), format_answer(200, "OK", content_type_json, "[]", origin));
  EXPECT_EQ(rejected.load(), 0u);
  EXPECT_EQ(respond_status(rejected, 404, "Not Found", ""),
            format_answer(404, "Not Found", content_type_text, "Not Found", ""));
  EXPECT_EQ(rejected.load(), 1u);
  EXPECT_EQ(respond_text(rejected, 403, "Forbidden", "why", ""), format_answer(403, "Forbidden", content_type_text, "why", ""));
  EXPECT_EQ(rejected.load(), 2u);
  EXPECT_EQ(respond_busy(rejected, 503, 5, "busy, try again", origin),
            format_answer(503, "Service Unavailable", content_type_text, "busy, try again", origin + "Retry-After: 5\r\n"));
  EXPECT_EQ(respond_busy(rejected, 429, 1, "slow down", ""),
            format_answer(429, "Too Many Requests", content_type_text, "slow down", "Retry-After: 1\r\n"));
  EXPECT_EQ(rejected.load(), 4u);
}

TEST(HttpAnswer, AJsonAnswerAroundASharedTextKeepsItByReference) {
  const SharedText shared = std::make_shared<const std::string>("[1,2,3]");
  const std::string origin = "Access-Control-Allow-Origin: http://localhost\r\nVary: Origin\r\n";
  const Answer answer = respond_json("{\"a\":", shared, "}", origin);
  EXPECT_EQ(answer.shared, shared) << "the shared text is not copied";
  EXPECT_EQ(answer.flat(), respond_json("{\"a\":[1,2,3]}", origin));
  EXPECT_EQ(answer.size(), answer.flat().size());
  EXPECT_EQ(Answer(respond_json("{}", "")).flat(), respond_json("{}", ""));
}

}  // namespace
}  // namespace qm::server
