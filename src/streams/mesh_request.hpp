#pragma once
// The query of GET /v1/mesh, checked and decoded: page, theatre, optional probe, areas, have and
// the points flag. The first failing check gives the 400 answer's body.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "geo/areas.hpp"

namespace qm {

struct MeshRequest {
  std::string page;     // 1 to 64 letters, digits, "-" or "_"
  std::string theatre;  // decoded: 1 to 64 printable ASCII characters
  AreaList areas;
  HaveRanges have;
  std::optional<std::uint32_t> probe_seconds;  // 1 to 3600
  bool points = false;

  bool areas_given() const { return !areas.empty(); }
};

// The request, or the text of its 400 answer. `epoch` is the process's epoch id.
Parsed<MeshRequest> parse_mesh_request(std::string_view query, std::uint64_t epoch);

// The theatre value decoded: "+" is a space, "%XX" a byte; none when an escape is broken or a byte
// is not printable ASCII.
std::optional<std::string> decode_theatre(std::string_view raw);

}  // namespace qm
