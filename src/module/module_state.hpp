#pragma once
// Process-wide facts about the loaded module.

namespace qm {

// True when pinning the module in the process succeeded at load.
bool module_pinned();

}  // namespace qm
