#pragma once

namespace qm::platform {

// Keeps the module that contains `address` loaded for the life of the process; true on success.
bool pin_module(const void* address);

}  // namespace qm::platform
