#pragma once
// Named timing spans: a span adds its elapsed time to the calling thread's table when it ends
// (also when its scope is left by a fault). Nothing in the module reads the tables; tests do.
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct SpanEntry {
  const char* name;
  double total_seconds;
  std::uint64_t count;
};

void span_end(const char* name, std::uint64_t opened_ns) noexcept;

class SpanTimer {
 public:
  explicit SpanTimer(const char* name);
  ~SpanTimer() { span_end(name_, opened_ns_); }
  SpanTimer(const SpanTimer&) = delete;
  SpanTimer& operator=(const SpanTimer&) = delete;

 private:
  const char* name_;
  std::uint64_t opened_ns_;
};

// A copy of the calling thread's span table.
std::vector<SpanEntry> thread_span_table();

}  // namespace qm
