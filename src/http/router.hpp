#pragma once
// From a parsed request head to its answer: the Host rule, the Origin rule, the method rule and
// the routing of the five paths.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "http/answer.hpp"
#include "http/request_head.hpp"
#include "http/request_rules.hpp"

namespace qm::server {

using Instant = std::uint64_t;

// The request statistics the router writes (the `ModuleStats` fields of those names).
struct RequestCounters {
  std::atomic<std::uint64_t>& requests;
  std::atomic<std::uint64_t>& rejected;
  std::atomic<std::uint64_t>& last_request;  // stamp: ns since the clock origin + 1
};

// What a route sees of its request.
struct RouteRequest {
  std::string_view query;           // the target after the first "?" (empty when none)
  const OriginResult& origin;       // the Origin rule's result
  Instant now;                      // one instant taken when the request was routed
};

// The routes' bodies; each returns the whole answer to send.
using Route = std::function<Answer(const RouteRequest&)>;
struct Routes {
  Route status;
  Route aircraft;
  Route neutrals;
  Route terrain;
  Route mesh;
};

// Where the request arrived: the server's port and the accepting socket's local IPv4 address as
// printed (absent when it could not be read).
struct ListenerFacts {
  std::uint16_t port = 0;
  std::optional<std::string> local_ipv4_text;
};

// Requests += 1 and the last-request stamp := now (ns since the clock origin + 1).
void stamp_request(RequestCounters& counters);

// The whole answer to a complete request head.
Answer answer_request(const RequestHead& head, const ListenerFacts& facts, RequestCounters& counters,
                      const Routes& routes, Instant now);

}  // namespace qm::server
