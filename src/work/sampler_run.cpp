#include "work/sampler_run.hpp"

#include <algorithm>
#include <utility>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "host/terrain_exchange.hpp"
#include "platform/handback.hpp"
#include "work/store_eviction.hpp"
#include "work/worker_message.hpp"

namespace qm::work {

namespace {

std::uint64_t elapsed_since(std::uint64_t t) { return saturating_sub(now_ns(), t); }

struct GroupCounts {
  std::uint64_t sampling = 0;
  std::uint64_t sampled = 0;
};

GroupCounts count_groups(const Schedule& schedule) {
  GroupCounts counts;
  for (const auto& [id, group] : schedule.groups) {
    if (group.state == kGroupSampling) ++counts.sampling;
    if (group.state == kGroupSampled) ++counts.sampled;
  }
  return counts;
}

std::uint64_t run_ahead_limit(const Schedule& schedule) { return schedule.run_ahead_limit.value_or(2); }

}  // namespace

Sampler::Sampler(TerrainState& state, const PhaseSource& phases, terrain::HeightQueues& queues,
                 std::shared_ptr<platform::Parker> self, GroupAdvance advance)
    : state_(state), phases_(phases), queues_(queues), self_(std::move(self)), advance_(advance) {}

void Sampler::withdraw(InFlightGroup& record) {
  if (record.batch) terrain::withdraw_heights(terrain::queue_sampler, record.batch->table, queues_);
}

void Sampler::remove_groups_where(bool all, const SharedText& keep) {
  Schedule& schedule = state_.schedule;
  std::vector<std::uint64_t> ids;
  for (const auto& [id, group] : schedule.groups) {
    if (all || !same_theatre(group.theatre, keep)) ids.push_back(id);
  }
  for (const std::uint64_t id : ids) {
    std::optional<SampledGroup> group = remove_group(schedule, id);
    if (!group) continue;
    group->cancel->store(true);
    ++schedule.counters.cancelled;
  }
}

void Sampler::track_theatre(const MissionPhase& phase) {
  Store& store = state_.schedule.store;
  switch (phase.code) {
    case MissionPhase::none:
      return;
    case MissionPhase::other_server:
      if (store.theatre()) {
        store.hold_theatre(nullptr);
        remove_groups_where(true, nullptr);
      }
      return;
    case MissionPhase::loading:
    case MissionPhase::running:
      if (!phase.theatre) return;
      if (!same_present_theatre(store.theatre(), phase.theatre)) {
        store.hold_theatre(make_text(*phase.theatre));
        remove_groups_where(false, store.theatre());
      }
      return;
  }
}

void Sampler::start_groups() {
  Schedule& schedule = state_.schedule;
  for (;;) {
    const GroupCounts counts = count_groups(schedule);
    if (counts.sampling >= run_ahead_limit(schedule) || counts.sampled > 1) return;
    if (!schedule.store.theatre() || schedule.jobs.empty()) return;
    const std::vector<std::uint64_t> ids = mark_held_back(schedule);
    if (ids.empty()) return;
    std::optional<std::pair<std::uint64_t, SchedulePlan>> chosen = next_plan(schedule, ids);
    if (!chosen) return;
    const auto job = schedule.jobs.find(chosen->first);
    if (job == schedule.jobs.end()) fault("no entry found for key");
    SharedText theatre = job->second.theatre;

    SchedulePlan& plan = chosen->second;
    const std::uint64_t group_id = file_group(schedule, plan);
    const auto group = schedule.groups.find(group_id);
    if (group == schedule.groups.end()) fault("no entry found for key");

    InFlightGroup record;
    record.cells = plan.frame_cells.size();
    record.plan = std::move(plan);
    record.started_ns = now_ns();
    record.theatre = std::move(theatre);
    record.cancel = group->second.cancel;
    record.group_id = group_id;
    in_flight_.push_back(std::move(record));
  }
}

void Sampler::account_run_ahead(std::uint64_t t0) {
  const Schedule& schedule = state_.schedule;
  const bool behind = in_flight_.size() < run_ahead_limit(schedule) && count_groups(schedule).sampled >= 2;
  if (behind && !run_ahead_since_) {
    run_ahead_since_ = t0;
  } else if (!behind && run_ahead_since_) {
    state_.counters.run_ahead_full_ns.fetch_add(saturating_sub(t0, *run_ahead_since_));
    run_ahead_since_.reset();
  }
}

bool Sampler::turn() {
  const std::uint64_t t0 = now_ns();
  const MissionPhase phase = phases_.phase();
  const std::uint64_t t1 = now_ns();
  {
    PoisonGuard lock(state_.schedule_lock);
    Schedule& schedule = state_.schedule;
    track_theatre(phase);

    std::vector<std::uint64_t> expired;
    for (const auto& [id, job] : schedule.jobs) {
      if (job.retry && *job.retry <= t0) expired.push_back(id);
    }
    for (const std::uint64_t id : expired) schedule.jobs.erase(id);
    prune_groups(schedule);

    for (std::size_t i = 0; i < in_flight_.size();) {
      if (in_flight_[i].cancel->load()) {
        withdraw(in_flight_[i]);
        in_flight_.erase(in_flight_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }

    const std::uint64_t t_start = now_ns();
    start_groups();
    state_.counters.start_ns.fetch_add(elapsed_since(t_start));
    account_run_ahead(t0);
    (void)split_store_into_cells(schedule);
  }
  state_.counters.look_ns.fetch_add(elapsed_since(t1));
  state_.counters.looks.fetch_add(1);

  bool asking = false;
  if (phase.code == MissionPhase::running) {
    for (const InFlightGroup& record : in_flight_) asking = asking || same_theatre(record.theatre, phase.theatre);
  }
  sampler_asking().store(asking ? 1 : 0, std::memory_order_relaxed);

  if (in_flight_.empty()) return true;
  return !process(phase);
}

void Sampler::take_answers_in(InFlightGroup& record, const terrain::AnswerTable::View& view) {
  const std::uint64_t t = now_ns();
  std::uint64_t zeroed = 0;
  const auto kept = take_answers(record.batch->points, view, record.misses, zeroed);
  {
    PoisonGuard lock(state_.schedule_lock);
    Store& store = state_.schedule.store;
    for (const auto& [point, answer] : kept) store.put_sample(point, StoredSample{answer.zero, answer.height});
    (void)split_store_into_cells(state_.schedule);
  }
  if (zeroed != 0) state_.counters.zeroed_points.fetch_add(zeroed);
  state_.counters.answers_ns.fetch_add(elapsed_since(t));
  record.batch.reset();
}

void Sampler::ask(InFlightGroup& record, std::vector<TerrainPoint> missing) {
  std::vector<terrain::QuestionItem> items;
  items.reserve(missing.size());
  for (const TerrainPoint& p : missing) {
    items.push_back(terrain::QuestionItem{static_cast<double>(p.first), static_cast<double>(p.second), 1});
  }
  record.points += missing.size();
  state_.counters.points_asked.fetch_add(missing.size());
  auto logged = std::make_shared<AskedPoints>();
  logged->reserve(missing.size());
  for (const TerrainPoint& p : missing) logged->push_back({p.first, p.second});
  state_.asked_log.append(record.theatre, std::move(logged));
  auto table = terrain::ask_heights(terrain::queue_sampler, items, record.theatre, self_, queues_);
  record.batch = HeightBatch{std::move(missing), std::move(table)};
}

void Sampler::give_back(InFlightGroup& record) {
  {
    PoisonGuard lock(state_.schedule_lock);
    // The same cells would be planned again and trip the step the same way (a Wait too: it comes
    // only when the store lacks an answer it was just seen to hold), so they are recorded as
    // failed for the theatre and their jobs stop waiting for them.
    fail_group(state_.schedule, record.group_id);
  }
  notify_all(state_);
}

void Sampler::file(InFlightGroup& record) {
  check(!record.taken, "held");
  record.taken = true;
  const double seconds = ns_to_seconds(elapsed_since(record.started_ns));
  bool filed = false;
  {
    PoisonGuard lock(state_.schedule_lock);
    Schedule& schedule = state_.schedule;
    const auto group = schedule.groups.find(record.group_id);
    if (group != schedule.groups.end()) {
      mesh::BuildRequest request;
      request.holders = std::move(record.plan.snapshot);
      request.sampling = std::move(record.run);
      request.phase = 1;
      request.refined = std::move(record.work);
      request.refine_done = 1;
      request.cells = record.plan.frame_cells;
      request.ring = std::move(record.plan.taken_in);
      group->second.request = std::move(request);
      group->second.state = kGroupSampled;
      PinRecord pin;
      pin.cells = halo_of(record.plan.frame_cells);
      pin_group(schedule, record.group_id, std::move(pin));
      filed = true;
    }
  }
  if (!filed) return;
  {
    std::lock_guard lock(state_.last_sampled_lock);
    state_.last_sampled = TurnRecord{record.cells, record.points, record.rounds, seconds};
  }
  state_.builder.unpark();
}

bool Sampler::make_run(InFlightGroup& record) {
  // Made here rather than with the plan, outside the schedule lock; a frame the lattice cannot
  // hold gives the group back like a step that faults.
  try {
    record.run = plan_run(record.plan.frame_cells);
    record.run_made = true;
    return true;
  } catch (...) {
    (void)caught_message();
    give_back(record);
    return false;
  }
}

Sampler::HeldPoints Sampler::look_up(const InFlightGroup& record, const std::vector<TerrainPoint>& wanted) {
  HeldPoints out;
  out.held.reserve(wanted.size());
  // The group belongs to this thread: its estimate (a walk over its points) is made before the
  // lock is taken.
  const std::uint64_t estimate = group_memory_estimate(record.run, record.work);
  PoisonGuard lock(state_.schedule_lock);
  // A group whose samples would carry it past the memory bound is given up before its heights are
  // asked: the same cells would only grow as large again.
  out.too_large = estimate > state_.schedule.group_memory_limit;
  if (out.too_large) return out;
  const SampleTable& samples = state_.schedule.store.samples();
  for (const TerrainPoint& p : wanted) {
    if (const StoredSample* s = samples.find(p)) {
      if (out.missing.empty()) out.held.push_back(*s);
    } else {
      out.missing.push_back(p);
    }
  }
  return out;
}

Sampler::RecordStep Sampler::advance_record(InFlightGroup& record, const AnswerMap& answers) {
  const std::uint64_t t = now_ns();
  const StepOutcome outcome = advance_(record.run, record.work, answers, mesh::faces_stop_check(*record.cancel));
  state_.counters.advance_ns.fetch_add(elapsed_since(t));
  state_.counters.advances.fetch_add(1);
  switch (outcome) {
    case StepOutcome::Wait:
    case StepOutcome::Fault:
      give_back(record);
      return RecordStep::Drop;
    case StepOutcome::Stopped:
      return RecordStep::Drop;
    case StepOutcome::Ask:
    case StepOutcome::Done:
      ++record.rounds;
      if (group_complete(record.run, record.work)) {
        file(record);
        return RecordStep::Drop;
      }
      break;
  }
  // Otherwise the same record again (a set cancel flag removes it first).
  return RecordStep::Again;
}

Sampler::RecordStep Sampler::step_record(InFlightGroup& record, const MissionPhase& phase) {
  if (record.cancel->load()) {
    withdraw(record);
    return RecordStep::Drop;
  }
  if (!record.run_made && !make_run(record)) return RecordStep::Drop;
  if (record.batch) {
    if (record.batch->table->pending() != 0) return RecordStep::Wait;
    take_answers_in(record, record.batch->table->view());
  }

  // One look at the store per wanted point under the lock; the answers are made after it.
  const std::vector<TerrainPoint>* wanted = wanted_points(record.run, record.work);
  HeldPoints look;
  if (wanted) look = look_up(record, *wanted);
  if (look.too_large) {
    give_back(record);
    return RecordStep::Drop;
  }
  if (!look.missing.empty()) {
    if (phase.code == MissionPhase::running && same_theatre(record.theatre, phase.theatre)) {
      ask(record, std::move(look.missing));
    }
    return RecordStep::Wait;
  }
  AnswerMap answers;
  if (wanted) {
    answers.reserve(look.held.size());
    for (std::size_t k = 0; k < look.held.size(); ++k) {
      if (const std::optional<SampleAnswer> a = answer_of_sample(look.held[k].zero_mark, look.held[k].height))
        answers[(*wanted)[k]] = *a;
    }
  }
  return advance_record(record, answers);
}

bool Sampler::process(const MissionPhase& phase) {
  bool removed = false;
  std::size_t i = 0;
  while (i < in_flight_.size()) {
    switch (step_record(in_flight_[i], phase)) {
      case RecordStep::Wait:
        ++i;
        break;
      case RecordStep::Again:
        break;
      case RecordStep::Drop:
        in_flight_.erase(in_flight_.begin() + static_cast<std::ptrdiff_t>(i));
        removed = true;
        break;
    }
  }
  return removed;
}

void Sampler::leave() {
  sampler_asking().store(0, std::memory_order_relaxed);
  for (InFlightGroup& record : in_flight_) withdraw(record);
  in_flight_.clear();
}

void sampler_run(TerrainState& state, const PhaseSource& phases, terrain::HeightQueues& queues) {
  std::shared_ptr<platform::Parker> self = platform::current_parker();
  Sampler sampler(state, phases, queues, self);
  while (!state.stop.load()) {
    // What the host's thread let go of that the module's threads made is freed here, on this side.
    platform::free_returns();
    if (sampler.turn()) self->park(state.idle_park_ns());
  }
  sampler.leave();
}

}  // namespace qm::work
