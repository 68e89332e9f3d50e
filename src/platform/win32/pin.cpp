#include "platform/pin.hpp"

#include <windows.h>

namespace qm::platform {

bool pin_module(const void* address) {
  HMODULE handle = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;  // 5
  return GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &handle) != 0;
}

}  // namespace qm::platform
