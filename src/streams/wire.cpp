#include "streams/wire.hpp"

#include <cmath>
#include <cstring>

#include "base/hashing.hpp"
#include "base/numeric.hpp"
#include "base/json.hpp"
#include "base/version.hpp"

namespace qm {

namespace {

void put_u32(std::string& out, std::uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out.append(bytes, 4);
}

void put_u16(std::string& out, std::uint16_t v) {
  const char bytes[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  out.append(bytes, 2);
}

void put_u64(std::string& out, std::uint64_t v) {
  put_u32(out, static_cast<std::uint32_t>(v));
  put_u32(out, static_cast<std::uint32_t>(v >> 32));
}

void put_f64(std::string& out, double v) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  put_u64(out, bits);
}

void put_f32(std::string& out, float v) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  put_u32(out, bits);
}

std::uint32_t narrow_count(std::size_t n) {
  return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
}


// The centre of the finite values' range; 0 when there is none.
struct Range {
  double lo = INFINITY;
  double hi = -INFINITY;
  void add(double v) {
    lo = std::fmin(lo, v);
    hi = std::fmax(hi, v);
  }
  double centre() const { return lo <= hi ? (lo + hi) / 2.0 : 0.0; }
};

// An end record: {"end":"<reason>", the members `members` writes, and the closing brace.
template <class Members>
std::string end_record(EndReason reason, Members members) {
  std::string out;
  JsonWriter w(out);
  w.begin_object().key("end").text(end_reason_text(reason));
  members(w);
  w.end_object();
  return out;
}

// An end record whose one further member is a text.
std::string end_record(EndReason reason, std::string_view key, std::string_view text) {
  return end_record(reason, [&](JsonWriter& w) { w.key(key).text(text); });
}

}  // namespace

void write_frame(std::string& buffer, FrameKind kind, std::string_view payload) {
  buffer.reserve(buffer.size() + 8 + payload.size());
  put_u32(buffer, static_cast<std::uint32_t>(payload.size()));
  put_u32(buffer, static_cast<std::uint32_t>(kind));
  buffer.append(payload);
}

std::string head_record(std::string_view theatre, std::string_view projection_label, std::uint64_t squares,
                        const std::vector<std::uint64_t>& refused) {
  std::string out;
  out.reserve(160 + theatre.size() + 8 * refused.size());
  JsonWriter w(out);
  w.begin_object();
  w.key("api").integer(kApiVersion);
  w.key("exporter").text(kExporterVersion);
  w.key("epoch").text(epoch_hex());
  w.key("theatre").text(theatre);
  w.key("projection").text(projection_label);
  w.key("squares").integer(squares);
  w.key("refused").begin_array();
  for (const std::uint64_t id : refused) w.integer(id);
  w.end_array().end_object();
  return out;
}

std::string state_record(std::string_view state, std::uint64_t done, std::uint64_t total, std::uint64_t failed,
                         std::uint64_t owed, std::uint64_t beat) {
  std::string out;
  out.reserve(128);
  JsonWriter w(out);
  w.begin_object();
  w.key("state").text(state);
  w.key("squares").begin_object().key("done").integer(done).key("total").integer(total).end_object();
  w.key("failed").integer(failed);
  w.key("owed").integer(owed);
  w.key("beat").integer(beat);
  w.end_object();
  return out;
}

std::optional<std::string> drop_record(const HaveRanges& have, const std::set<std::uint32_t>& held) {
  std::string entries;
  const auto entry = [&entries](std::uint64_t first, std::uint64_t last) {
    if (!entries.empty()) entries.push_back(',');
    json_uint(entries, first);
    if (last != first) {
      entries.push_back('-');
      json_uint(entries, last);
    }
  };
  for (const HaveRange& range : have) {
    if (range.first > range.last) continue;
    std::uint64_t cursor = range.first;  // the first id not yet accounted for
    bool past_end = false;
    for (auto it = held.lower_bound(static_cast<std::uint32_t>(std::min<std::uint64_t>(range.first, 0xFFFFFFFFu)));
         it != held.end() && *it <= range.last; ++it) {
      if (*it < cursor) continue;
      if (*it > cursor) entry(cursor, *it - 1);
      if (*it == range.last) {
        past_end = true;
        break;
      }
      cursor = std::uint64_t{*it} + 1;
    }
    if (!past_end) entry(cursor, range.last);
  }
  if (entries.empty()) return std::nullopt;
  std::string out;
  out.reserve(entries.size() + 12);
  JsonWriter(out).begin_object().key("drop").text(entries).end_object();
  return out;
}

