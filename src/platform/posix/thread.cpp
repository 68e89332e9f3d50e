#include "platform/thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/thread_start.hpp"

namespace qm::platform {

namespace {

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
  detail::run_thread(static_cast<detail::ThreadStart*>(arg));
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

namespace detail {

void set_up_thread(const ThreadStart& start) {
  pthread_setname_np(pthread_self(), short_thread_name(start.name).c_str());
  set_own_priority(start.priority);
}

Result<void, std::string> create_thread(ThreadStart* start) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return failure(std::string(std::strerror(rc)));
  pthread_attr_setstacksize(&attr, kThreadStackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, thread_main, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) return failure(std::string(std::strerror(rc)));
  return {};
}

}  // namespace detail

}  // namespace qm::platform
