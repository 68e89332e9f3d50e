#include "work/workers.hpp"

#include <exception>
#include <mutex>
#include <utility>

#include "base/fault.hpp"
#include "host/terrain_exchange.hpp"
#include "work/builder_run.hpp"
#include "work/sampler_run.hpp"
#include "work/worker_message.hpp"

namespace qm::work {

namespace {
constexpr const char* kSampler = "sampler";
constexpr const char* kBuilder = "builder";

std::string thread_name(const char* role) { return std::string("quillmarsh-exporter-") + role; }
}  // namespace

WorkerExit::WorkerExit(std::shared_ptr<TerrainState> state, const char* role)
    : state_(std::move(state)), role_(role), exceptions_(std::uncaught_exceptions()) {}

WorkerExit::~WorkerExit() {
  if (std::string_view(role_) == kSampler) {
    sampler_asking().store(0, std::memory_order_relaxed);
  } else {
    state_->building.store(0);
  }
  if (state_->stop.load()) return;
  const bool unwinding = std::uncaught_exceptions() > exceptions_;
  try {
    record_panic(*state_, std::string("the ") + role_ + " thread " +
                              (unwinding ? "stopped on a panic (see health.lastPanic)" : "ended"));
  } catch (...) {
    // Out of memory while reporting: the thread still ends quietly.
  }
}

void sampler_thread_main(std::shared_ptr<TerrainState> state, std::shared_ptr<const PhaseSource> phases) {
  try {
    WorkerExit exit(state, kSampler);
    state->sampler.set(platform::current_parker());
    sampler_run(*state, *phases);
  } catch (...) {
    (void)caught_message();
  }
}

void builder_thread_main(std::shared_ptr<TerrainState> state) {
  try {
    WorkerExit exit(state, kBuilder);
    state->builder.set(platform::current_parker());
    builder_run(*state);
  } catch (...) {
    (void)caught_message();
  }
}

void start_workers(const std::shared_ptr<TerrainState>& state, const SpawnThread& spawn) {
  auto phases = std::make_shared<const PhaseSource>();
  if (auto started = spawn(thread_name(kSampler), platform::Priority::below_normal_computing,
                           [state, phases] { sampler_thread_main(state, phases); });
      !started) {
    record_panic(*state, std::string("could not start the ") + kSampler + " thread: " + started.error());
  }
  if (auto started =
          spawn(thread_name(kBuilder), platform::Priority::below_normal_computing, [state] { builder_thread_main(state); });
      !started) {
    record_panic(*state, std::string("could not start the ") + kBuilder + " thread: " + started.error());
  }
}

void start_terrain_work() {
  static std::once_flag once;
  std::call_once(once, [] { start_workers(init_terrain_state()); });
}

}  // namespace qm::work
