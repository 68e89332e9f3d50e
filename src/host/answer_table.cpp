#include "host/answer_table.hpp"

#include <cstdint>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "platform/handback.hpp"
#include "platform/wait_word.hpp"
#include "platform/time_units.hpp"

namespace qm::terrain {

AnswerTable::AnswerTable(std::size_t count, std::shared_ptr<platform::Parker> waker)
    : size_(count), slots_(count), seen_(count, 0), pending_(count), waker_(std::move(waker)) {
  check(count > 0, "an answer table needs at least one question");
}

Delivery AnswerTable::try_deliver(std::uint64_t index, std::optional<double> a, std::optional<double> b,
                                  bool seen) {
  std::shared_ptr<platform::Parker> waker;
  bool completed = false;
  {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return Delivery::busy;
    if (index >= slots_.size() || slots_[index].answered) return Delivery::dropped;
    slots_[index] = AnswerSlot{true, a, b};
    seen_[index] = seen ? 1 : 0;
    pending_ -= 1;
    if (pending_ == 0) {
      completed = true;
      wakes_.fetch_add(1, std::memory_order_release);
      waker = waker_;
    }
  }
  if (completed) {
    platform::wake_word_all(wakes_);
    if (waker) waker->unpark();
  }
  return Delivery::stored;
}

AnswerTable::View AnswerTable::view() const {
  std::lock_guard lock(mutex_);
  return View{pending_, slots_, seen_};
}

std::uint64_t AnswerTable::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

std::shared_ptr<AnswerTable> make_answer_table(std::size_t count, std::shared_ptr<platform::Parker> waker) {
  return platform::make_sided<AnswerTable>(count, std::move(waker));
}

std::pair<bool, std::vector<AnswerSlot>> wait_answers(AnswerTable& table, std::uint64_t timeout_ns) {
  std::unique_lock lock(table.mutex_);
  const std::uint64_t start = now_ns();
  for (;;) {
    if (table.pending_ == 0) break;
    const std::uint64_t spent = saturating_sub(now_ns(), start);
    if (spent >= timeout_ns) break;
    const std::uint64_t remaining = timeout_ns - spent;
    // Sleep for the remaining time rounded up to whole milliseconds; a spurious wake-up loops. The
    // word is read under the lock, so a completion after it is read changes it and ends the sleep.
    const std::uint64_t millis = millis_rounded_up(remaining);
    const std::uint32_t seen = table.wakes_.load(std::memory_order_acquire);
    lock.unlock();
    constexpr std::uint64_t longest = UINT64_MAX - kNanosPerMilli;  // "no limit", with room for rounding
    platform::wait_word(table.wakes_, seen, millis > longest / kNanosPerMilli ? longest : millis * kNanosPerMilli);
    lock.lock();
  }
  return {table.pending_ == 0, table.slots_};
}

}  // namespace qm::terrain
