// libFuzzer target: the query parser of GET /v1/mesh on arbitrary bytes. Beyond the sanitizers it
// checks what the stream relies on: an error is one of the fixed texts, and an accepted request has
// a page of 1 to 64 letters, digits, "-" or "_", a printable theatre of 1 to 64 characters, a probe
// of 1 to 3600 seconds when given, rings of three vertices or more, and sorted, separate have ranges.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "streams/mesh_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view query(reinterpret_cast<const char*>(data), size);
  // The epoch of the first 16 bytes when they are hex digits, so that some "have" values match.
  std::uint64_t epoch = 0;
  if (const std::size_t at = query.find("have="); at != std::string_view::npos && size - at >= 21) {
    for (std::size_t i = at + 5; i < at + 21; ++i) {
      const char c = query[i];
      const int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : 0;
      epoch = epoch << 4 | static_cast<std::uint64_t>(d);
    }
  }
  const auto parsed = qm::parse_mesh_request(query, epoch);
  if (!parsed) {
    if (parsed.error().empty()) std::abort();
    return 0;
  }
  const qm::MeshRequest& r = parsed.value();
  if (r.page.empty() || r.page.size() > 64) std::abort();
  for (const char c : r.page) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) std::abort();
  }
  if (r.theatre.empty() || r.theatre.size() > 64) std::abort();
  for (const char c : r.theatre)
    if (c < 0x20 || c > 0x7e) std::abort();
  if (r.probe_seconds && (*r.probe_seconds < 1 || *r.probe_seconds > 3600)) std::abort();
  for (const auto& ring : r.areas)
    if (ring.vertices.size() < 3) std::abort();
  for (std::size_t i = 0; i < r.have.size(); ++i) {
    if (r.have[i].first > r.have[i].last) std::abort();
    if (i > 0 && r.have[i - 1].last >= r.have[i].first - 1) std::abort();
  }
  return 0;
}
