#include "http/request_rules.hpp"

#include "platform/socket.hpp"
#include "base/text_rules.hpp"

namespace qm::server {

namespace {

bool allowed_origin_host(std::string_view host) {
  if (host == "[::1]" || ascii_iequals(host, "localhost")) return true;
  const auto address = platform::parse_ipv4(host);
  return address && (address->is_private() || address->is_loopback());
}

bool all_digits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

OriginResult origin_check(const RequestHead& head) {
  OriginResult result;
  const auto values = field_values(head, "origin");
  if (values.empty()) return result;
  result.kind = OriginResult::Kind::refused;
  if (values.size() > 1 || !is_valid_utf8(values[0])) return result;
  const std::string_view value = values[0];
  bool allowed = value == page_origin;
  if (!allowed) {
    constexpr std::string_view scheme = "http://";
    if (value.substr(0, scheme.size()) != scheme) return result;
    std::string_view host = value.substr(scheme.size());
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
      const std::string_view port = host.substr(colon + 1);
      if (!port.empty() && port.size() <= 5 && all_digits(port)) host = host.substr(0, colon);
    }
    allowed = allowed_origin_host(host);
  }
  if (!allowed) return result;
  result.kind = OriginResult::Kind::allowed;
  result.header_text = "Access-Control-Allow-Origin: ";
  result.header_text.append(value);
  result.header_text += "\r\nVary: Origin\r\n";
  return result;
}

bool host_rule_passes(const RequestHead& head, std::uint16_t port, std::optional<std::string_view> local_ipv4_text) {
  const auto values = field_values(head, "host");
  if (values.size() != 1 || !is_valid_utf8(values[0])) return false;
  const std::string_view value = trim_unicode_space(values[0]);
  const std::size_t colon = value.rfind(':');
  if (colon == std::string_view::npos) return false;
  const auto given_port = parse_port(value.substr(colon + 1));
  if (!given_port || *given_port != port) return false;
  const std::string_view host = value.substr(0, colon);
  if (host == "127.0.0.1" || ascii_iequals(host, "localhost")) return true;
  return local_ipv4_text && host == *local_ipv4_text;
}

std::optional<std::string_view> query_value(std::string_view query, std::string_view key) {
  while (true) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    if (piece.size() > key.size() && piece.substr(0, key.size()) == key && piece[key.size()] == '=')
      return piece.substr(key.size() + 1);
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

}  // namespace qm::server
