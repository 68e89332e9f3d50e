#include "platform/thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/handback.hpp"

namespace qm::platform {

namespace {

struct Start {
  std::string name;
  Priority priority;
  std::function<void()> body;
};

// A Linux thread carries its own scheduling class and nice value, and a new thread inherits its
// creator's, so each thread sets both absolutely. Normal is the ordinary class at the process's nice
// value (that of its main thread). Below normal is nice 19. Below normal for computing is the idle
// class: the scheduler preempts it at once for a waking normal thread, and a CPU that runs only
// idle-class threads counts as free when it places one, where nice 19 only shrinks a share. The idle
// class is kept to the computing threads because it starves a thread on a machine that other
// programs keep busy, which a server thread with deadlines cannot afford.
// Raising a thread's level needs a privilege (CAP_SYS_NICE or a raised RLIMIT_NICE): without it, a
// normal thread started by a below-normal one stays at its creator's level.
void set_own_priority(Priority priority) {
  const pid_t tid = gettid();
  const int policy = priority == Priority::below_normal_computing ? SCHED_IDLE : SCHED_OTHER;
  int current_policy = 0;
  sched_param current{};
  if (pthread_getschedparam(pthread_self(), &current_policy, &current) != 0 || current_policy != policy) {
    sched_param param{};
    param.sched_priority = 0;
    (void)pthread_setschedparam(pthread_self(), policy, &param);
  }
  if (priority == Priority::below_normal_computing) return;  // the idle class has no nice levels
  errno = 0;
  const int nice = priority == Priority::below_normal ? 19 : getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (errno != 0) return;
  errno = 0;
  const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0 || own != nice) (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void* thread_main(void* arg) {
  mark_module_thread();
  // Made by the creator: destroyed and freed on the creator's side when the thread is done with it.
  SidedPtr<Start> start(static_cast<Start*>(arg));
  // The name first: an idle-class thread may wait long for a CPU on a busy machine, and its name
  // shows meanwhile.
  pthread_setname_np(pthread_self(), short_thread_name(start->name).c_str());
  set_own_priority(start->priority);
  try {
    start->body();
  } catch (...) {
    // Bodies catch their own faults; nothing may leave a thread of the host process.
  }
  free_returns();  // the workers free the module's returns every turn, and every ending thread too
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
  SidedPtr<Start> start = make_sided_unique<Start>(Start{name, priority, std::move(body)});
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
