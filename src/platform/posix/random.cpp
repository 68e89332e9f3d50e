#include "platform/random.hpp"

#include <sys/random.h>

#include <cerrno>

namespace qm::platform {

bool system_random(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace qm::platform
