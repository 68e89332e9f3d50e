#pragma once
// The answers of one batch of questions put to the host. The asker keeps the table; every queued
// or taken question holds it too. Answers are written only by `frame_end` of the thread that took the
// question, under the table's lock, which `frame_end` only ever tries. Waiters sleep on a wait word,
// which `frame_end` bumps and wakes without taking any lock (a condition variable's broadcast takes
// one that its waiters hold too).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/park.hpp"

namespace qm::terrain {

// One slot: pending until answered; an answered slot carries the host's two values, each present
// only when the host passed a finite number.
struct AnswerSlot {
  bool answered = false;
  std::optional<double> a;
  std::optional<double> b;

  friend bool operator==(const AnswerSlot&, const AnswerSlot&) = default;
};

// What a delivery attempt did.
enum class Delivery {
  busy,      // the table's lock is held elsewhere: keep the answer for the next frame_end
  stored,    // the slot was pending and took the answer
  dropped,   // the slot was answered before (the first delivery wins) or lies outside the table
};

// Threads: the asker (a connection thread or the sampler) makes it and waits for its lock to look;
// `frame_end` on the host's thread only tries the lock to deliver. Waking takes no lock. The order of
// the locks and how the waits work: src/concurrency.md.
class AnswerTable {
 public:
  // A table of `count` pending slots (at least 1); `waker` is unparked when the last one is filled.
  // Askers make theirs with `make_answer_table`, which frees it on their side.
  AnswerTable(std::size_t count, std::shared_ptr<platform::Parker> waker);

  AnswerTable(const AnswerTable&) = delete;
  AnswerTable& operator=(const AnswerTable&) = delete;

  std::size_t size() const { return size_; }

  // Writes slot `index` when it is still pending, without waiting for the lock. When the last
  // pending slot is filled, every waiter is woken and the waker unparked (after the lock is released).
  Delivery try_deliver(std::uint64_t index, std::optional<double> a, std::optional<double> b, bool seen);

  // Copies under the lock (waiting for it): what an asker looks at on its own schedule.
  struct View {
    std::uint64_t pending = 0;
    std::vector<AnswerSlot> slots;
    std::vector<std::uint8_t> seen;  // 1: the host was handed the question; 0: refused or pending
  };
  View view() const;
  std::uint64_t pending() const;

 private:
  friend struct TestAccess;
  friend std::pair<bool, std::vector<AnswerSlot>> wait_answers(AnswerTable& table, std::uint64_t timeout_ns);

  const std::size_t size_;
  mutable std::mutex mutex_;
  std::vector<AnswerSlot> slots_;
  std::vector<std::uint8_t> seen_;
  std::uint64_t pending_;
  // Raised (under the lock) when the last slot is filled. The slots are ordered by the lock; the
  // word only wakes, and waiters read it under the lock before they wait.
  std::atomic<std::uint32_t> wakes_{0};
  std::shared_ptr<platform::Parker> waker_;
};

// A table made on the calling thread's side and freed there, whichever thread lets it go last (the
// host's thread lets go of the tables of questions it took once it delivered their answers).
std::shared_ptr<AnswerTable> make_answer_table(std::size_t count, std::shared_ptr<platform::Parker> waker);

// Waits until every slot is answered or `timeout_ns` has passed since the call began; returns
// whether all were answered and a copy of the slots, both taken under the table's lock.
std::pair<bool, std::vector<AnswerSlot>> wait_answers(AnswerTable& table, std::uint64_t timeout_ns);

}  // namespace qm::terrain
