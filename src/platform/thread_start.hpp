#pragma once
// What the POSIX and Win32 thread code share: the record a new thread starts from and the frame
// around its body. Each side defines how a thread is created and how it names itself and sets its
// level. Included only by the platform's own .cpp files.
#include <cstddef>
#include <functional>
#include <string>

#include "platform/result.hpp"
#include "platform/thread.hpp"

namespace qm::platform::detail {

inline constexpr std::size_t kThreadStackBytes = 2u * 1024u * 1024u;

// Made by the creator: destroyed and freed on the creator's side when the thread is done with it.
struct ThreadStart {
  std::string name;
  Priority priority;
  std::function<void()> body;
};

// The whole life of a started thread: marks it as the module's, takes `start` over, names the
// thread and sets its level (the system's own step), runs the body, drops anything that escapes it
// and frees the module's returns.
void run_thread(ThreadStart* start);

// Each side's own calls.

// Creates a detached thread of kThreadStackBytes that calls `run_thread(start)`; on success the
// thread owns `start`.
Result<void, std::string> create_thread(ThreadStart* start);
// Names the calling thread and sets its level.
void set_up_thread(const ThreadStart& start);

}  // namespace qm::platform::detail
