#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "http/head_reader.hpp"
#include "http/request_head.hpp"
#include "http/server.hpp"

namespace qm::server {
namespace {

// A request line and n header lines, without the blank line that ends the head.
std::string open_fields(int n) {
  std::string s = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < n; ++i) s += "X-F" + std::to_string(i) + ": v\r\n";
  return s;
}

std::string many_fields(int n) { return open_fields(n) + "\r\n"; }

TEST(HttpHead, OutcomesOfTheParse) {
  struct Case {
    std::string bytes;
    HeadOutcome outcome;
  };
  const Case cases[] = {
      {"", HeadOutcome::partial},
      {"GET /v1/status HTTP/1.1\r\n", HeadOutcome::partial},
      {"GET /v1/status HTTP/1.1\r\nHost: localhost:80\r\n", HeadOutcome::partial},
      {"GET /v1/status HTTP/1.1\r\nHost: localhost:80\r\n\r\n", HeadOutcome::complete},
      {"GET / HTTP/1.0\r\n\r\n", HeadOutcome::complete},
      {"GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", HeadOutcome::complete},
      {many_fields(32), HeadOutcome::complete},
      {many_fields(33), HeadOutcome::too_many_headers},
      {many_fields(200), HeadOutcome::too_many_headers},
      // A 33rd header line is too many as soon as its first byte is there; up to then the head
      // waits for its blank line. A wrong line before it is still a bad head.
      {open_fields(32), HeadOutcome::partial},
      {open_fields(32) + "\r", HeadOutcome::partial},
      {open_fields(32) + "X", HeadOutcome::too_many_headers},
      {open_fields(31) + "Bad Name: x\r\nX", HeadOutcome::bad},
      {open_fields(31) + "X-G: y\nX", HeadOutcome::too_many_headers},
      // Lines may end in a bare line feed, and empty lines before the request line are skipped.
      {"GET / HTTP/1.1\nHost: a:1\n\n", HeadOutcome::complete},
      {"GET / HTTP/1.1\r\nHost: a:1\n\r\n", HeadOutcome::complete},
      {"GET / HTTP/1.1\nHost: a:1\n", HeadOutcome::partial},
      {"\r\n\n\r\nGET / HTTP/1.1\r\n\r\n", HeadOutcome::complete},
      {"\r\n\n", HeadOutcome::partial},
      {"\r\n\r", HeadOutcome::partial},
      {"\r\rGET / HTTP/1.1\r\n\r\n", HeadOutcome::bad},
      {"GET / HTTP/1.1\r\nHost: a:1\r\r\n\r\n", HeadOutcome::bad},
      // Bad or repeated lengths are errors of the parser.
      {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", HeadOutcome::bad},
      {"GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", HeadOutcome::bad},
      // Folded header lines and targets that are not UTF-8 are refused by our own checks.
      {"GET / HTTP/1.1\r\nHost: a:1\r\n continued\r\n\r\n", HeadOutcome::bad},
      {"GET / HTTP/1.1\r\nX-A: a\r\n\tcontinued\r\nHost: a:1\r\n\r\n", HeadOutcome::bad},
      {"GET /\xff HTTP/1.1\r\n\r\n", HeadOutcome::bad},
      {"GET /\xc3\xa9 HTTP/1.1\r\n\r\n", HeadOutcome::complete},
      {"GET / HTTP/2.0\r\n\r\n", HeadOutcome::bad},
      {"GET / FTP/1.1\r\n\r\n", HeadOutcome::bad},
      {"G(T / HTTP/1.1\r\n\r\n", HeadOutcome::bad},
      {"GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", HeadOutcome::bad},
      {"HTTP/1.1 200 OK\r\n\r\n", HeadOutcome::bad},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_request_head(c.bytes).outcome, c.outcome) << c.bytes;
  }
}

TEST(HttpHead, KeepsMethodTargetAndFields) {
  const std::string bytes = "POST /v1/status?x=1 HTTP/1.1\r\nHost:  localhost:8080 \r\nOrigin: http://a\r\nhost: b\r\n\r\n";
  const HeadParse p = parse_request_head(bytes);
  ASSERT_EQ(p.outcome, HeadOutcome::complete);
  EXPECT_EQ(p.head.method, "POST");
  EXPECT_EQ(p.head.target, "/v1/status?x=1");
  EXPECT_EQ(p.head.length, bytes.size());
  ASSERT_EQ(p.head.fields.size(), 3u);
  EXPECT_EQ(p.head.fields[0].value, "localhost:8080");
  const auto hosts = field_values(p.head, "HOST");
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[1], "b");

