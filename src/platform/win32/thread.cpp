#include "platform/thread.hpp"

#include <windows.h>

#include <memory>

#include "platform/handback.hpp"

namespace qm::platform {

namespace {

struct Start {
  std::string name;
  Priority priority;
  std::function<void()> body;
};

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
  mark_module_thread();
  // Made by the creator: destroyed and freed on the creator's side when the thread is done with it.
  SidedPtr<Start> start(static_cast<Start*>(arg));
  try {
    set_description(start->name);
    // A new thread starts at normal whatever its creator runs at.
    if (start->priority != Priority::normal) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    start->body();
  } catch (...) {
    // Bodies catch their own faults; nothing may leave a thread of the host process.
  }
  free_returns();  // the workers free the module's returns every turn, and every ending thread too
  return 0;
}

}  // namespace

std::string short_thread_name(const std::string& name) { return name; }

bool spawn_thread(const std::string& name, Priority priority, std::function<void()> body, std::string* error) {
  SidedPtr<Start> start = make_sided_unique<Start>(Start{name, priority, std::move(body)});
  HANDLE thread = CreateThread(nullptr, 2u * 1024u * 1024u, thread_main, start.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    if (error) *error = "CreateThread failed with error " + std::to_string(GetLastError());
    return false;
  }
  start.release();
  CloseHandle(thread);
  return true;
}

}  // namespace qm::platform
