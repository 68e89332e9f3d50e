#pragma once
// A mutex that remembers a holder that left it while unwinding a fault. The terrain work code takes
// it regardless of the mark: a fault in one thread must not stop the terrain work of the others.
#include <atomic>
#include <exception>
#include <mutex>

namespace qm {

class PoisonMutex {
 public:
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

  bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
  void mark_poisoned() { poisoned_.store(true, std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};  // relaxed: set before the unlock and read with the mutex held
};

// Holds a PoisonMutex for a scope; marks it poisoned when the scope is left by an exception thrown
// after the lock was taken. `unlock` and `lock` allow a holder to let go for a while.
class PoisonGuard {
 public:
  explicit PoisonGuard(PoisonMutex& mutex) : mutex_(&mutex) { lock(); }
  PoisonGuard(PoisonMutex& mutex, std::try_to_lock_t) : mutex_(&mutex) {
    if (mutex_->try_lock()) {
      owns_ = true;
      exceptions_ = std::uncaught_exceptions();
    }
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  ~PoisonGuard() {
    if (owns_) release();
  }

  void lock() {
    mutex_->lock();
    owns_ = true;
    exceptions_ = std::uncaught_exceptions();
  }
  void unlock() {
    if (owns_) release();
  }
  bool owns_lock() const { return owns_; }

 private:
  void release() {
    if (std::uncaught_exceptions() > exceptions_) mutex_->mark_poisoned();
    owns_ = false;
    mutex_->unlock();
  }

  PoisonMutex* mutex_;
  int exceptions_ = 0;
  bool owns_ = false;
};

}  // namespace qm