  // The same head with bare line feeds, after two empty lines, and with the start of a body.
  const std::string bare = "\n\r\nPOST /v1/status?x=1 HTTP/1.1\nHost:  localhost:8080 \nOrigin: http://a\nhost: b\n\n";
  const HeadParse q = parse_request_head(bare + "body");
  ASSERT_EQ(q.outcome, HeadOutcome::complete);
  EXPECT_EQ(q.head.method, "POST");
  EXPECT_EQ(q.head.target, "/v1/status?x=1");
  EXPECT_EQ(q.head.length, bare.size());
  ASSERT_EQ(q.head.fields.size(), 3u);
  EXPECT_EQ(q.head.fields[0].value, "localhost:8080");
  EXPECT_EQ(q.head.fields[2].value, "b");
}

// A scripted source: each step is one receive; the clock advances by a fixed step per receive.
class ScriptSource final : public HeadSource {
 public:
  struct Step {
    ReceiveResult::Kind kind;
    std::string bytes;
    Instant advance_ns;
  };
  std::deque<Step> steps;
  Instant clock = 1000;
  std::vector<std::uint64_t> timeouts;

  Instant now() override { return clock; }
  ReceiveResult receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) override {
    timeouts.push_back(timeout_ms);
    if (steps.empty()) {  // nothing more comes: the receive times out
      clock += timeout_ms * 1000000;
      return {ReceiveResult::Kind::failed, 0};
    }
    Step s = steps.front();
    steps.pop_front();
    clock += s.advance_ns;
    const std::size_t n = std::min(length, s.bytes.size());
    std::copy_n(s.bytes.data(), n, buffer);
    return {s.kind, s.kind == ReceiveResult::Kind::data ? n : 0};
  }
};

using K = ReceiveResult::Kind;
constexpr Instant ms = 1000000;

TEST(HttpHeadReader, CompleteHeadInPieces) {
  ScriptSource src;
  src.steps = {{K::data, "GET / HT", ms}, {K::data, "TP/1.1\r\n\r", ms}, {K::data, "\n", ms}};
  RejectedCounter rejected{0};
  const HeadRead r = read_request_head(src, server_config, src.clock, rejected);
  EXPECT_EQ(r.outcome, HeadRead::Outcome::complete);
  EXPECT_EQ(r.head.target, "/");
  EXPECT_EQ(rejected.load(), 0u);
  // The first receive waits for the first byte (500 ms), later ones for the whole head.
  ASSERT_EQ(src.timeouts.size(), 3u);
  EXPECT_EQ(src.timeouts[0], 500u);
  EXPECT_EQ(src.timeouts[1], 1999u);
}

TEST(HttpHeadReader, SilentClientTimesOutCountedWithoutAnswer) {
  ScriptSource src;
  RejectedCounter rejected{0};
  const HeadRead r = read_request_head(src, server_config, src.clock, rejected);
  EXPECT_EQ(r.outcome, HeadRead::Outcome::close);
  EXPECT_EQ(rejected.load(), 1u);
  EXPECT_EQ(src.timeouts, std::vector<std::uint64_t>{500});
}

