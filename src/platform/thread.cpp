// The steps of starting a thread that are the same on both systems (creating it, naming it and
// setting its level are in posix/thread.cpp and win32/thread.cpp).
#include "platform/thread.hpp"

#include "platform/handback.hpp"
#include "platform/thread_start.hpp"

namespace qm::platform {

namespace detail {

void run_thread(ThreadStart* arg) {
  mark_module_thread();
  SidedPtr<ThreadStart> start(arg);
  try {
    // The name first: a below-normal thread may wait for a CPU on a busy machine, and its name shows
    // meanwhile.
    set_up_thread(*start);
    start->body();
  } catch (...) {
    // Bodies catch their own faults; nothing may leave a thread of the host process.
  }
  free_returns();  // the workers free the module's returns every turn, and every ending thread too
}

}  // namespace detail

Result<void, std::string> spawn_thread(const std::string& name, Priority priority, std::function<void()> body) {
  SidedPtr<detail::ThreadStart> start =
      make_sided_unique<detail::ThreadStart>(detail::ThreadStart{name, priority, std::move(body)});
  if (Result<void, std::string> created = detail::create_thread(start.get()); !created) return created;
  start.release();
  return {};
}

}  // namespace qm::platform
