#include "platform/pin.hpp"

#include <dlfcn.h>

namespace qm::platform {

bool pin_module(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return false;
  // A second reference that is never closed, made un-unloadable: the module stays for the process's life.
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  return handle != nullptr;
}

}  // namespace qm::platform
