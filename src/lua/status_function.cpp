// The host's `status`: the same document as GET /v1/status, built without ever waiting for a lock
// that a server or worker thread may hold; a held lock answers nil and "busy".
#include "lua/status.hpp"

#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "http/server_slot.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"
#include "http/server.hpp"
#include "routes/status_gather.hpp"

namespace qm {

std::optional<std::string> status_document_no_wait() {
  const std::optional<std::shared_ptr<server::Server>> slot = try_current_server();
  if (!slot) return std::nullopt;
  const std::optional<SnapshotRef> published = try_snapshot();
  if (!published) return std::nullopt;
  return gather_status_document(LockPolicy::try_only, module_stats(), slot->get(), *published, std::nullopt);
}

namespace lua {

int status(lua_State* L) {
  return push_text_or_busy(L, status_document_no_wait());
}

}  // namespace lua
}  // namespace qm
