#include "streams/open_job.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <string>

#include "base/clock.hpp"
#include "work/worker_message.hpp"

namespace qm {

namespace {

bool inside(const HaveRanges& have, std::uint32_t id) {
  const auto it = std::upper_bound(have.begin(), have.end(), std::uint64_t{id},
                                   [](std::uint64_t v, const HaveRange& r) { return v < r.first; });
  if (it == have.begin()) return false;
  return id <= std::prev(it)->last;
}

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
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
  append_number(text, refused.needed);
  text += " bytes needed, ";
  append_number(text, refused.free);
  text += " free";
  return text;
}

JobOpening schedule_open_stream(const TerrainStateRef& state, const MeshRequest& request, const Region& region,
                                std::optional<BlockFitMap> blocks, bool lan, StreamRegistry& registry,
                                OpeningProbe probe) {
  // The requested cells, square by square, before the lock.
  SquareMask request_squares;
  for (const auto& [x, spans] : region.columns)
    for (const RowSpan& span : spans)
      for (std::int64_t y = span.first; y <= span.last; ++y) request_squares.insert({x, static_cast<std::int32_t>(y)});
  const SharedText theatre = make_text(request.theatre);
  StreamControlRef control = new_stream_control();
  const std::uint64_t needed = job_bytes_needed(request_squares);

  std::uint64_t job_id = 0;
  std::uint64_t stream_id = 0;
  std::uint64_t square_count = 0;
  std::set<std::uint64_t> kept;
  std::optional<JobRefused> refusal;
  // Made as soon as there is something to give back, and outside the lock, so that a fault while
  // it is held releases the lock first and then the ticket and the lease give back.
  JobLease lease;
  JobTicket ticket;
  {
    PoisonGuard hold(state->schedule_lock);
    Schedule& schedule = state->schedule;
    Store& store = schedule.store;
    const std::optional<OpenStreamRef> older = registry.newest_open_stream(request.page);
    const std::optional<std::uint64_t> older_job = older ? older->job_id : std::nullopt;

    // Cells whose pieces the page holds already stay out of the job: those whose covering piece in
    // the store is one the page names. A piece it names that the store let go, or that a newer one
    // replaced, holds no cell: its cells are sent or built anew, as for a fresh page, and the page
    // is told to drop it once the stream completes.
    Job job;
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
          kept.insert(id);
        });
      }
      job.squares.merge(square, left);
    }

    const SquareMask* recorded = nullptr;
    if (const auto found = schedule.failed_cells.find(request.theatre); found != schedule.failed_cells.end())
      recorded = &found->second;
    std::set<std::uint64_t> piece_keys;
    job.squares.for_each_cell([&](Cell cell) {
      if (theatre_match) {
        if (const std::optional<std::uint64_t> key = store.cell_map().key_of(cell)) {
          piece_keys.insert(*key);
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
    job.pins.assign(piece_keys.begin(), piece_keys.end());
    job.square_count = job.squares.square_count();

    std::uint64_t reserved = 0;
    for (const auto& [id, bytes] : schedule.reservations) {
      if (older_job && id == *older_job) continue;
      reserved = reserved > UINT64_MAX - bytes ? UINT64_MAX : reserved + bytes;
    }
    const std::uint64_t free = reserved > schedule.reservation_cap ? 0 : schedule.reservation_cap - reserved;
    if (needed > free) {
      // Nothing is filed, numbered or touched for a refused request.
      refusal = JobRefused{needed, free};
    } else {
      job_id = schedule.next_job_id++;
      for (const std::uint64_t key : piece_keys) store.renew_stamp(key);
      schedule.jobs.insert_or_assign(job_id, std::move(job));
      lease = JobLease(state, control, job_id);
      schedule.reservations[job_id] = needed;
      if (probe) probe(OpeningStep::Reserved);
      // The older stream's bytes go only once the new job holds its own.
      if (older_job) schedule.reservations.erase(*older_job);
      if (const auto replaced = registry.newest_open_stream(request.page)) {
        replaced->control->mark_replaced();
        if (replaced->job_id) {
          // The replaced stream's lease gives nothing back once its flag is set: its claims go here.
          schedule.reservations.erase(*replaced->job_id);
          store.unpin(*replaced->job_id);
          drop_job(schedule, *replaced->job_id);
        }
      }
      const auto filed = schedule.jobs.find(job_id);
      square_count = filed == schedule.jobs.end() ? 0 : filed->second.square_count;
      stream_id = registry.stream_open(request.page, lan, job_id, control, now_ns());
      ticket = JobTicket(stream_id, registry);
      if (probe) probe(OpeningStep::Registered);
    }
  }
  if (refusal) return failure(*refusal);
  unpark_workers(*state);
  notify_all(*state);
  if (probe) probe(OpeningStep::Unlocked);

  JobOpened opened;
  opened.job_id = job_id;
  opened.blocks = std::move(blocks);
  opened.refused = region.refused;
  opened.control = control;
  opened.request_squares = std::move(request_squares);
  opened.kept_ids = std::move(kept);
  opened.square_count = square_count;
  opened.stream_id = stream_id;
  opened.lease = std::move(lease);
  opened.ticket = std::move(ticket);
  return opened;
}

}  // namespace qm
