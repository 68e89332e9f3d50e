// The sampler thread's turns with the real schedule, store and height queues, a fake host that
// answers height queue kind 2 from an analytic terrain, and the builder with a stand-in build; and
// both worker loops on their own threads until a stop ends them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "base/fault.hpp"
#include "host/terrain_exchange.hpp"
#include "work/builder_run.hpp"
#include "work/sampler_run.hpp"
#include "work/worker_message.hpp"
#include "terrain_fixture.hpp"
#include "work_host.hpp"
#include "work/store_testing.hpp"

namespace qm::work {
namespace {

using namespace std::chrono_literals;

using test_host::answer_queue;
using test_host::TestPhases;
using test_host::text;

mesh::MeshPiece flat_piece(const mesh::BuildRequest& request, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
  mesh::MeshPiece piece;
  piece.kind = mesh::MeshPiece::Kind::Built;
  piece.holders = request.holders;
  mesh::CellMesh mesh;
  mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  mesh.triangles = {{0, 1, 2}};
  mesh.cells = request.cells;
  piece.mesh = std::move(mesh);
  // What the sampler filed is whole: the run is done and its refine pass too.
  EXPECT_EQ(request.phase, 1);
  EXPECT_EQ(request.refine_done, 1);
  EXPECT_TRUE(request.sampling.has_value() && request.sampling->finished);
  EXPECT_TRUE(request.refined.has_value() && request.refined->done);
  return piece;
}

struct SamplerFixture {
  std::shared_ptr<TerrainState> state = std::make_shared<TerrainState>();
  TestPhases phases;
  terrain::HeightQueues queues;
  Sampler sampler;

  explicit SamplerFixture(GroupAdvance advance = &advance_group)
      : sampler(*state, phases, queues, std::make_shared<platform::Parker>(), advance) {}

