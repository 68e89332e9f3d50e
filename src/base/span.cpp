#include "base/span.hpp"

#include <cstring>

#include "base/clock.hpp"
#include "platform/clock.hpp"

namespace qm {

namespace {
std::vector<SpanEntry>& table() {
  thread_local std::vector<SpanEntry> entries;
  return entries;
}
}  // namespace

SpanTimer::SpanTimer(const char* name) : name_(name), opened_ns_(platform::monotonic_ns()) {}

void span_end(const char* name, std::uint64_t opened_ns) noexcept {
  const double seconds = ns_to_seconds(saturating_sub(platform::monotonic_ns(), opened_ns));
  try {
    auto& entries = table();
    const std::size_t length = std::strlen(name);
    for (auto& e : entries) {
      if (std::strlen(e.name) == length && std::memcmp(e.name, name, length) == 0) {
        e.total_seconds += seconds;
        e.count += 1;
        return;
      }
    }
    entries.push_back(SpanEntry{name, seconds, 1});
  } catch (...) {
    // Out of memory: the span is dropped; spans have no effect on any output.
  }
}

std::vector<SpanEntry> thread_span_table() { return table(); }

}  // namespace qm
