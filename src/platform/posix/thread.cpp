#include "platform/thread.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace qm::platform {

namespace {

struct Start {
  std::string name;
  Priority priority;
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  pthread_setname_np(pthread_self(), short_thread_name(start->name).c_str());
  if (start->priority == Priority::below_normal) {
    // Linux threads carry their own nice value: one step below the process's is "below normal".
    const int tid = static_cast<int>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0 && current < 19) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + 1);
  }
  try {
    start->body();
  } catch (...) {
    // Bodies catch their own faults; nothing may leave a thread of the host process.
  }
  return nullptr;
}

}  // namespace

std::string short_thread_name(const std::string& name) {
  static constexpr const char* prefix = "quillmarsh-exporter";
  std::string shortened = name;
  if (shortened.rfind(prefix, 0) == 0) shortened = "qm" + shortened.substr(std::strlen(prefix));
  if (shortened.size() > 15) shortened.resize(15);
  return shortened;
}

bool spawn_thread(const std::string& name, Priority priority, std::function<void()> body, std::string* error) {
  auto start = std::make_unique<Start>(Start{name, priority, std::move(body)});
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    if (error) *error = std::strerror(rc);
    return false;
  }
  pthread_attr_setstacksize(&attr, 2u * 1024u * 1024u);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, thread_main, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    if (error) *error = std::strerror(rc);
    return false;
  }
  start.release();
  return true;
}

}  // namespace qm::platform
