#pragma once
// Process-wide facts about the loaded module.

namespace qm {

// True when pinning the module in the process succeeded at load.
bool module_pinned();

// Records whether pinning the module succeeded; the module's loader calls it once.
void note_module_pinned(bool pinned);

}  // namespace qm
