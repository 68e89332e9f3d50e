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

const char* role_text(WorkerRole role) {
  switch (role) {
    case WorkerRole::Sampler:
      return "sampler";
    case WorkerRole::Builder:
      return "builder";
  }
  return "worker";
}

namespace {

std::string thread_name(WorkerRole role) { return std::string("quillmarsh-exporter-") + role_text(role); }

}  // namespace

WorkerExit::WorkerExit(std::shared_ptr<TerrainState> state, WorkerRole role)
    : state_(std::move(state)), role_(role), exceptions_(std::uncaught_exceptions()) {}

WorkerExit::~WorkerExit() {
  if (role_ == WorkerRole::Sampler) {
    sampler_asking().store(0, std::memory_order_relaxed);
  } else {
    state_->building.store(0);
  }
  if (state_->stop.load()) return;
  const bool unwinding = std::uncaught_exceptions() > exceptions_;
  try {
    record_panic(*state_, std::string("the ") + role_text(role_) + " thread " +
                              (unwinding ? "stopped on a panic (see health.lastPanic)" : "ended"));
  } catch (...) {
    // Out of memory while reporting: the thread still ends quietly.
  }
}

void sampler_thread_main(std::shared_ptr<TerrainState> state, std::shared_ptr<const PhaseSource> phases) {
  try {
    WorkerExit exit(state, WorkerRole::Sampler);
    state->sampler.set(platform::current_parker());
    sampler_run(*state, *phases);
  } catch (...) {
    (void)caught_message();
  }
}

void builder_thread_main(std::shared_ptr<TerrainState> state) {
  try {
    WorkerExit exit(state, WorkerRole::Builder);
    state->builder.set(platform::current_parker());
    builder_run(*state);
  } catch (...) {
    (void)caught_message();
  }
}

void start_workers(const std::shared_ptr<TerrainState>& state, const SpawnThread& spawn) {
  auto phases = std::make_shared<const PhaseSource>();
  const auto start = [&](WorkerRole role, std::function<void()> body) {
    if (auto started = spawn(thread_name(role), platform::Priority::below_normal_computing, std::move(body)); !started)
      record_panic(*state, std::string("could not start the ") + role_text(role) + " thread: " + started.error());
  };
  start(WorkerRole::Sampler, [state, phases] { sampler_thread_main(state, phases); });
  start(WorkerRole::Builder, [state] { builder_thread_main(state); });
}

void start_terrain_work() {
  static std::once_flag once;
  std::call_once(once, [] { start_workers(init_terrain_state()); });
}

}  // namespace qm::work