TEST(HttpHeadReader, SixteenReceivesAtMost) {
  ScriptSource src;
  const std::string head = "GET / HTTP/1.1\r\n\r\n";
  for (char c : head) src.steps.push_back({K::data, std::string(1, c), 1});
  RejectedCounter rejected{0};
  const HeadRead r = read_request_head(src, server_config, src.clock, rejected);
  EXPECT_EQ(r.outcome, HeadRead::Outcome::close);
  EXPECT_EQ(rejected.load(), 1u);
  EXPECT_EQ(src.timeouts.size(), 16u);
}

TEST(HttpHeadReader, OutcomesByReceive) {
  struct Case {
    std::vector<ScriptSource::Step> steps;
    HeadRead::Outcome outcome;
    std::uint64_t rejected;
    std::string answer_start;
  };
  const std::string full(16384, 'a');
  const Case cases[] = {
      {{{K::closed, "", ms}}, HeadRead::Outcome::close, 0, ""},
      {{{K::data, "GET", ms}, {K::closed, "", ms}}, HeadRead::Outcome::close, 0, ""},
      {{{K::setup_failed, "", 0}}, HeadRead::Outcome::close, 0, ""},
      {{{K::failed, "", ms}}, HeadRead::Outcome::close, 1, ""},
      {{{K::interrupted, "", ms}, {K::data, "GET / HTTP/1.1\r\n\r\n", ms}}, HeadRead::Outcome::complete, 0, ""},
      {{{K::data, "GET / HTTP/1.1\r\n", ms}, {K::data, std::string(16384, 'x'), ms}},
       HeadRead::Outcome::answer, 1, "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
      {{{K::data, many_fields(40), ms}}, HeadRead::Outcome::answer, 1, "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
      {{{K::data, "GET / HTTP/1.1\r\nX: y\r\n \r\n\r\n", ms}}, HeadRead::Outcome::answer, 1, "HTTP/1.1 400 Bad Request\r\n"},
      {{{K::data, "\r\nGET / HTTP/1.1\nX: y\n", ms}, {K::data, "\n", ms}}, HeadRead::Outcome::complete, 0, ""},
      // 33 header lines and no blank line yet: answered at once, without waiting for the deadline.
      {{{K::data, open_fields(20), ms}, {K::data, open_fields(13).substr(16), ms}},
       HeadRead::Outcome::answer, 1, "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
      // The first byte comes too late: the head deadline is not reached, but the first-byte one is.
      {{{K::interrupted, "", 600 * ms}, {K::data, "GET / HTTP/1.1\r\n\r\n", ms}}, HeadRead::Outcome::close, 1, ""},
      // A head still incomplete when 2 s have passed.
      {{{K::data, "GET", 100 * ms}, {K::data, " /", 1950 * ms}, {K::data, " HTTP/1.1\r\n\r\n", ms}},
       HeadRead::Outcome::close, 1, ""},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ScriptSource src;
    src.steps.assign(cases[i].steps.begin(), cases[i].steps.end());
    RejectedCounter rejected{0};
    const HeadRead r = read_request_head(src, server_config, src.clock, rejected);
    EXPECT_EQ(r.outcome, cases[i].outcome) << "case " << i;
    EXPECT_EQ(rejected.load(), cases[i].rejected) << "case " << i;
    EXPECT_EQ(r.answer.substr(0, cases[i].answer_start.size()), cases[i].answer_start) << "case " << i;
  }
}

TEST(HttpHeadReader, MillisLeftRoundsUpAndNeverGivesZeroBeforeTheDeadline) {
  EXPECT_EQ(millis_left(0, 1), 1u);
  EXPECT_EQ(millis_left(0, ms), 1u);
  EXPECT_EQ(millis_left(0, ms + 1), 2u);
  EXPECT_EQ(millis_left(5, 5), 0u);
  EXPECT_EQ(millis_left(6, 5), 0u);
}

}  // namespace
}  // namespace qm::server
