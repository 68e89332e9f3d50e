#include "platform/thread.hpp"

#include <windows.h>

#include "platform/thread_start.hpp"

namespace qm::platform {

namespace {

void set_description(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const SetDescription set = [] {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<SetDescription>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")))
                  : nullptr;
  }();
  if (!set) return;
  const int n = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  if (n <= 0) return;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), n);
  set(GetCurrentThread(), wide.c_str());
}

DWORD WINAPI thread_main(LPVOID arg) {
  detail::run_thread(static_cast<detail::ThreadStart*>(arg));
  return 0;
}

}  // namespace

std::string short_thread_name(const std::string& name) { return name; }

namespace detail {

void set_up_thread(const ThreadStart& start) {
  set_description(start.name);
  // A new thread starts at normal whatever its creator runs at.
  if (start.priority != Priority::normal) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

Result<void, std::string> create_thread(ThreadStart* start) {
  HANDLE thread =
      CreateThread(nullptr, kThreadStackBytes, thread_main, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return failure("CreateThread failed with error " + std::to_string(GetLastError()));
  CloseHandle(thread);
  return {};
}

}  // namespace detail

}  // namespace qm::platform
