#pragma once
// The sampler thread's loop: each turn it learns the mission phase, keeps the store to the current
// theatre, tidies the schedule, starts sampling new groups while the builder keeps up, then drives
// every group it samples as far as it can without waiting: the host's answers go into the store,
// missing heights are asked through height queue kind 2, the sampling run and the refine pass
// advance, and finished groups are filed for the builder. It parks when a turn finished nothing.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "host/mission_phase.hpp"
#include "platform/park.hpp"
#include "host/height_queue.hpp"
#include "work/sampler_steps.hpp"
#include "work/schedule_pass.hpp"
#include "work/terrain_state.hpp"

namespace qm::work {

// Heights asked of the host for one group and not taken in yet.
struct HeightBatch {
  std::vector<TerrainPoint> points;  // in the order asked
  std::shared_ptr<terrain::AnswerTable> table;
};

// The sampler's own record of a group it samples (never shared).
struct InFlightGroup {
  SchedulePlan plan;                       // frame cells, taken-in cells and the cells' holders
  std::optional<mesh::SamplingRun> run;    // the plan's sampling run, until the group is filed
  bool run_made = false;                   // the run was made from the plan
  std::optional<mesh::FaceWork> work;      // the refine pass, once the run is finished
  bool taken = false;                      // the plan went into the filed group
  std::optional<HeightBatch> batch;
  std::uint64_t started_ns = 0;
  SharedText theatre;
  CancelFlag cancel;
  MissCounts misses;
  std::uint64_t group_id = 0;
  std::uint64_t cells = 0;
  std::uint64_t points = 0;
  std::uint64_t rounds = 0;
};

// One advance of a group as the sampler makes it; tests give their own.
using GroupAdvance = StepOutcome (*)(std::optional<mesh::SamplingRun>& run, std::optional<mesh::FaceWork>& work,
                                     const AnswerMap& answers, mesh::StopCheck stop);

// The sampler thread's own record: only that thread calls it. What it shares it reaches through the
// terrain state, under the schedule lock (src/concurrency.md).
class Sampler {
 public:
  Sampler(TerrainState& state, const PhaseSource& phases, terrain::HeightQueues& queues,
          std::shared_ptr<platform::Parker> self, GroupAdvance advance = &advance_group);

  // One turn; true when the thread should park afterwards (nothing was removed).
  bool turn();
  // Withdraws every batch still queued and drops every record.
  void leave();

  const std::vector<InFlightGroup>& in_flight() const { return in_flight_; }

 private:
  void track_theatre(const MissionPhase& phase);
  void remove_groups_where(bool all, const SharedText& keep);
  void start_groups();
  void account_run_ahead(std::uint64_t t0);
  // What becomes of a record after a step: it waits (for the host, the next is taken), it goes
  // again at once, or it is dropped.
  enum class RecordStep : std::uint8_t { Wait, Again, Drop };
  // The samples the store holds for the wanted points, in their order up to the first missing one,
  // and the missing points; too_large when the group would pass its memory bound.
  struct HeldPoints {
    std::vector<StoredSample> held;
    std::vector<TerrainPoint> missing;
    bool too_large = false;
  };
  // Drives every record as far as it goes without waiting; true when one was dropped.
  bool process(const MissionPhase& phase);
  RecordStep step_record(InFlightGroup& record, const MissionPhase& phase);
  // Makes the record's sampling run; false (the group given back) when it cannot be made.
  bool make_run(InFlightGroup& record);
  HeldPoints look_up(const InFlightGroup& record, const std::vector<TerrainPoint>& wanted);
  RecordStep advance_record(InFlightGroup& record, const AnswerMap& answers);
  void take_answers_in(InFlightGroup& record, const terrain::AnswerTable::View& view);
  void ask(InFlightGroup& record, std::vector<TerrainPoint> missing);
  void give_back(InFlightGroup& record);
  void file(InFlightGroup& record);
  void withdraw(InFlightGroup& record);

  TerrainState& state_;
  const PhaseSource& phases_;
  terrain::HeightQueues& queues_;
  std::shared_ptr<platform::Parker> self_;
  GroupAdvance advance_;
  std::vector<InFlightGroup> in_flight_;
  std::optional<std::uint64_t> run_ahead_since_;
};

// The sampler thread's loop; returns only when the stop flag is set (at entry or after a turn).
void sampler_run(TerrainState& state, const PhaseSource& phases,
                 terrain::HeightQueues& queues = terrain::height_queues());

}  // namespace qm::work
