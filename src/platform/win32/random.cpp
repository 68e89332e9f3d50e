#include "platform/random.hpp"

#include <windows.h>
#include <bcrypt.h>

namespace qm::platform {

bool system_random(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ULONG chunk = length > 0x10000000u ? 0x10000000u : static_cast<ULONG>(length);
    if (BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return false;
    out += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace qm::platform
