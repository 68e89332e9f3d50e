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
// creator's, so each thread sets both absolutely. Normal is the ordinary class at the process's
// nice value (that of its main thread). Below normal is nice 19, and below normal for computing is
// nice 19 in the batch class: a batch thread does not preempt the running thread when it wakes (the
// host's thread unparks the sampler in frame_end, and an ordinary thread woken there would often
// take the host's core at once), yet it keeps its share of the CPUs. The idle class would give way
// to the host's thread at once too, but it runs only on a CPU that nothing else wants, so a worker
// preempted there while it holds a lock that the host's thread needs (the kernel's memory map lock,
// inside a free or a growing heap) would keep the host waiting for as long as other programs keep
// the machine busy.
// Raising a thread's level needs a privilege (CAP_SYS_NICE or a raised RLIMIT_NICE): without it, a
// normal thread started by a below-normal one stays at its creator's level.
void set_own_priority(Priority priority) {
  const pid_t tid = gettid();
  const int policy = priority == Priority::below_normal_computing ? SCHED_BATCH : SCHED_OTHER;
  int current_policy = 0;
  sched_param current{};
  if (pthread_getschedparam(pthread_self(), &current_policy, &current) != 0 || current_policy != policy) {
    sched_param param{};
    param.sched_priority = 0;
    (void)pthread_setschedparam(pthread_self(), policy, &param);
  }
  errno = 0;
  const int nice = priority != Priority::normal ? 19 : getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (errno != 0) return;
  errno = 0;
  const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0 || own != nice) (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void* thread_main(void* arg) {
  mark_module_thread();
  // Made by the creator: destroyed and freed on the creator's side when the thread is done with it.
  SidedPtr<Start> start(static_cast<Start*>(arg));
  // The name first: a below-normal thread may wait for a CPU on a busy machine, and its name shows
  // meanwhile.
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
