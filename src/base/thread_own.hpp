#pragma once
// A record each thread owns and borrows exclusively: made on the thread's first use, destroyed
// with the thread's other thread-local records. Borrowing it while it is already borrowed on the
// same thread, or while the thread's records are being torn down, is a fault.
#include <string>
#include <string_view>

#include "base/fault.hpp"

namespace qm {

template <class T>
class ThreadOwnBorrow {
 public:
  // `name` words the faults: "the thread's {name} is gone (thread ending)" and
  // "the thread's {name} is already in use".
  explicit ThreadOwnBorrow(std::string_view name,
                           std::source_location where = std::source_location::current()) {
    // The phase byte is trivially destructible, so it still reads correctly while the thread's
    // other records are being destroyed.
    if (phase_ == kTornDown) fault("the thread's " + std::string(name) + " is gone (thread ending)", where);
    thread_local Holder holder;
    if (borrowed_) fault("the thread's " + std::string(name) + " is already in use", where);
    borrowed_ = true;
    value_ = &holder.value;
  }
  ~ThreadOwnBorrow() { borrowed_ = false; }
  ThreadOwnBorrow(const ThreadOwnBorrow&) = delete;
  ThreadOwnBorrow& operator=(const ThreadOwnBorrow&) = delete;

  T& operator*() const { return *value_; }
  T* operator->() const { return value_; }

 private:
  static constexpr unsigned char kAlive = 1, kTornDown = 2;  // 0: not made yet
  struct Holder {
    T value;
    Holder() { phase_ = kAlive; }
    ~Holder() { phase_ = kTornDown; }
  };
  static inline thread_local unsigned char phase_ = 0;
  static inline thread_local bool borrowed_ = false;
  T* value_ = nullptr;
};

}  // namespace qm
