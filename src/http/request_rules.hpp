#pragma once
// The rules every request head passes before it is routed: the Host rule and the Origin rule,
// and the query reader the routes use.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/request_head.hpp"

namespace qm::server {

// The map page's own https origin (32 bytes), allowed byte for byte.
inline constexpr std::string_view page_origin = "https://map.quillmarsh-export.io";
static_assert(page_origin.size() == 32);

struct OriginResult {
  enum class Kind { none, refused, allowed } kind = Kind::none;
  std::string header_text;  // allowed: "Access-Control-Allow-Origin: {}\r\nVary: Origin\r\n"
};

OriginResult origin_check(const RequestHead& head);

// True when the request names this server: exactly one Host header whose trimmed value is
// "127.0.0.1", "localhost" (any case) or the accepting socket's IPv4 address as printed, a ":" and
// the server's port. `local_ipv4_text` is the accepting local address's dotted text, when IPv4.
bool host_rule_passes(const RequestHead& head, std::uint16_t port, std::optional<std::string_view> local_ipv4_text);

// The raw value of `key` in a query ("a=1&b=2"): the first piece "key=value"; none when no piece has it.
std::optional<std::string_view> query_value(std::string_view query, std::string_view key);

}  // namespace qm::server
