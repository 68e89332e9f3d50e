#include "host/terrain_exchange.hpp"

#include <cmath>
#include <mutex>

#include "base/clock.hpp"

namespace qm {

namespace {

// Moves every entry of the batch, in order, to the delivery list as seen by the host.
void close_batch(TerrainExchange& ex) {
  for (auto& entry : ex.batch) {
    HostAnswer answer = entry.answer.value_or(HostAnswer{});
    ex.deliveries.push_back(DeliveryRecord{std::move(entry.job.table), entry.job.index, answer, true});
  }
  ex.batch.clear();
}

TakeResult stop_frame(TerrainExchange& ex, std::uint64_t now) {
  ex.done = true;
  ex.last_hand_out = now;
  ex.last_kind = terrain::queue_sampler;
  ex.last_count = 0;
  return {};
}

}  // namespace

std::atomic<std::uint8_t>& sampler_asking() {
  static std::atomic<std::uint8_t> flag{0};
  return flag;
}

TakeResult exchange_take(TerrainExchange& ex, const TakeInputs& in, terrain::HeightQueues& queues) {
  const std::uint64_t now = in.now_ns;
  close_batch(ex);
  if (ex.done) return {};
  if (!ex.frame_start) ex.frame_start = now;

  std::uint64_t margin = 0;
  if (ex.last_hand_out) {
    const std::uint64_t d = saturating_sub(now, *ex.last_hand_out);
    if (ex.last_kind != terrain::queue_sampler) ex.page_time_ns += d;
    // A host that comes back more than 5 ms after the last hand-out ends the frame's terrain work:
    // after a batch it took that long to answer, after an empty call it went away that long.
    if (d > cold_batch_ns) {
      TakeResult cold{0, true, ex.last_count};
      ex.done = true;
      ex.last_hand_out = now;
      ex.last_count = 0;
      return cold;
    }
    // The time of five more points at the last batch's pace.
    if (ex.last_count > 0) margin = batch_limit * (d / ex.last_count);
  }

  const std::uint64_t budget = in.budget_ns;
  const std::uint64_t elapsed = saturating_sub(now, *ex.frame_start);
  if (elapsed >= budget || elapsed + margin > budget) return stop_frame(ex, now);

  // While the sampler has questions waiting, the page queues get at most two thirds of the budget.
  bool sampler_waiting = false;
  {
    terrain::HeightQueue& sampler = queues[terrain::queue_sampler];
    std::unique_lock lock(sampler.mutex, std::try_to_lock);
    if (lock.owns_lock()) sampler_waiting = !sampler.jobs.empty();
  }
  const std::uint64_t two_thirds = budget * 2 / 3;
  const bool sampler_only =
      sampler_waiting && (ex.page_time_ns >= two_thirds || ex.page_time_ns + margin > two_thirds);

  for (std::uint8_t kind = sampler_only ? terrain::queue_sampler : 0; kind < terrain::queue_kinds; ++kind) {
    terrain::HeightQueue& queue = queues[kind];
    std::unique_lock lock(queue.mutex, std::try_to_lock);
    if (!lock.owns_lock()) continue;
    std::uint64_t count = 0;
    while (!queue.jobs.empty() && count < batch_limit) {
      terrain::HeightJob job = std::move(queue.jobs.front());
      queue.jobs.pop_front();
      if (same_present_theatre(job.theatre.get(), in.theatre)) {
        ex.batch.push_back(ExchangeEntry{std::move(job), std::nullopt});
        count += 1;
      } else {
        // Another theatre, or no mission on the own server: answered empty, never seen by the host.
        ex.deliveries.push_back(DeliveryRecord{std::move(job.table), job.index, HostAnswer{}, false});
      }
    }
    lock.unlock();
    if (count > 0) {
      ex.last_hand_out = now;
      ex.last_kind = kind;
      ex.last_count = count;
      ex.frame_points += count;
      return {count, false, 0};
    }
  }

  ex.dry = in.sampler_asking;
  ex.last_hand_out = now;
  ex.last_kind = terrain::queue_sampler;
  ex.last_count = 0;
  return {};
}

std::optional<std::size_t> exchange_index(const TerrainExchange& ex, std::optional<double> i) {
  if (!i) return std::nullopt;
  const double v = *i;
  if (!std::isfinite(v) || v - std::trunc(v) != 0.0 || v < 1.0 || v > 1000.0) return std::nullopt;
  const auto index = static_cast<std::size_t>(v);
  if (index > ex.batch.size()) return std::nullopt;
  return index - 1;
}

void exchange_answer(TerrainExchange& ex, std::size_t entry, std::optional<double> a, std::optional<double> b) {
  if (entry >= ex.batch.size()) return;
  auto finite = [](std::optional<double> v) -> std::optional<double> {
    return v && std::isfinite(*v) ? v : std::nullopt;
  };
  ex.batch[entry].answer = HostAnswer{finite(a), finite(b)};
}

FrameEndResult exchange_frame_end(TerrainExchange& ex, bool sampler_asking) {
  FrameEndResult result;
  if (ex.frame_start && ex.last_hand_out && ex.frame_points != 0) {
    result.cost_ns = saturating_sub(*ex.last_hand_out, *ex.frame_start);
  }
  result.sampling = sampler_asking;
  result.dry = sampler_asking && ex.dry;

  ex.frame_start.reset();
  ex.last_hand_out.reset();
  ex.page_time_ns = 0;
  ex.frame_points = 0;
  ex.done = false;
  ex.dry = false;

  close_batch(ex);
  // The records whose table is busy move to the front and stay for the next frame_end; the list
  // keeps its storage from frame to frame.
  std::size_t kept = 0;
  for (auto& record : ex.deliveries) {
    const auto outcome = record.table->try_deliver(record.index, record.answer.a, record.answer.b, record.seen);
    if (outcome == terrain::Delivery::busy) {
      if (&ex.deliveries[kept] != &record) ex.deliveries[kept] = std::move(record);
      kept += 1;
      result.deferred += 1;
    } else {
      result.delivered += 1;
    }
  }
  ex.deliveries.erase(ex.deliveries.begin() + static_cast<std::ptrdiff_t>(kept), ex.deliveries.end());
  return result;
}

}  // namespace qm
