#pragma once
#include <functional>
#include <string>

namespace qm::platform {

// A thread's level, set by the thread itself as it starts, whatever its creator runs at. Both
// below-normal levels are Windows' below-normal priority. Linux has no such class, so it gets two:
// threads that mostly wait (on sockets, locks) run at the lowest ordinary level, nice 19, where they
// still get their turns on a machine that other programs keep busy; threads that keep a CPU busy
// run in the idle class, which gives way at once to a normal thread that wakes up.
enum class Priority {
  normal,
  below_normal,            // Linux: nice 19
  below_normal_computing,  // Linux: the idle scheduling class
};

// Starts a detached thread with a 2 MiB stack. `name` is the thread's full name; the operating
// system may get a shortened form (Linux keeps 15 bytes). The body must not let an exception escape:
// spawn_thread wraps it in a last catch-all that drops anything that does. Returns false and fills
// `error` when the thread could not be started.
bool spawn_thread(const std::string& name, Priority priority, std::function<void()> body,
                  std::string* error = nullptr);

// The short form of a thread name that the operating system gets on Linux (at most 15 bytes).
std::string short_thread_name(const std::string& name);

}  // namespace qm::platform
