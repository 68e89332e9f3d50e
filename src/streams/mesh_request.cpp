#include "streams/mesh_request.hpp"

#include "http/request_rules.hpp"

namespace qm {

namespace {

constexpr std::string_view kMissingPage = "missing page";
constexpr std::string_view kBadPage = "page must be 1 to 64 letters, digits, - or _";
constexpr std::string_view kMissingTheatre = "missing theatre";
constexpr std::string_view kTheatreLength = "theatre must be 1 to 64 characters";
constexpr std::string_view kTheatreText = "theatre isn't printable text";
constexpr std::string_view kBadProbe = "probe must be 1 to 3600 seconds";
constexpr std::string_view kBadPoints = "points must be 0 or 1";

bool page_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> decode_theatre(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(raw[i]);
    if (byte == '+') {
      byte = ' ';
    } else if (byte == '%') {
      if (i + 2 >= raw.size()) return std::nullopt;
      const int hi = hex_value(raw[i + 1]);
      const int lo = hex_value(raw[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      byte = static_cast<unsigned char>(hi * 16 + lo);
      i += 2;
    }
    if (byte < 0x20 || byte > 0x7E) return std::nullopt;
    out.push_back(static_cast<char>(byte));
  }
  return out;
}

Parsed<MeshRequest> parse_mesh_request(std::string_view query, std::uint64_t epoch) {
  using server::query_value;
  MeshRequest request;

  const std::optional<std::string_view> page = query_value(query, "page");
  if (!page) return failure(kMissingPage);
  if (page->empty() || page->size() > 64) return failure(kBadPage);
  for (const char c : *page)
    if (!page_byte(c)) return failure(kBadPage);
  request.page.assign(*page);

  const std::optional<std::string_view> theatre = query_value(query, "theatre");
  if (!theatre) return failure(kMissingTheatre);
  if (theatre->empty()) return failure(kTheatreLength);
  std::optional<std::string> decoded = decode_theatre(*theatre);
  if (!decoded) return failure(kTheatreText);
  if (decoded->size() > 64) return failure(kTheatreLength);
  request.theatre = std::move(*decoded);

  if (const std::optional<std::string_view> probe = query_value(query, "probe")) {
    if (probe->empty() || probe->size() > 4) return failure(kBadProbe);
    std::uint32_t seconds = 0;
    for (const char c : *probe) {
      if (c < '0' || c > '9') return failure(kBadProbe);
      seconds = seconds * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (seconds < 1 || seconds > 3600) return failure(kBadProbe);
    request.probe_seconds = seconds;
  }

  Parsed<AreaList> areas = parse_areas(query_value(query, "areas").value_or(std::string_view()));
  if (!areas.ok()) return failure(areas.error());
  request.areas = std::move(areas).value();

  Parsed<HaveRanges> have = parse_have(query_value(query, "have").value_or(std::string_view()), epoch);
  if (!have.ok()) return failure(have.error());
  request.have = std::move(have).value();

  if (const std::optional<std::string_view> points = query_value(query, "points")) {
    if (*points == "1") {
      request.points = true;
    } else if (*points != "0") {
      return failure(kBadPoints);
    }
  }
  return request;
}

}  // namespace qm
