#pragma once
// For tests only: the store's parts as plain references, so that a test can build a state that no
// sequence of the store's operations reaches in a few lines (an entry without a stamp, a cell
// mapped to a key nothing stores). Production code never includes this header.
#include "work/store.hpp"

namespace qm {

struct StoreParts {
  SharedText& theatre;
  SampleTable& samples;
  CellMap& cell_map;
  MeshTable& meshes;
  std::uint64_t& next_key;
  std::uint64_t& stamp_counter;
  KeyedMap<std::uint64_t, std::uint64_t>& stamps;
  OwnerTable& owners;
  std::map<std::uint64_t, PinRecord>& pins;
  std::uint64_t& last_estimate;
  std::uint64_t& pinned_bytes;
  std::uint64_t& pieces_evicted;
  std::uint64_t& samples_evicted;
  std::uint64_t& squares_forgotten;
  std::uint64_t& sweeps;
  std::uint64_t& sample_walks;
};

inline StoreParts store_parts(Store& store) {
  return StoreParts{store.theatre_,       store.samples_,         store.cell_map_,       store.meshes_,
                    store.next_key_,      store.stamp_counter_,   store.stamps_,         store.owners_,
                    store.pins_,          store.last_estimate_,   store.pinned_bytes_,   store.pieces_evicted_,
                    store.samples_evicted_, store.squares_forgotten_, store.sweeps_,     store.sample_walks_};
}

}  // namespace qm
