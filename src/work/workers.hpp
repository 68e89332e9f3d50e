#pragma once
// The two terrain worker threads, "quillmarsh-exporter-sampler" and "quillmarsh-exporter-builder":
// started once per process by the first `start`, run for the life of the process (nothing joins
// them; `stop` leaves them running), and report their end through the worker message.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/mission_phase.hpp"
#include "platform/thread.hpp"
#include "work/terrain_state.hpp"

namespace qm::work {

// How a worker thread is started (the platform's spawn_thread; tests pass their own).
using SpawnThread = std::function<Result<void, std::string>(const std::string& name, platform::Priority priority,
                                                             std::function<void()> body)>;

// The two workers.
enum class WorkerRole : std::uint8_t { Sampler, Builder };

// The role's text, as thread names and worker messages use it: "sampler" or "builder".
const char* role_text(WorkerRole role);

// The exit guard of a worker thread: on every way out of the thread body it clears the sampler's
// asking flag (sampler) or the building flag (builder) and, unless the stop flag is set, records
// "the {role} thread ended", or "... stopped on a panic (see health.lastPanic)" while a fault
// unwinds the thread.
class WorkerExit {
 public:
  WorkerExit(std::shared_ptr<TerrainState> state, WorkerRole role);
  ~WorkerExit();
  WorkerExit(const WorkerExit&) = delete;
  WorkerExit& operator=(const WorkerExit&) = delete;

 private:
  std::shared_ptr<TerrainState> state_;
  WorkerRole role_;
  int exceptions_;
};

// The thread bodies; nothing escapes them.
void sampler_thread_main(std::shared_ptr<TerrainState> state, std::shared_ptr<const PhaseSource> phases);
void builder_thread_main(std::shared_ptr<TerrainState> state);

// Starts both workers on the state. A thread that cannot be started is recorded as the worker
// message "could not start the {role} thread: {error}"; the other is still started.
void start_workers(const std::shared_ptr<TerrainState>& state, const SpawnThread& spawn = &platform::spawn_thread);

// The first call of the process makes the terrain work state and starts its workers; later calls
// do nothing.
void start_terrain_work();

}  // namespace qm::work
