#include "work/worker_message.hpp"

#include <mutex>

#include "base/clock.hpp"
#include "platform/wait_word.hpp"
#include "platform/time_units.hpp"

namespace qm {

void record_panic(TerrainState& state, std::string message) {
  {
    std::lock_guard<std::mutex> hold(state.message_lock);
    if (!state.message) state.message = std::move(message);
  }
  notify_all(state);
}

std::optional<std::string> worker_message(TerrainState& state) {
  std::lock_guard<std::mutex> hold(state.message_lock);
  return state.message;
}

void notify_all(TerrainState& state) {
  {
    std::lock_guard<std::mutex> hold(state.change_lock);
    state.change_counter += 1;
  }
  state.wake_word.fetch_add(1, std::memory_order_seq_cst);
  platform::wake_word_all(state.wake_word);
}

std::uint64_t change_counter(TerrainState& state) {
  std::lock_guard<std::mutex> hold(state.change_lock);
  return state.change_counter;
}

std::uint64_t wait_for_change(TerrainState& state, std::uint64_t last_seen, std::uint64_t deadline_ns) {
  std::unique_lock<std::mutex> hold(state.change_lock);
  for (;;) {
    if (state.change_counter != last_seen) return state.change_counter;
    const std::uint64_t now = now_ns();
    if (now >= deadline_ns) return state.change_counter;
    // The word is read before the lock is let go: a notify_all after this point bumps it.
    const std::uint32_t word = state.wake_word.load(std::memory_order_seq_cst);
    hold.unlock();
    const std::uint64_t left = deadline_ns - now;
    // Rounded up to whole milliseconds.
    const std::uint64_t wait = millis_rounded_up(left) * kNanosPerMilli;
    platform::wait_word(state.wake_word, word, wait);
    hold.lock();
  }
}

}  // namespace qm
