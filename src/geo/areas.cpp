#include "geo/areas.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "base/numeric.hpp"
#include "base/text_rules.hpp"

namespace qm {

namespace {

// Splits at every separator, keeping empty pieces.
std::vector<std::string_view> split_all(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t hit = text.find(separator, start);
    if (hit == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, hit - start));
    start = hit + 1;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A first-vertex number: 1 to 16 characters, a plain decimal number at most 360 in magnitude.
std::optional<double> parse_degrees(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  const std::optional<double> value = parse_plain_decimal(text);
  if (!value || !(std::fabs(*value) <= 360.0)) return std::nullopt;
  return value;
}


// 1 to 20 decimal digits whose value fits 64 bits unsigned.
std::optional<std::uint64_t> parse_id(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  for (char c : text)
    if (!is_digit(c)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::optional<std::int64_t> parse_small_int(std::string_view text) {
  const std::size_t sign = (!text.empty() && text[0] == '-') ? 1 : 0;
  const std::size_t digits = text.size() - sign;
  if (digits < 1 || digits > 9) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t i = sign; i < text.size(); ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return sign ? -value : value;
}

Parsed<AreaList> parse_areas(std::string_view raw) {
  std::string text = server::replace_all(raw, "%2C", ",");
  text = server::replace_all(text, "%2c", ",");
  text = server::replace_all(text, "%3B", ";");
  text = server::replace_all(text, "%3b", ";");
  text = server::replace_all(text, "%7C", "|");
  text = server::replace_all(text, "%7c", "|");
  AreaList areas;
  if (text.empty()) return areas;
  for (char c : text) {
    if (!is_digit(c) && c != '.' && c != '-' && c != ',' && c != ';' && c != '|')
      return failure(area_errors::kCharacters);
  }
  for (std::string_view ring_text : split_all(text, '|')) {
    AreaRing ring;
    std::int64_t t1 = 0, t2 = 0;
    bool first = true;
    for (std::string_view vertex_text : split_all(ring_text, ';')) {
      const std::size_t comma = vertex_text.find(',');
      if (comma == std::string_view::npos) return failure(area_errors::kVertex);
      const std::string_view a = vertex_text.substr(0, comma);
      const std::string_view b = vertex_text.substr(comma + 1);
      if (first) {
        const auto lat = parse_degrees(a);
        const auto lon = lat ? parse_degrees(b) : std::nullopt;
        if (!lat || !lon) return failure(area_errors::kFirstVertex);
        t1 = saturate<std::int64_t>(std::round(*lat * 100000.0));
        t2 = saturate<std::int64_t>(std::round(*lon * 100000.0));
        first = false;
      } else {
        const auto d1 = parse_small_int(a);
        const auto d2 = d1 ? parse_small_int(b) : std::nullopt;
        if (!d1 || !d2) return failure(area_errors::kDelta);
        t1 = saturating_add(t1, *d1);
        t2 = saturating_add(t2, *d2);
      }
      ring.vertices.push_back({static_cast<double>(t1) * 0.00001, static_cast<double>(t2) * 0.00001});
    }
    if (ring.vertices.size() < 3) return failure(area_errors::kThreeVertices);
    areas.push_back(std::move(ring));
  }
  return areas;
}

Parsed<HaveRanges> parse_have(std::string_view raw, std::uint64_t current_epoch) {
  std::string text = server::replace_all(raw, "%3A", ":");
  text = server::replace_all(text, "%3a", ":");
  text = server::replace_all(text, "%2C", ",");
  text = server::replace_all(text, "%2c", ",");
  if (text.empty()) return HaveRanges{};
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return failure(area_errors::kHaveShape);
  }
  const std::string_view whole(text);
  const std::string_view epoch_text = whole.substr(0, colon);
  const std::string_view ranges_text = whole.substr(colon + 1);
  if (epoch_text.size() != 16 || !std::all_of(epoch_text.begin(), epoch_text.end(), is_hex)) {
    return failure(area_errors::kHaveEpoch);
  }
  HaveRanges ranges;
  if (!ranges_text.empty()) {
    for (std::string_view piece : split_all(ranges_text, ',')) {
      const std::size_t dash = piece.find('-');
      const auto a = parse_id(piece.substr(0, dash));
      const auto b = dash == std::string_view::npos ? a : parse_id(piece.substr(dash + 1));
      if (!a || !b || *a > *b) {
        return failure(area_errors::kHaveRanges);
      }
      ranges.push_back({*a, *b});
    }
  }
  std::uint64_t epoch = 0;
  std::from_chars(epoch_text.data(), epoch_text.data() + epoch_text.size(), epoch, 16);
  if (epoch != current_epoch) return HaveRanges{};
  return merged_ranges(std::move(ranges));
}

HaveRanges merged_ranges(std::vector<HaveRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const HaveRange& x, const HaveRange& y) {
    return x.first != y.first ? x.first < y.first : x.last < y.last;
  });
  HaveRanges merged;
  for (const HaveRange& r : ranges) {
    if (!merged.empty()) {
      HaveRange& previous = merged.back();
      const std::uint64_t next =
          previous.last == std::numeric_limits<std::uint64_t>::max() ? previous.last : previous.last + 1;
      if (r.first <= next) {
        previous.last = std::max(previous.last, r.last);
        continue;
      }
    }
    merged.push_back(r);
  }
  return merged;
}

}  // namespace qm
