#pragma once
// The status document as the host's Lua `status` builds it: every lock only tried, never waited for.
#include <optional>
#include <string>

namespace qm {

// The whole status document now, or none ("busy") when a lock it needs is held at this moment.
std::optional<std::string> status_document_no_wait();

}  // namespace qm
