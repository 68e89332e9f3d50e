#include "work/store_eviction.hpp"

#include <algorithm>
#include <tuple>

#include "base/clock.hpp"

namespace qm {

namespace {

struct Candidate {
  std::uint64_t stamp = 0;
  std::uint64_t key = 0;
  std::uint64_t bytes = 0;
  bool operator<(const Candidate& o) const { return std::tie(stamp, key, bytes) < std::tie(o.stamp, o.key, o.bytes); }
};

// Whether a cell of the entry is protected.
bool entry_protected(Store& store, std::uint64_t key, const mesh::CellMesh& mesh, const SquareMask& cells) {
  if (mesh.cells.empty()) return false;
  const Store::EntrySpan& span = store.entry_span(key, mesh.cells);
  return cells.meets_squares(span.low, span.high) && cells.contains_any(mesh.cells);
}

// Everything a sweep's outcome depends on but the samples: the limits, the held theatre, the
// entries (by the table's count of changes), each job's theatre, wanted cells and pins, and every
// pin record.
std::uint64_t sweep_signature(const Schedule& schedule) {
  const Store& store = schedule.store;
  SeededHasher h(store.sweep_seeds());
  hash_write(h, schedule.eviction_limit);
  hash_write(h, schedule.job_byte_limit());
  if (store.theatre()) {
    hash_write(h, store.theatre()->size());
    h.write_bytes(store.theatre()->data(), store.theatre()->size());
  } else {
    hash_write(h, ~std::uint64_t{0});
  }
  hash_write(h, store.meshes().changes());
  hash_write(h, schedule.jobs.size());
  for (const auto& [id, job] : schedule.jobs) {
    const bool held = store.theatre() && same_theatre(job.theatre, store.theatre());
    hash_write(h, id);
    hash_write(h, std::uint8_t{held});
    if (held) {
      hash_write(h, job.wanted.square_count());
      for (const auto& [square, bits] : job.wanted.squares()) {
        hash_write(h, square);
        hash_write(h, bits.words);
      }
    }
    hash_write(h, job.pins.size());
    for (const std::uint64_t key : job.pins) hash_write(h, key);
  }
  hash_write(h, store.pins().size());
  for (const auto& [id, record] : store.pins()) {
    hash_write(h, id);
    hash_write(h, record.flag);
    hash_write(h, record.cells.size());
    for (const Cell& cell : record.cells) hash_write(h, cell);
    hash_write(h, record.keys.size());
    for (const std::uint64_t key : record.keys) hash_write(h, key);
  }
  return h.finish();
}

// Whether the last sweep's outcome stands: the same entries and protection, and the samples added
// since then (each possibly unprotected) still fit within the limit beside its unpinned estimate.
// Samples only ever go by a sweep or with the whole store, which forgets the memo.
bool last_sweep_stands(const Store& store, std::uint64_t signature, std::uint64_t limit) {
  const Store::SweepMemo& memo = store.last_sweep();
  if (!memo.valid || memo.signature != signature || store.samples().size() < memo.samples) return false;
  const std::uint64_t added = (store.samples().size() - memo.samples) * kSampleBytes;
  return added <= saturating_sub(limit, memo.unpinned);
}

// What protects entries and samples from a sweep.
struct Protection {
  SquareMask entry_cells;   // cells whose entries stay
  SquareMask sample_cells;  // cells whose samples stay
  std::set<std::uint64_t> pinned_keys;
};

// What the held theatre's jobs still want, with two cells around it, protects entries and
// samples; each job's pins, up to its byte limit (its first entry always), pin entries; the pin
// records' cells protect entries, and samples too where the flag says so, and their keys pin.
Protection protection_of(const Schedule& schedule) {
  const Store& store = schedule.store;
  const SharedText& held = store.theatre();
  Protection p;
  SquareMask wanted;
  for (const auto& [id, job] : schedule.jobs) {
    if (!held || !same_theatre(job.theatre, held)) continue;
    for (const auto& [square, bits] : job.wanted.squares()) wanted.merge(square, bits);
  }
  p.entry_cells = widen(wanted, 2);

  const std::uint64_t job_limit = schedule.job_byte_limit();
  for (const auto& [id, job] : schedule.jobs) {
    std::uint64_t total = 0;
    bool first = true;
    for (const std::uint64_t key : job.pins) {
      const auto entry = store.meshes().find(key);
      if (entry == store.meshes().end()) continue;
      total += entry_bytes(entry->second);
      if (!first && total > job_limit) break;
      p.pinned_keys.insert(key);
      first = false;
    }
  }

  p.sample_cells = p.entry_cells;
  for (const auto& [pin_id, record] : store.pins()) {
    for (const Cell& c : record.cells) {
      p.entry_cells.insert(c);
      if (record.flag == 1) p.sample_cells.insert(c);
    }
    p.pinned_keys.insert(record.keys.begin(), record.keys.end());
  }
  return p;
}

// The entries a sweep may evict, and the bytes of those it may not.
struct Candidates {
  std::vector<Candidate> list;
  std::uint64_t pinned = 0;
};

Candidates candidates_of(Store& store, const Protection& protection) {
  Candidates out;
  for (const auto& [key, mesh] : store.meshes()) {
    if (protection.pinned_keys.count(key) != 0 || entry_protected(store, key, mesh, protection.entry_cells)) {
      out.pinned += entry_bytes(mesh);
    } else {
      const auto stamp = store.stamps().find(key);
      out.list.push_back({stamp == store.stamps().end() ? 0 : stamp->second, key, entry_bytes(mesh)});
    }
  }
  return out;
}

// Evicts candidates, oldest first, while the unpinned estimate `running` is past the limit (pinned
// bytes do not count against it); the evicted keys and meshes in eviction order.
std::vector<std::pair<std::uint64_t, mesh::CellMesh>> evict_oldest(Store& store, std::vector<Candidate>& candidates,
                                                                   std::uint64_t limit, std::uint64_t& running) {
  std::vector<std::pair<std::uint64_t, mesh::CellMesh>> evicted;
  std::stable_sort(candidates.begin(), candidates.end());
  for (const Candidate& c : candidates) {
    if (running <= limit) break;
    std::optional<mesh::CellMesh> taken = store.evict_entry(c.key);
    if (!taken) continue;
    running = saturating_sub(running, c.bytes);
    evicted.emplace_back(c.key, std::move(*taken));
  }
  return evicted;
}

// Jobs that pinned an evicted entry want its cells again: those the page asked for and does not
// hold (an entry reaches over more cells than a request may cover).
void return_evicted_cells(Schedule& schedule, const std::vector<std::pair<std::uint64_t, mesh::CellMesh>>& evicted) {
  for (const auto& [key, mesh] : evicted) {
    for (auto& [id, job] : schedule.jobs) {
      const auto pin = std::find(job.pins.begin(), job.pins.end(), key);
      if (pin == job.pins.end()) continue;
      job.pins.erase(std::remove(job.pins.begin(), job.pins.end(), key), job.pins.end());
      for (const Cell& cell : mesh.cells)
        if (job.squares.contains(cell)) job.wanted.insert(cell);
      schedule.counters.returned += 1;
    }
  }
}

}  // namespace

std::vector<std::uint64_t> split_store_into_cells(Schedule& schedule) {
  Store& store = schedule.store;
  const std::uint64_t limit = schedule.eviction_limit;
  const std::uint64_t bytes = store_bytes(store);
  if (bytes <= limit) return {};
  if (last_sweep_stands(store, sweep_signature(schedule), limit)) return {};
  store.count_sweep();

  const Protection protection = protection_of(schedule);
  Candidates candidates = candidates_of(store, protection);
  store.drop_gone_spans();

  const std::uint64_t held_samples = store.samples().count_held(protection.sample_cells);
  const std::uint64_t unprotected = store.samples().size() - held_samples;
  const std::uint64_t pinned = candidates.pinned + held_samples * kSampleBytes;
  std::uint64_t running = saturating_sub(bytes, pinned);
  if (unprotected != 0 && running > limit) {
    const std::uint64_t removed = store.evict_samples(protection.sample_cells);
    running = saturating_sub(running, removed * kSampleBytes);
  }

  const auto evicted = evict_oldest(store, candidates.list, limit, running);
  return_evicted_cells(schedule, evicted);
  store.end_sweep(running, pinned, sweep_signature(schedule));
  std::vector<std::uint64_t> evicted_keys;
  evicted_keys.reserve(evicted.size());
  for (const auto& [key, mesh] : evicted) evicted_keys.push_back(key);
  return evicted_keys;
}

}  // namespace qm
