#include "streams/registry_status.hpp"

#include "base/clock.hpp"
#include "streams/registry.hpp"

namespace qm {

std::optional<std::string> streams_status_json(std::string_view micros_text, std::uint64_t now_stamp, bool wait) {
  const std::uint64_t now = clock_origin_ns() + (now_stamp > 0 ? now_stamp - 1 : 0);
  return stream_registry().status_json(micros_text, now, wait);
}

}  // namespace qm
