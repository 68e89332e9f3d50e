#include "http/router.hpp"

#include "base/clock.hpp"
#include "base/shared_text.hpp"
#include "http/answer.hpp"

namespace qm::server {

namespace {

constexpr std::string_view origin_required = "game data is served to pages: an allowed Origin header is required";

}  // namespace

void stamp_request(RequestCounters& counters) {
  counters.requests.fetch_add(1, std::memory_order_relaxed);
  counters.last_request.store(stamp_now(), std::memory_order_relaxed);
}

Answer answer_request(const RequestHead& head, const ListenerFacts& facts, RequestCounters& counters,
                      const Routes& routes, Instant now) {
  const std::optional<std::string_view> local = opt_view(facts.local_ipv4_text);
  if (!host_rule_passes(head, facts.port, local)) return respond_status(counters.rejected, 421, "Misdirected Request", "");
  const OriginResult origin = origin_check(head);
  if (origin.kind == OriginResult::Kind::refused) return respond_status(counters.rejected, 403, "Forbidden", "");
  const bool allowed = origin.kind == OriginResult::Kind::allowed;
  if (head.method != "GET") return respond_status(counters.rejected, 405, "Method Not Allowed", origin.header_text);

  const std::string_view target = head.target;
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  const RouteRequest request{query, origin, now};

  if (path == "/v1/status") {
    counters.requests.fetch_add(1, std::memory_order_relaxed);
    return routes.status(request);
  }
  const Route* route = nullptr;
  bool stamps = true;
  if (path == "/v1/mesh") {
    route = &routes.mesh;
    stamps = false;
  } else if (path == "/v1/terrain") {
    route = &routes.terrain;
  } else if (path == "/v1/aircraft") {
    route = &routes.aircraft;
  } else if (path == "/v1/neutrals") {
    route = &routes.neutrals;
  } else {
    return respond_status(counters.rejected, 404, "Not Found", origin.header_text);
  }
  if (!allowed) return respond_text(counters.rejected, 403, "Forbidden", origin_required, "");
  if (stamps)
    stamp_request(counters);
  else
    counters.requests.fetch_add(1, std::memory_order_relaxed);
  return (*route)(request);
}

}  // namespace qm::server
