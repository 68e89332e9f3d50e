#pragma once
// Memory that crosses between the host's threads and the module's own threads is freed on the side
// that made it.
//
// The allocator is a lock the code does not show: glibc keeps an arena per thread, and a thread that
// frees a chunk of another thread's arena takes that arena's lock (and the chunks it caches meanwhile
// become its own allocations, which carry the lock along). A module thread that is preempted while it
// holds its arena's lock would then stall the host's thread inside a free, and a module thread freeing
// the host's memory holds the lock of the arena that the host's next allocation needs. So a record
// or a container that both sides use is allocated here: each block names the side that made it, is
// freed at once on that side, and from the other side goes onto that side's list of returns (a
// lock-free push into the block itself, no allocation), which the owning side empties with
// `free_returns` at moments of its own: the host at the end of its frames, the workers every turn.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace qm::platform {

// True on a thread that the module started (`spawn_thread` marks it), false on the host's threads.
bool on_module_thread();
// Marks the calling thread as one of the module's own (done by `spawn_thread`'s thread start; tests
// call it on threads that stand in for the module's).
void mark_module_thread();

// A block of `bytes` that remembers the side that made it. `side_free` frees it at once on that side
// and otherwise hands it back; `finish`, when set, runs first on the owning side (a destructor).
void* side_allocate(std::size_t bytes);
void side_set_finish(void* block, void (*finish)(void*)) noexcept;
void side_free(void* block) noexcept;

// Finishes and frees every block that the other side handed back to the calling thread's side.
// Costs one atomic load when there is none.
void free_returns() noexcept;

// Whether blocks wait to be freed by the host's side (false) or the module's side (true).
bool returns_waiting(bool module_side) noexcept;

// Deletes what `make_sided` or `make_sided_unique` made, on its own side.
struct SideDelete {
  template <class T>
  void operator()(T* object) const noexcept {
    side_free(const_cast<void*>(static_cast<const void*>(object)));
  }
};

// An allocator for containers that both sides change: each allocation goes back to the side that
// made it.
template <class T>
struct SideAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "side blocks keep the default alignment");

  SideAllocator() noexcept = default;
  template <class U>
  SideAllocator(const SideAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(side_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { side_free(p); }

  template <class U>
  friend bool operator==(const SideAllocator&, const SideAllocator<U>&) noexcept {
    return true;
  }
};

template <class T>
void finish_sided(void* object) noexcept {
  static_cast<T*>(object)->~T();
}

template <class T>
using SidedPtr = std::unique_ptr<T, SideDelete>;

// A record that is destroyed and freed on the side that made it, whichever side lets it go.
template <class T, class... Args>
SidedPtr<T> make_sided_unique(Args&&... args) {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "side blocks keep the default alignment");
  void* block = side_allocate(sizeof(T));
  T* object = nullptr;
  try {
    object = ::new (block) T(std::forward<Args>(args)...);
  } catch (...) {
    side_free(block);
    throw;
  }
  side_set_finish(block, &finish_sided<std::remove_cv_t<T>>);
  return SidedPtr<T>(object);
}

// A shared record that is destroyed and freed on the side that made it, whichever thread drops the
// last reference; its reference count lives in a block of that side too.
template <class T, class... Args>
std::shared_ptr<T> make_sided(Args&&... args) {
  SidedPtr<T> made = make_sided_unique<T>(std::forward<Args>(args)...);
  return std::shared_ptr<T>(made.release(), SideDelete{}, SideAllocator<T>{});
}

}  // namespace qm::platform