std::string end_complete_record(std::uint64_t failed) {
  return end_record(EndReason::complete, [failed](JsonWriter& w) { w.key("failed").integer(failed); });
}

std::string end_error_record(std::string_view worker_message) {
  std::string reason("the exporter can't mesh: ");
  reason.append(worker_message);
  return end_record(EndReason::error, "reason", reason);
}

std::string end_stopped_record() { return end_record(EndReason::error, "reason", "the exporter stopped"); }

std::string end_theatre_record(std::string_view theatre) { return end_record(EndReason::theatre, "theatre", theatre); }

std::string end_named_record(EndReason reason) {
  return end_record(reason, [](JsonWriter&) {});
}

std::optional<std::string> piece_payload(const PieceCopy& piece, const MapConversion& conversion) {
  std::vector<std::pair<double, double>> mercator;
  mercator.reserve(piece.vertices.size());
  Range xs, ys;
  for (const auto& v : piece.vertices) {
    const auto geo = tm_inverse(conversion, v[0], v[1]);
    if (!geo) return std::nullopt;
    const auto m = web_mercator(geo->first, geo->second);
    xs.add(m.first);
    ys.add(m.second);
    mercator.push_back(m);
  }
  const double x0 = xs.centre();
  const double y0 = ys.centre();
  const double origin_latitude = web_mercator_inverse(x0, y0).first;
  const std::size_t v_count = piece.vertices.size();
  const std::size_t t_count = piece.triangles.size();
  const unsigned width = v_count <= 65535 ? 2 : 4;
  std::string out;
  out.reserve(40 + 12 * v_count + 3 * width * t_count + 3);
  put_f64(out, x0);
  put_f64(out, y0);
  put_f64(out, origin_latitude);
  put_u32(out, static_cast<std::uint32_t>(piece.id));
  put_u32(out, narrow_count(v_count));
  put_u32(out, narrow_count(t_count));
  put_u32(out, width);
  for (std::size_t i = 0; i < v_count; ++i) {
    put_f32(out, static_cast<float>(mercator[i].first - x0));
    put_f32(out, static_cast<float>(mercator[i].second - y0));
    put_f32(out, static_cast<float>(piece.vertices[i][2]));
  }
  for (const auto& t : piece.triangles) {
    for (const std::uint64_t index : t) {
      if (width == 2) {
        put_u16(out, static_cast<std::uint16_t>(index));
      } else {
        put_u32(out, static_cast<std::uint32_t>(index));
      }
    }
  }
  while (out.size() % 4 != 0) out.push_back('\0');
  return out;
}

std::string points_payload(const std::vector<std::array<std::int32_t, 2>>& points, const MapConversion& conversion) {
  std::vector<std::pair<double, double>> mercator;
  mercator.reserve(points.size());
  for (const auto& p : points) {
    const auto geo = tm_inverse(conversion, static_cast<double>(p[0]), static_cast<double>(p[1]));
    if (geo) mercator.push_back(web_mercator(geo->first, geo->second));
  }
  const double x0 = mercator.empty() ? 0.0 : mercator.front().first;
  const double y0 = mercator.empty() ? 0.0 : mercator.front().second;
  std::string out;
  out.reserve(20 + 8 * mercator.size());
  put_f64(out, x0);
  put_f64(out, y0);
  put_u32(out, narrow_count(mercator.size()));
  for (const auto& m : mercator) {
    put_f32(out, static_cast<float>(m.first - x0));
    put_f32(out, static_cast<float>(m.second - y0));
  }
  return out;
}

}  // namespace qm
