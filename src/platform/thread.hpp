#pragma once
#include <functional>
#include <string>

#include "platform/result.hpp"

namespace qm::platform {

// A thread's level, set by the thread itself as it starts, whatever its creator runs at. Both
// below-normal levels are Windows' below-normal priority, and on Linux nice 19: a small share of a
// CPU that other threads want, but a share, so a thread that is preempted while it holds a lock the
// host's thread may need runs again within a bounded time however busy the machine is. Threads
// that keep a CPU busy run in the batch class besides, where a thread that wakes does not preempt
// the one that runs (the host's, say, which woke it); threads that mostly wait on sockets keep the
// ordinary class, where they answer soon.
enum class Priority {
  normal,
  below_normal,            // Linux: nice 19
  below_normal_computing,  // Linux: nice 19 in the batch class
};

// Starts a detached thread with a 2 MiB stack. `name` is the thread's full name; the operating
// system may get a shortened form (Linux keeps 15 bytes). The body must not let an exception escape:
// spawn_thread wraps it in a last catch-all that drops anything that does. The system's text when
// the thread could not be started.
Result<void, std::string> spawn_thread(const std::string& name, Priority priority, std::function<void()> body);

// The short form of a thread name that the operating system gets on Linux (at most 15 bytes).
std::string short_thread_name(const std::string& name);

}  // namespace qm::platform
