#pragma once
#include <functional>
#include <string>

namespace qm::platform {

enum class Priority { normal, below_normal };

// Starts a detached thread with a 2 MiB stack. `name` is the thread's full name; the operating
// system may get a shortened form (Linux keeps 15 bytes). The body must not let an exception escape:
// spawn_thread wraps it in a last catch-all that drops anything that does. Returns false and fills
// `error` when the thread could not be started.
bool spawn_thread(const std::string& name, Priority priority, std::function<void()> body,
                  std::string* error = nullptr);

// The short form of a thread name that the operating system gets on Linux (at most 15 bytes).
std::string short_thread_name(const std::string& name);

}  // namespace qm::platform
