#include "streams/open_job.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "base/clock.hpp"
#include "base/json.hpp"
#include "work/worker_message.hpp"

namespace qm {

namespace {

bool inside(const HaveRanges& have, std::uint32_t id) {
  const auto it = std::upper_bound(have.begin(), have.end(), std::uint64_t{id},
                                   [](std::uint64_t v, const HaveRange& r) { return v < r.first; });
  if (it == have.begin()) return false;
  return id <= std::prev(it)->last;
}

// The requested cells, square by square.
SquareMask squares_of(const Region& region) {
  SquareMask request_squares;
  for (const auto& [x, spans] : region.columns)
    for (const RowSpan& span : spans)
      for (std::int64_t y = span.first; y <= span.last; ++y) request_squares.insert({x, static_cast<std::int32_t>(y)});
  return request_squares;
}

// What a request opens with: the stream's control, the bytes it needs and whom to tell.
struct Opening {
  const TerrainStateRef& state;
  const MeshRequest& request;
  bool lan;
  StreamRegistry& registry;
  OpeningProbe probe;
  StreamControlRef control;
  std::uint64_t needed;
};

// A request's job before it is numbered, and the pieces it touches.
struct JobPlan {
  Job job;
  std::set<std::uint64_t> kept;        // the ids of pieces the page holds that stay out of the job
  std::set<std::uint64_t> piece_keys;  // the stored pieces that cover cells the job delivers
};

JobPlan plan_job(Schedule& schedule, const MeshRequest& request, const SharedText& theatre,
                 const SquareMask& request_squares) {
  const Store& store = schedule.store;
  JobPlan plan;
  Job& job = plan.job;
  // Cells whose pieces the page holds already stay out of the job: those whose covering piece in
  // the store is one the page names. A piece it names that the store let go, or that a newer one
  // replaced, holds no cell: its cells are sent or built anew, as for a fresh page, and the page
  // is told to drop it once the stream completes.
  job.theatre = theatre;
  job.requested = request_squares;
  const bool theatre_match = store.theatre() && *store.theatre() == request.theatre;
  for (const auto& [square, bits] : request_squares.squares()) {
    CellBits left = bits;
    if (theatre_match && !request.have.empty()) {
      store.cell_map().for_each_in(square, bits, [&](unsigned bit, std::uint64_t key) {
        const std::uint32_t id = static_cast<std::uint32_t>(key);
        if (!inside(request.have, id)) return;
        left.clear(bit);
        plan.kept.insert(id);
      });
    }
    job.squares.merge(square, left);
  }

  const SquareMask* recorded = nullptr;
  if (const auto found = schedule.failed_cells.find(request.theatre); found != schedule.failed_cells.end())
    recorded = &found->second;
  job.squares.for_each_cell([&](Cell cell) {
    if (theatre_match) {
      if (const std::optional<std::uint64_t> key = store.cell_map().key_of(cell)) {
        plan.piece_keys.insert(*key);
        return;
      }
    }
    if (recorded && recorded->contains(cell)) {
      job.recorded_cells.insert(cell);
      // A cell whose build failed before counts as failed for this job too.
      job.failed_squares.insert(square_of(cell));
      return;
    }
    job.wanted.insert(cell);
  });
  job.pins.assign(plan.piece_keys.begin(), plan.piece_keys.end());
  job.square_count = job.squares.square_count();
  return plan;
}

// The bytes the open jobs leave free, the page's older job not counted.
std::uint64_t free_bytes(const Schedule& schedule, std::optional<std::uint64_t> older_job) {
  std::uint64_t reserved = 0;
  for (const auto& [id, bytes] : schedule.reservations) {
    if (older_job && id == *older_job) continue;
    reserved = reserved > UINT64_MAX - bytes ? UINT64_MAX : reserved + bytes;
  }
  return reserved > schedule.reservation_cap ? 0 : schedule.reservation_cap - reserved;
}

// Numbers and files the job with its bytes, replaces the page's older stream and registers the
// new one; what it makes to give back goes into `opened` at once.
void file_job(const Opening& o, Schedule& schedule, JobPlan& plan, std::optional<std::uint64_t> older_job,
              JobOpened& opened) {
  Store& store = schedule.store;
  const std::uint64_t job_id = schedule.next_job_id++;
  opened.job_id = job_id;
  for (const std::uint64_t key : plan.piece_keys) store.renew_stamp(key);
  schedule.jobs.insert_or_assign(job_id, std::move(plan.job));
  opened.lease = JobLease(o.state, o.control, job_id);
  schedule.reservations[job_id] = o.needed;
  if (o.probe) o.probe(OpeningStep::Reserved);
  // The older stream's bytes go only once the new job holds its own.
  if (older_job) schedule.reservations.erase(*older_job);
  if (const auto replaced = o.registry.newest_open_stream(o.request.page)) {
    replaced->control->mark_replaced();
    if (replaced->job_id) {
      // The replaced stream's lease gives nothing back once its flag is set: its claims go here.
      schedule.reservations.erase(*replaced->job_id);
      store.unpin(*replaced->job_id);
      drop_job(schedule, *replaced->job_id);
    }
  }
  const auto filed = schedule.jobs.find(job_id);
  opened.square_count = filed == schedule.jobs.end() ? 0 : filed->second.square_count;
  opened.stream_id = o.registry.stream_open(o.request.page, o.lan, job_id, o.control, now_ns());
  opened.ticket = JobTicket(opened.stream_id, o.registry);
  if (o.probe) o.probe(OpeningStep::Registered);
}

}  // namespace

std::uint64_t job_bytes_needed(const SquareMask& request_squares) {
  std::map<std::int32_t, std::uint64_t> per_row;
  std::uint64_t widest = 0;
  for (const auto& [square, bits] : request_squares.squares()) widest = std::max(widest, ++per_row[square.first]);
  return kJobBaseBytes + kJobSquareRowBytes * widest;
}

std::string refusal_text(const JobRefused& refused) {
  std::string text = "the store can't hold this area's frontier now: ";
  json_uint(text, refused.needed);
  text += " bytes needed, ";
  json_uint(text, refused.free);
  text += " free";
  return text;
}

JobOpening schedule_open_stream(const TerrainStateRef& state, const MeshRequest& request, const Region& region,
                                std::optional<BlockFitMap> blocks, bool lan, StreamRegistry& registry,
                                OpeningProbe probe) {
  // The requested cells, square by square, before the lock.
  SquareMask request_squares = squares_of(region);
  const SharedText theatre = make_text(request.theatre);
  const Opening opening{state, request, lan, registry, probe, new_stream_control(), job_bytes_needed(request_squares)};

  // Made before the lock, so that a fault while it is held releases the lock first and then the
  // ticket and the lease that filing put in it give back.
  JobOpened opened;
  std::set<std::uint64_t> kept;
  {
    PoisonGuard hold(state->schedule_lock);
    Schedule& schedule = state->schedule;
    const std::optional<OpenStreamRef> older = registry.newest_open_stream(request.page);
    const std::optional<std::uint64_t> older_job = older ? older->job_id : std::nullopt;
    JobPlan plan = plan_job(schedule, request, theatre, request_squares);
    kept = std::move(plan.kept);
    const std::uint64_t free = free_bytes(schedule, older_job);
    // Nothing is filed, numbered or touched for a refused request.
    if (opening.needed > free) return failure(JobRefused{opening.needed, free});
    file_job(opening, schedule, plan, older_job, opened);
  }
  unpark_workers(*state);
  notify_all(*state);
  if (probe) probe(OpeningStep::Unlocked);

  opened.blocks = std::move(blocks);
  opened.refused = region.refused;
  opened.control = opening.control;
  opened.request_squares = std::move(request_squares);
  opened.kept_ids = std::move(kept);
  return opened;
}

}  // namespace qm
