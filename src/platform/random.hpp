#pragma once
#include <cstddef>

namespace qm::platform {

// Fills the buffer from the operating system's random source; false when it is not available.
bool system_random(void* buffer, std::size_t length);

}  // namespace qm::platform
