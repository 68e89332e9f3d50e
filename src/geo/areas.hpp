#pragma once
// The "areas" and "have" parameters of a mesh request, decoded from their raw query values (not
// URL-decoded beyond the few escapes each parser knows).
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/result.hpp"

namespace qm {

struct LatLon {
  double lat = 0.0;  // degrees
  double lon = 0.0;  // degrees
};

// One requested area: a closed ring of at least three vertices (the last connects to the first).
struct AreaRing {
  std::vector<LatLon> vertices;
};

using AreaList = std::vector<AreaRing>;

// Inclusive ranges of square ids, sorted, non-overlapping and non-adjacent.
struct HaveRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  friend bool operator==(const HaveRange&, const HaveRange&) = default;
};

using HaveRanges = std::vector<HaveRange>;

// A parser's result: the value, or one of the fixed error texts.
template <class T>
using Parsed = Result<T, std::string_view>;

// The fixed error texts.
namespace area_errors {
inline constexpr std::string_view kCharacters = "areas: only digits, '.', '-', ',', ';' and '|'";
inline constexpr std::string_view kVertex = "areas: a vertex needs two numbers";
inline constexpr std::string_view kFirstVertex = "areas: a ring's first vertex in degrees";
inline constexpr std::string_view kDelta = "areas: a delta in whole 1e-5 degrees";
inline constexpr std::string_view kThreeVertices = "areas: a ring needs three vertices or more";
inline constexpr std::string_view kHaveShape = "have: <epoch>:<ranges>";
inline constexpr std::string_view kHaveEpoch = "have: the epoch as 16 hex digits";
inline constexpr std::string_view kHaveRanges = "have: ranges as a-b or a, in order";
}  // namespace area_errors

// Rings of vertices: the first vertex of a ring in decimal degrees, every later one as whole
// deltas in 1e-5 degrees. "%2C", "%3B" and "%7C" (either case) are decoded first.
Parsed<AreaList> parse_areas(std::string_view raw);

// "<16 hex digits epoch>:<a-b or a, ...>": the merged ranges, or none when the epoch is not the
// current one. "%3A" and "%2C" (either case) are decoded first.
Parsed<HaveRanges> parse_have(std::string_view raw, std::uint64_t current_epoch);

// The ranges sorted and merged: overlapping and adjacent ranges become one.
HaveRanges merged_ranges(std::vector<HaveRange> ranges);

// An optional "-" followed by 1 to 9 decimal digits and nothing else.
std::optional<std::int64_t> parse_small_int(std::string_view text);

}  // namespace qm
