#pragma once
// The frames of a mesh stream's body: a little-endian u32 payload length, a u32 kind and the
// payload. JSON records (head, state, drop, end) and binary geometry (piece, points).
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "geo/areas.hpp"
#include "geo/projection.hpp"
#include "geo/web_mercator.hpp"
#include "streams/end_reason.hpp"

namespace qm {

enum class FrameKind : std::uint32_t { head = 1, drop = 2, piece = 3, state = 4, points = 5, end = 6 };

// Appends one frame: length, kind, payload.
void write_frame(std::string& buffer, FrameKind kind, std::string_view payload);

// {"api":1,"exporter":"1.1.0","epoch":"..","theatre":..,"projection":"..","squares":N,"refused":[..]}
std::string head_record(std::string_view theatre, std::string_view projection_label, std::uint64_t squares,
                        const std::vector<std::uint64_t>& refused);

// {"state":"..","squares":{"done":N,"total":N},"failed":N,"owed":N,"beat":N}
std::string state_record(std::string_view state, std::uint64_t done, std::uint64_t total, std::uint64_t failed,
                         std::uint64_t owed, std::uint64_t beat);

// {"drop":".."}: the ids inside the have ranges that `held` lacks, as maximal runs ("a" or "a-b"),
// joined by ","; none when there is no such id.
std::optional<std::string> drop_record(const HaveRanges& have, const std::set<std::uint32_t>& held);

// The end records.
std::string end_complete_record(std::uint64_t failed);
std::string end_error_record(std::string_view worker_message);  // "the exporter can't mesh: {}"
std::string end_stopped_record();
std::string end_theatre_record(std::string_view theatre);
std::string end_named_record(EndReason reason);  // replaced or server

// A stream's own copy of one kept cell mesh: map vertices (x, z, height) and vertex-index triples.
struct PieceCopy {
  std::uint64_t id = 0;
  std::vector<std::array<double, 3>> vertices;
  std::vector<std::array<std::uint64_t, 3>> triangles;
};

// The payload of a piece frame; none when a vertex cannot be converted.
std::optional<std::string> piece_payload(const PieceCopy& piece, const MapConversion& conversion);

// The payload of a points frame: the batch's convertible points relative to the first of them.
std::string points_payload(const std::vector<std::array<std::int32_t, 2>>& points, const MapConversion& conversion);

}  // namespace qm
