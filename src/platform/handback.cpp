#include "platform/handback.hpp"

namespace qm::platform {

namespace {

thread_local bool module_thread = false;

// Written in front of every side block. While the block is in use only `module_side` and `finish`
// matter; once it is handed back, `next` links it into its side's list of returns.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) Header {
  Header* next = nullptr;
  void (*finish)(void*) = nullptr;
  bool module_side = false;
};

Header* header_of(void* block) { return static_cast<Header*>(block) - 1; }

// The two lists of returns, host's and module's: pushed by the other side, emptied by their own.
// A push publishes its block with release (its link and everything the pusher wrote in it), and
// the owner takes the whole list with acquire before it finishes and frees the blocks.
std::atomic<Header*> returns[2] = {nullptr, nullptr};

void finish_and_free(Header* header) noexcept {
  if (header->finish) header->finish(header + 1);
  header->~Header();
  ::operator delete(header);
}

}  // namespace

bool on_module_thread() { return module_thread; }

void mark_module_thread() { module_thread = true; }

void* side_allocate(std::size_t bytes) {
  void* raw = ::operator new(sizeof(Header) + bytes);
  Header* header = ::new (raw) Header();
  header->module_side = module_thread;
  return header + 1;
}

void side_set_finish(void* block, void (*finish)(void*)) noexcept { header_of(block)->finish = finish; }

void side_free(void* block) noexcept {
  if (block == nullptr) return;
  Header* header = header_of(block);
  if (header->module_side == module_thread) {
    finish_and_free(header);
    return;
  }
  std::atomic<Header*>& list = returns[header->module_side ? 1 : 0];
  header->next = list.load(std::memory_order_relaxed);
  while (!list.compare_exchange_weak(header->next, header, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

void free_returns() noexcept {
  std::atomic<Header*>& list = returns[module_thread ? 1 : 0];
  if (list.load(std::memory_order_relaxed) == nullptr) return;
  // Taking the whole list at once leaves nothing for a concurrent pop to get wrong.
  Header* header = list.exchange(nullptr, std::memory_order_acquire);
  while (header != nullptr) {
    Header* next = header->next;
    // A finished record may let go of others: those of this side are freed at once, those of the
    // other side go onto its list.
    finish_and_free(header);
    header = next;
  }
}

bool returns_waiting(bool module_side) noexcept {
  return returns[module_side ? 1 : 0].load(std::memory_order_acquire) != nullptr;
}

}  // namespace qm::platform
