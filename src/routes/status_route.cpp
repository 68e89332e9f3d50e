#include "routes/status_route.hpp"

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "routes/status_gather.hpp"

namespace qm::server {

std::string status_route(const ModuleStats& stats, const Server& server, const SnapshotRef& snapshot,
                         std::uint64_t now_ns) {
  const std::uint64_t now_stamp = saturating_sub(now_ns, clock_origin_ns()) + 1;
  std::optional<std::string> document =
      gather_status_document(LockPolicy::wait, stats, &server, snapshot, now_stamp);
  check(document.has_value(), "the status parts answered busy while waiting for their locks");
  return std::move(*document);
}

}  // namespace qm::server
