#include <gtest/gtest.h>

#include <string>

#include "http/request_head.hpp"
#include "http/router.hpp"

namespace qm::server {
namespace {

struct Counters {
  std::atomic<std::uint64_t> requests{0}, rejected{0}, last_request{0};
  RequestCounters view{requests, rejected, last_request};
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
std::string body_of(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }
bool has_origin_headers(const std::string& answer) {
  return answer.find("\r\nAccess-Control-Allow-Origin: ") != std::string::npos &&
         answer.find("\r\nVary: Origin\r\n") != std::string::npos;
}

// Each route answers its name, the query and the Origin lines it was given.
Routes test_routes() {
  const auto marker = [](std::string name) {
    return [name](const RouteRequest& q) { return name + "[" + std::string(q.query) + "]" + q.origin.header_text; };
  };
  Routes r;
  r.status = marker("STATUS");
  r.aircraft = marker("AIRCRAFT");
  r.neutrals = marker("NEUTRALS");
  r.terrain = marker("TERRAIN");
  r.mesh = marker("MESH");
  return r;
}

std::string request(const std::string& method, const std::string& target, const std::string& extra) {
  return method + " " + target + " HTTP/1.1\r\nHost: localhost:8080\r\n" + extra + "\r\n";
}

TEST(HttpRouter, RulesAndRoutes) {
  const std::string origin = "Origin: http://localhost:5173\r\n";
  const std::string bad_origin = "Origin: http://example.com\r\n";
  struct Case {
    std::string bytes;
    std::string line;  // status line, or the route's marker
    std::string body;
    bool origin_headers;
    std::uint64_t rejected, requests;
    bool stamped;
  };
  const std::string data_body = "game data is served to pages: an allowed Origin header is required";
  const Case cases[] = {
      {request("GET", "/v1/status", ""), "STATUS[]", "", false, 0, 1, false},
      {request("GET", "/v1/status?x=1&y", origin), "STATUS[x=1&y]Access-Control-Allow-Origin: http://localhost:5173", "", true, 0, 1, false},
      {request("GET", "/v1/Status", ""), "HTTP/1.1 404 Not Found", "Not Found", false, 1, 0, false},
      {request("GET", "/nope", origin), "HTTP/1.1 404 Not Found", "Not Found", true, 1, 0, false},
      {request("GET", "/v1/status", bad_origin), "HTTP/1.1 403 Forbidden", "Forbidden", false, 1, 0, false},
      {request("POST", "/v1/status", bad_origin), "HTTP/1.1 403 Forbidden", "Forbidden", false, 1, 0, false},
      {request("POST", "/nope", ""), "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed", false, 1, 0, false},
      {request("HEAD", "/v1/status", origin), "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed", true, 1, 0, false},
      {request("get", "/v1/status", ""), "HTTP/1.1 405 Method Not Allowed", "Method Not Allowed", false, 1, 0, false},
      {"GET /v1/status HTTP/1.1\r\nHost: localhost:8081\r\n\r\n", "HTTP/1.1 421 Misdirected Request", "Misdirected Request", false, 1, 0, false},
      {"GET /v1/status HTTP/1.1\r\n" + bad_origin + "\r\n", "HTTP/1.1 421 Misdirected Request", "Misdirected Request", false, 1, 0, false},
      {request("GET", "/v1/aircraft", ""), "HTTP/1.1 403 Forbidden", data_body, false, 1, 0, false},
      {request("GET", "/v1/neutrals", ""), "HTTP/1.1 403 Forbidden", data_body, false, 1, 0, false},
      {request("GET", "/v1/terrain?points=1,2", ""), "HTTP/1.1 403 Forbidden", data_body, false, 1, 0, false},
      {request("GET", "/v1/mesh", ""), "HTTP/1.1 403 Forbidden", data_body, false, 1, 0, false},
      // With an allowed Origin the data routes answer; all but the mesh route stamp the request.
      {request("GET", "/v1/aircraft", origin), "AIRCRAFT[]Access-Control-Allow-Origin: http://localhost:5173", "", true, 0, 1, true},
      {request("GET", "/v1/neutrals?x", origin), "NEUTRALS[x]Access-Control-Allow-Origin: http://localhost:5173", "", true, 0, 1, true},
      {request("GET", "/v1/terrain?points=1,2", origin), "TERRAIN[points=1,2]Access-Control-Allow-Origin: http://localhost:5173", "", true, 0, 1, true},
      {request("GET", "/v1/mesh?page=1", origin), "MESH[page=1]Access-Control-Allow-Origin: http://localhost:5173", "", true, 0, 1, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const HeadParse p = parse_request_head(c.bytes);
    ASSERT_EQ(p.outcome, HeadOutcome::complete) << i;
    Counters n;
    const std::string answer = answer_request(p.head, ListenerFacts{8080, std::nullopt}, n.view, test_routes(), 7).flat();
    if (c.line.rfind("HTTP/", 0) != 0) {  // a route's marker
      EXPECT_EQ(answer.substr(0, c.line.size()), c.line) << i;
    } else {
      EXPECT_EQ(status_line(answer), c.line) << i;
      EXPECT_EQ(body_of(answer), c.body) << i;
      EXPECT_EQ(has_origin_headers(answer), c.origin_headers) << i;
    }
    EXPECT_EQ(n.rejected.load(), c.rejected) << i;
    EXPECT_EQ(n.requests.load(), c.requests) << i;
    EXPECT_EQ(n.last_request.load() != 0, c.stamped) << i;
  }
}

TEST(HttpRouter, LanRequestMustNameTheLanAddress) {
  Counters n;
  const HeadParse p = parse_request_head("GET /v1/status HTTP/1.1\r\nHost: 192.168.1.20:8080\r\n\r\n");
  ASSERT_EQ(p.outcome, HeadOutcome::complete);
  EXPECT_EQ(answer_request(p.head, ListenerFacts{8080, "192.168.1.20"}, n.view, test_routes(), 1).flat().substr(0, 6),
            "STATUS");
  EXPECT_EQ(status_line(answer_request(p.head, ListenerFacts{8080, "192.168.1.21"}, n.view, test_routes(), 1).flat()),
            "HTTP/1.1 421 Misdirected Request");
}

}  // namespace
}  // namespace qm::server
