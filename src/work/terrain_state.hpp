#pragma once
// The one process-wide record of the terrain work: the schedule lock with the Schedule and its
// Store, the worker message slot, the change signal, the worker thread handles, the last-turn
// records, the terrain counters and the stop and building flags. Made once, on the first `start`,
// and never freed: the worker threads and streams hold it for the life of the process.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/park.hpp"
#include "work/asked_points.hpp"
#include "work/poison_mutex.hpp"
#include "work/schedule.hpp"
#include "work/terrain_status_format.hpp"
#include "platform/time_units.hpp"

namespace qm {

// A handle stored once by its own thread; readers that find it unset skip it. Any thread may read it
// and unpark through it, without a lock.
class ThreadHandleCell {
 public:
  // Stores the handle unless one is stored already.
  void set(std::shared_ptr<platform::Parker> parker) {
    std::call_once(once_, [&] {
      parker_ = std::move(parker);
      ready_.store(true, std::memory_order_release);
    });
  }
  // The stored handle, or null.
  platform::Parker* get() const { return ready_.load(std::memory_order_acquire) ? parker_.get() : nullptr; }
  void unpark() const {
    if (auto* parker = get()) parker->unpark();
  }

 private:
  std::once_flag once_;
  std::shared_ptr<platform::Parker> parker_;
  std::atomic<bool> ready_{false};  // release after `parker_` is stored, acquire before it is read
};


// Statistics for the status, each read on its own: nothing is published through them, so their
// (default) ordering is more than they need.
struct TerrainCounters {
  std::atomic<std::uint64_t> zeroed_points{0};
  std::atomic<std::uint64_t> points_asked{0};
  std::atomic<std::uint64_t> builds_stopped{0};
  std::atomic<std::uint64_t> run_ahead_full_ns{0};
  std::atomic<std::uint64_t> look_ns{0};
  std::atomic<std::uint64_t> start_ns{0};
  std::atomic<std::uint64_t> advance_ns{0};
  std::atomic<std::uint64_t> answers_ns{0};
  std::atomic<std::uint64_t> looks{0};
  std::atomic<std::uint64_t> advances{0};
};

// Threads: the sampler and the builder, mesh streams on connection threads, and the host's `status`.
// Each field says its lock. Under the schedule lock a thread may take the registry lock, the
// turn-record locks (last sampled before last built), the message lock or a height-queue lock; the
// change lock and the asked-points log's lock are taken under no other. The host's thread only tries
// the locks; module threads wait for them. The order of every lock: src/concurrency.md.
struct TerrainState {
  PoisonMutex schedule_lock;
  Schedule schedule;  // guarded by schedule_lock

  std::mutex message_lock;
  std::optional<std::string> message;  // the first worker message; guarded by message_lock

  ThreadHandleCell sampler;
  ThreadHandleCell builder;

  std::mutex change_lock;
  std::uint64_t change_counter = 0;  // guarded by change_lock

  AskedPointsLog asked_log;  // the batches the sampler asked for, behind its own lock

  std::mutex last_sampled_lock;
  std::optional<work::TurnRecord> last_sampled;
  std::mutex last_built_lock;
  std::optional<work::TurnRecord> last_built;

  std::uint64_t idle_park_us = 100000;  // the workers' park when idle
  TerrainCounters counters;
  // Bumped after the change counter, outside the change lock; waiters read it under that lock, which
  // already orders the read before the bump (the seq_cst of `notify_all` is more than needed).
  std::atomic<std::uint32_t> wake_word{0};
  // Flags read on their own (the loops, the status); nothing is published through them.
  std::atomic<bool> stop{false};  // nothing sets it; the loops still honour it
  std::atomic<std::uint8_t> building{0};

  std::uint64_t idle_park_ns() const {
    return (idle_park_us / kMicrosPerSecond) * kNanosPerSecond + (idle_park_us % kMicrosPerSecond) * kNanosPerMicro;
  }
};

using TerrainStateRef = std::shared_ptr<TerrainState>;

// Makes the process-wide record once (later calls return the same one).
TerrainStateRef init_terrain_state();

// The process-wide record, or null before the first `start`.
TerrainStateRef terrain_state();

// Unparks the sampler, then the builder, each when its handle is stored.
void unpark_workers(const TerrainState& state);

}  // namespace qm