  void add_job(std::uint64_t id, const std::set<Cell>& cells, const char* theatre = "Plains") {
    PoisonGuard lock(state->schedule_lock);
    Job job;
    job.theatre = text(theatre);
    for (const Cell& c : cells) {
      job.wanted.insert(c);
      job.squares.insert(c);
      job.requested.insert(c);
    }
    job.square_count = job.squares.square_count();
    state->schedule.jobs[id] = std::move(job);
  }
  std::uint64_t groups_in(std::uint8_t s) {
    PoisonGuard lock(state->schedule_lock);
    std::uint64_t n = 0;
    for (const auto& [id, g] : state->schedule.groups) n += g.state == s ? 1 : 0;
    return n;
  }
  // Turns with the host answering from the terrain (and, when given, the builder building), until
  // the predicate holds or a generous number of turns has passed.
  template <class Until>
  void run(const mesh::fixture::Terrain& terrain, Until until, PieceBuild build = nullptr) {
    for (int turn = 0; turn < 400 && !until(); ++turn) {
      sampler.turn();
      answer_queue(queues, terrain);
      if (build) builder_step(*state, build);
    }
  }
  // Whether a pin of a group is left in the store.
  bool group_pins_left() {
    PoisonGuard lock(state->schedule_lock);
    const auto& pins = state->schedule.store.pins();
    return pins.lower_bound(group_pin_id(0)) != pins.end();
  }
};

TEST(WorkSampler, AFiledJobIsSampledRefinedBuiltAndCommitted) {
  SamplerFixture f;
  const std::set<Cell> cells = mesh::fixture::rect_cells(0, 0, 2, 2);
  f.add_job(1, cells);
  const mesh::fixture::Terrain terrain = mesh::fixture::pyramid();

  bool parked_without_work = false;
  for (int turn = 0; turn < 200 && f.groups_in(kGroupSampled) == 0; ++turn) {
    const bool park = f.sampler.turn();
    const std::uint64_t answered = answer_queue(f.queues, terrain);
    if (park && answered == 0 && f.groups_in(kGroupSampled) == 0) parked_without_work = true;
  }
  EXPECT_FALSE(parked_without_work);
  ASSERT_EQ(f.groups_in(kGroupSampled), 1u);
  EXPECT_TRUE(f.sampler.in_flight().empty());
  EXPECT_EQ(sampler_asking().load(), 1);  // the last turn still had the group in flight
  EXPECT_GT(f.state->counters.points_asked.load(), 0u);
  EXPECT_GT(f.state->counters.advances.load(), 0u);
  EXPECT_EQ(f.state->schedule.counters.started, 1u);
  {
    std::lock_guard lock(f.state->last_sampled_lock);
    ASSERT_TRUE(f.state->last_sampled.has_value());
    EXPECT_EQ(f.state->last_sampled->cells, cells.size());
    EXPECT_GT(f.state->last_sampled->points, 0u);
    EXPECT_GT(f.state->last_sampled->rounds, 1u);
  }
  // Every asked point is in the store, none was asked twice.
  EXPECT_EQ(f.state->schedule.store.sample_count(), f.state->counters.points_asked.load());
  // The filed group keeps its halo from eviction until it is built.
  EXPECT_EQ(f.state->schedule.store.pins().begin()->second.cells.size(), 16u);

  EXPECT_EQ(builder_step(*f.state, &flat_piece), BuilderStep::Built);
  EXPECT_EQ(f.state->schedule.counters.built, 1u);
  EXPECT_TRUE(f.state->schedule.jobs.at(1).wanted.empty());
  EXPECT_EQ(f.state->schedule.jobs.at(1).pins.size(), 1u);
  for (const Cell& c : cells) EXPECT_TRUE(f.state->schedule.store.cell_map().contains(c));
  EXPECT_TRUE(f.state->schedule.store.pins().empty());

  // Nothing is left to do: the next turn starts nothing and parks.
  EXPECT_TRUE(f.sampler.turn());
  EXPECT_EQ(f.state->schedule.counters.started, 1u);
  EXPECT_EQ(sampler_asking().load(), 0);
}

TEST(WorkSampler, NoQuestionWhileTheMissionIsNotRunningThere) {
  SamplerFixture f;
  f.add_job(1, {{0, 0}});
  f.phases.set(MissionPhase::loading, "Plains");
  f.sampler.turn();
  EXPECT_EQ(f.sampler.in_flight().size(), 1u);
  EXPECT_EQ(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  EXPECT_EQ(sampler_asking().load(), 0);
  f.phases.set(MissionPhase::running, "Plains");
  f.sampler.turn();
  EXPECT_GT(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  EXPECT_EQ(sampler_asking().load(), 1);
  // The streams can see what was asked.
  const AskedBatches asked = f.state->asked_log.since(0, "Plains");
  ASSERT_EQ(asked.batches.size(), 1u);
  EXPECT_EQ(asked.batches[0]->size(), terrain::queued_count(terrain::queue_sampler, f.queues));
  EXPECT_TRUE(f.state->asked_log.since(0, "Desert").batches.empty());
}

TEST(WorkSampler, ATheatreChangeEmptiesTheStoreAndWithdrawsItsGroups) {
  SamplerFixture f;
  f.add_job(1, mesh::fixture::rect_cells(0, 0, 2, 1));
  f.add_job(2, mesh::fixture::rect_cells(40, 40, 1, 1));
  f.sampler.turn();
  ASSERT_EQ(f.sampler.in_flight().size(), 2u);
  EXPECT_GT(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  const CancelFlag cancel = f.sampler.in_flight().front().cancel;
  {
    PoisonGuard lock(f.state->schedule_lock);
    f.state->schedule.store.put_sample({1, 1}, StoredSample{0, 5.0});
  }

  f.phases.set(MissionPhase::running, "Desert");
  f.sampler.turn();
  EXPECT_TRUE(cancel->load());
  EXPECT_TRUE(f.sampler.in_flight().empty());
  EXPECT_EQ(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  PoisonGuard lock(f.state->schedule_lock);
  const Schedule& schedule = f.state->schedule;
  EXPECT_EQ(*schedule.store.theatre(), "Desert");
  EXPECT_EQ(schedule.store.sample_count(), 0u);
  EXPECT_TRUE(schedule.groups.empty());
  EXPECT_EQ(schedule.counters.cancelled, 2u);
  // Jobs of the other theatre stay filed but are not started.
  EXPECT_EQ(schedule.jobs.size(), 2u);
  EXPECT_EQ(schedule.counters.started, 2u);
}

TEST(WorkSampler, PhaseOneDropsTheTheatreAndPhaseZeroKeepsIt) {
  SamplerFixture f;
  f.add_job(1, {{0, 0}});
  f.sampler.turn();
  f.phases.set(MissionPhase::none, nullptr);
  f.sampler.turn();
  {
    PoisonGuard lock(f.state->schedule_lock);
    EXPECT_TRUE(f.state->schedule.store.theatre());
    EXPECT_EQ(f.state->schedule.groups.size(), 1u);
  }
  f.phases.set(MissionPhase::other_server, nullptr);
  f.sampler.turn();
  PoisonGuard lock(f.state->schedule_lock);
  EXPECT_FALSE(f.state->schedule.store.theatre());
  EXPECT_TRUE(f.state->schedule.groups.empty());
}

TEST(WorkSampler, AnExpiredJobGoesBeforeAnyGroupStarts) {
  SamplerFixture f;
  f.add_job(1, {{0, 0}});
  {
    PoisonGuard lock(f.state->schedule_lock);
    f.state->schedule.jobs.at(1).retry = now_ns();
  }
  f.sampler.turn();
  EXPECT_TRUE(f.sampler.in_flight().empty());
  PoisonGuard lock(f.state->schedule_lock);
  EXPECT_TRUE(f.state->schedule.jobs.empty());
  EXPECT_EQ(f.state->schedule.counters.started, 0u);
}

TEST(WorkSampler, TheRunAheadLimitsHowManyGroupsStart) {
  SamplerFixture f;
  for (std::uint64_t id = 1; id <= 4; ++id) f.add_job(id, {{static_cast<std::int32_t>(20 * id), 0}});
  f.sampler.turn();
  EXPECT_EQ(f.sampler.in_flight().size(), 2u);
  EXPECT_EQ(f.groups_in(kGroupSampling), 2u);

  // Two groups wait for the builder: nothing starts, and the run-ahead-full time grows.
  SamplerFixture g;
  for (std::uint64_t id = 1; id <= 4; ++id) g.add_job(id, {{static_cast<std::int32_t>(20 * id), 0}});
  {
    PoisonGuard lock(g.state->schedule_lock);
    for (std::uint64_t id : {100u, 101u}) {
      SampledGroup group;
      group.theatre = text("Plains");
      group.set_cells({{static_cast<std::int32_t>(20 * (id - 99)), 0}});
      group.frame_cells = group.cells();
      group.state = kGroupSampled;
      g.state->schedule.groups[id] = std::move(group);
    }
  }
  g.sampler.turn();
  EXPECT_TRUE(g.sampler.in_flight().empty());
  std::this_thread::sleep_for(5ms);
  {
    PoisonGuard lock(g.state->schedule_lock);
    g.state->schedule.groups.clear();
  }
  g.sampler.turn();
  EXPECT_GE(g.state->counters.run_ahead_full_ns.load(), 5000000u);
  EXPECT_EQ(g.sampler.in_flight().size(), 2u);
}

TEST(WorkSampler, APrunedGroupIsDroppedWithItsQuestions) {
  SamplerFixture f;
  f.add_job(1, {{0, 0}});
  f.sampler.turn();
  ASSERT_EQ(f.sampler.in_flight().size(), 1u);
  {
    PoisonGuard lock(f.state->schedule_lock);
    drop_job(f.state->schedule, 1);
  }
  EXPECT_GT(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  f.sampler.turn();
  EXPECT_TRUE(f.sampler.in_flight().empty());
  EXPECT_EQ(terrain::queued_count(terrain::queue_sampler, f.queues), 0u);
  // The group's pin went with it.
  PoisonGuard lock(f.state->schedule_lock);
  EXPECT_TRUE(f.state->schedule.store.pins().empty());
}

TEST(WorkSampler, PointsWithoutAHeightAreAskedAgainAndZeroedAtTheThirdMiss) {
  SamplerFixture f;
  f.add_job(1, {{0, 0}});
  const mesh::fixture::Terrain sea = mesh::fixture::sea();
  f.sampler.turn();
  const std::uint64_t first = answer_queue(f.queues, sea);
  ASSERT_GT(first, 0u);
  f.sampler.turn();
  EXPECT_EQ(answer_queue(f.queues, sea), first);
  f.sampler.turn();
  EXPECT_EQ(answer_queue(f.queues, sea), first);
  EXPECT_EQ(f.state->counters.zeroed_points.load(), 0u);
  f.sampler.turn();
  EXPECT_EQ(f.state->counters.zeroed_points.load(), first);
}

// A step that trips on the group holding cell (0, 0) each time it is sampled, the way a terrain that
// breaks an invariant of the sampling or refine code would; other groups advance as usual.
StepOutcome g_trouble = StepOutcome::Fault;
StepOutcome troubled_at_origin(std::optional<mesh::SamplingRun>& run, std::optional<mesh::FaceWork>& work,
                               const AnswerMap& answers, mesh::StopCheck stop) {
  if (run && run->cover.contains(0, 0)) return g_trouble;
  return advance_group(run, work, answers, stop);
}

// A job over two squares' cells, one group each, sampled and built over the terrain until the job
// wants nothing more: the group at the origin is failed once, its four cells recorded for the
// theatre and its square counted as failed, and the other group is built.
void expect_the_origin_group_failed(SamplerFixture& f, const mesh::fixture::Terrain& terrain) {
  std::set<Cell> cells = mesh::fixture::rect_cells(0, 0, 2, 2);
  cells.merge(mesh::fixture::rect_cells(100, 100, 2, 2));  // another square, another group
  f.add_job(1, cells);
  const Job& job = f.state->schedule.jobs.at(1);
  f.run(terrain, [&] {
    PoisonGuard lock(f.state->schedule_lock);
    return job.wanted.empty();
  }, &flat_piece);

  PoisonGuard lock(f.state->schedule_lock);
  const Schedule& schedule = f.state->schedule;
  EXPECT_EQ(schedule.counters.started, 2u);
  EXPECT_EQ(schedule.counters.failed, 1u);
  EXPECT_EQ(schedule.counters.built, 1u);
  EXPECT_TRUE(job.wanted.empty());
  EXPECT_EQ(job.squares_done(), job.square_count);  // what the stream reads to complete
  EXPECT_EQ(job.failed_squares, (std::set<Square>{{0, 0}}));  // what it reports as "failed"
  const SquareMask& failed = schedule.failed_cells.at("Plains");
  EXPECT_EQ(failed.cell_count(), 4u);
  for (const Cell& c : mesh::fixture::rect_cells(0, 0, 2, 2)) EXPECT_TRUE(failed.contains(c));
  EXPECT_TRUE(schedule.groups.empty());
  EXPECT_TRUE(f.sampler.in_flight().empty());
}

// A group given back on a Fault or a Wait is failed: its cells are recorded for the theatre and
// its job stops waiting for them, so the job completes with the failure counted instead of the
// same cells being planned, sampled and given back again and again.
TEST(WorkSampler, AGroupGivenBackIsFailedOnceAndItsJobCompletes) {
  for (const StepOutcome trouble : {StepOutcome::Fault, StepOutcome::Wait}) {
    SCOPED_TRACE(trouble == StepOutcome::Fault ? "fault" : "wait");
    g_trouble = trouble;
    SamplerFixture f(&troubled_at_origin);
    expect_the_origin_group_failed(f, mesh::fixture::pyramid());
    // Nothing is left to start: the sampler parks.
    EXPECT_TRUE(f.sampler.turn());
    EXPECT_EQ(f.state->schedule.counters.started, 2u);
  }
}

// A frame the sampling lattice cannot hold (past 2^24 cells from the origin) is given back like a
// step that faults: the turn goes on, the group is failed and the job completes.
TEST(WorkSampler, AFrameTheLatticeCannotHoldIsFailedWithoutStoppingTheTurn) {
  SamplerFixture f;
  const std::int32_t far = (1 << 24) + 64;
  f.add_job(1, mesh::fixture::rect_cells(far, 0, 2, 2));
  EXPECT_NO_THROW(f.sampler.turn());
  PoisonGuard lock(f.state->schedule_lock);
  const Schedule& schedule = f.state->schedule;
  EXPECT_EQ(schedule.counters.started, 1u);
  EXPECT_EQ(schedule.counters.failed, 1u);
  EXPECT_TRUE(schedule.jobs.at(1).wanted.empty());
  EXPECT_TRUE(schedule.groups.empty());
  EXPECT_TRUE(f.sampler.in_flight().empty());
}

// A group whose samples would carry its estimated memory past the schedule's bound is failed
// before its heights are asked: rough terrain at the origin, a plane far from it, and a bound
// that the plane's group stays well under.
TEST(WorkSampler, AGroupOverTheMemoryBoundIsFailedAndItsJobCompletes) {
  SamplerFixture f;
  // Every sample carries the estimate by more than a KiB (its point, and the piece build's face
  // build and face pieces over it): a bound of 2000 KiB admits fewer than 2000 samples.
  constexpr std::uint64_t kBoundSamples = 2000;
  f.state->schedule.group_memory_limit = kBoundSamples * 1024;
  const mesh::fixture::Terrain noise = mesh::fixture::white_noise();
  const mesh::fixture::Terrain plane = mesh::fixture::tilted_plane();
  const mesh::fixture::Terrain terrain{"noise at the origin", [&](double x, double y) {
                                         return x < 1000.0 ? noise.height(x, y) : plane.height(x, y);
                                       }};
  expect_the_origin_group_failed(f, terrain);
  // The host was never asked for the samples past the bound.
  EXPECT_LE(f.state->counters.points_asked.load(), kBoundSamples + 200);
}

// While the host keeps its answers back, or the mission does not run, a group only waits: nothing
// is given back or failed, and it goes on once the answers come.
TEST(WorkSampler, AGroupWaitsForWithheldAnswersWithoutFailing) {
  SamplerFixture f;
  f.add_job(1, mesh::fixture::rect_cells(0, 0, 2, 2));
  const mesh::fixture::Terrain terrain = mesh::fixture::pyramid();
  for (int turn = 0; turn < 20; ++turn) f.sampler.turn();
  const std::uint64_t asked = terrain::queued_count(terrain::queue_sampler, f.queues);
  EXPECT_GT(asked, 0u);
  EXPECT_EQ(f.state->counters.points_asked.load(), asked);  // asked once, not again
  answer_queue(f.queues, terrain);
  f.phases.set(MissionPhase::loading, "Plains");
  for (int turn = 0; turn < 20; ++turn) f.sampler.turn();
  EXPECT_EQ(f.sampler.in_flight().size(), 1u);
  EXPECT_EQ(f.state->schedule.counters.failed, 0u);
  EXPECT_EQ(f.state->schedule.counters.started, 1u);

  f.phases.set(MissionPhase::running, "Plains");
  f.run(terrain, [&] { return f.groups_in(kGroupSampled) == 1; });
  EXPECT_EQ(f.groups_in(kGroupSampled), 1u);
  EXPECT_EQ(f.state->schedule.counters.failed, 0u);
  EXPECT_EQ(f.state->schedule.counters.started, 1u);
}

mesh::MeshPiece faulting_piece(const mesh::BuildRequest&, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
  fault("a ring cell is held");
}
mesh::MeshPiece stopped_piece(const mesh::BuildRequest&, const mesh::BuildSnapshot&, const mesh::StopCheck&) {
  return mesh::MeshPiece::stopped();
}
StepOutcome faulting_step(std::optional<mesh::SamplingRun>&, std::optional<mesh::FaceWork>&, const AnswerMap&,
                          mesh::StopCheck) {
  return StepOutcome::Fault;
}

// Whichever road takes a group out of the schedule, its pin goes with it at once: a pin left
// behind would keep cells from eviction for a group that no longer exists.
TEST(WorkSampler, NoGroupPinOutlivesItsGroup) {
  const mesh::fixture::Terrain terrain = mesh::fixture::pyramid();
  struct Road {
    const char* name;
    GroupAdvance advance;
    bool sampled;  // the road starts from a group the builder can take
    std::function<void(SamplerFixture&)> take;
  };
  const std::vector<Road> roads = {
      {"pruned", &advance_group, false,
       [](SamplerFixture& f) {
         PoisonGuard lock(f.state->schedule_lock);
         drop_job(f.state->schedule, 1);  // as a replacing request of the page does
       }},
      {"given back", &faulting_step, false,
       [&](SamplerFixture& f) { f.run(terrain, [&] { return f.groups_in(kGroupSampling) == 0; }); }},
      {"theatre change", &advance_group, false,
       [](SamplerFixture& f) {
         f.phases.set(MissionPhase::running, "Desert");
         f.sampler.turn();
       }},
      {"built", &advance_group, true, [](SamplerFixture& f) { builder_step(*f.state, &flat_piece); }},
      {"failed build", &advance_group, true, [](SamplerFixture& f) { builder_step(*f.state, &faulting_piece); }},
      {"stopped build", &advance_group, true, [](SamplerFixture& f) { builder_step(*f.state, &stopped_piece); }},
      {"conflict", &advance_group, true,
       [](SamplerFixture& f) {
         {
           PoisonGuard lock(f.state->schedule_lock);
           store_parts(f.state->schedule.store).cell_map.set({0, 0}, 99);  // another piece covers the cell meanwhile
         }
         builder_step(*f.state, &flat_piece);
         EXPECT_EQ(f.state->schedule.counters.conflicts, 1u);
       }},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    SamplerFixture f(road.advance);
    f.add_job(1, {{0, 0}});
    f.sampler.turn();
    if (road.sampled) f.run(terrain, [&] { return f.groups_in(kGroupSampled) == 1; });
    ASSERT_TRUE(f.group_pins_left());
    road.take(f);
    PoisonGuard lock(f.state->schedule_lock);
    EXPECT_TRUE(f.state->schedule.groups.empty());
    lock.unlock();
    EXPECT_FALSE(f.group_pins_left());
  }
}

// Both loops on their own threads, the host on a third, until the job's piece is committed; then
// a stop ends both loops.
TEST(WorkSampler, BothWorkersRunUntilAStopEndsThem) {
  auto state = std::make_shared<TerrainState>();
  state->idle_park_us = 2000;
  TestPhases phases;
  terrain::HeightQueues queues;
  {
    PoisonGuard lock(state->schedule_lock);
    Job job;
    job.theatre = text("Plains");
    for (const Cell& c : mesh::fixture::rect_cells(-2, -2, 4, 3)) {
      job.wanted.insert(c);
      job.squares.insert(c);
      job.requested.insert(c);
    }
    state->schedule.jobs[1] = std::move(job);
  }

  std::atomic<bool> sampler_ended{false}, builder_ended{false}, host_stop{false};
  std::thread sampler([&] {
    state->sampler.set(platform::current_parker());
    sampler_run(*state, phases, queues);
    sampler_ended = true;
  });
  std::thread builder([&] {
    state->builder.set(platform::current_parker());
    builder_run(*state, &flat_piece);
    builder_ended = true;
  });
  std::thread host([&] {
    const mesh::fixture::Terrain terrain = mesh::fixture::ridge();
    while (!host_stop) {
      answer_queue(queues, terrain);
      std::this_thread::sleep_for(1ms);
    }
  });

  const auto deadline = std::chrono::steady_clock::now() + 120s;
  bool done = false;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
    PoisonGuard lock(state->schedule_lock);
    done = state->schedule.jobs.at(1).wanted.empty();
  }
  EXPECT_TRUE(done);

  state->stop = true;
  unpark_workers(*state);
  sampler.join();
  builder.join();
  host_stop = true;
  host.join();
  EXPECT_TRUE(sampler_ended);
  EXPECT_TRUE(builder_ended);
  EXPECT_EQ(sampler_asking().load(), 0);
  PoisonGuard lock(state->schedule_lock);
  EXPECT_GE(state->schedule.counters.built, 1u);
  EXPECT_FALSE(worker_message(*state).has_value());
}

}  // namespace
}  // namespace qm::work
