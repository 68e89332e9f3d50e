// libFuzzer target: the "areas" and "have" parsers on arbitrary bytes. Beyond the sanitizers it
// checks the parsers' promises: an error leaves no value, rings hold three vertices or more, and
// "have" ranges come out sorted, non-overlapping and non-adjacent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "geo/areas.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto areas = qm::parse_areas(text);
  // A failure holds no rings, only its text.
  if (!areas.ok() && areas.error().empty()) std::abort();
  if (areas.ok())
    for (const auto& ring : areas.value())
      if (ring.vertices.size() < 3) std::abort();

  // The epoch of the first 16 bytes when they are hex digits, so the merge path is reached too.
  std::uint64_t epoch = 0;
  if (size >= 16) {
    for (std::size_t i = 0; i < 16; ++i) {
      const char c = text[i];
      const int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                              : (c >= 'A' && c <= 'F')     ? c - 'A' + 10
                                                                           : 0;
      epoch = epoch << 4 | static_cast<std::uint64_t>(d);
    }
  }
  const auto have = qm::parse_have(text, epoch);
  if (!have.ok()) {
    if (have.error().empty()) std::abort();
    return 0;
  }
  const qm::HaveRanges& ranges = have.value();
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].first > ranges[i].last) std::abort();
    if (i > 0 && ranges[i - 1].last >= ranges[i].first - 1) std::abort();
  }
  return 0;
}
