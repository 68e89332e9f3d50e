#pragma once
// GET /v1/aircraft and GET /v1/neutrals: the units of the latest published snapshot. Pages poll
// these routes several times a second while the snapshot changes once per host frame, so the JSON
// array of each list is built once per snapshot and shared by reference count between requests.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_state.hpp"
#include "host/snapshot.hpp"
#include "host/stats.hpp"

namespace qm {

// The JSON array of one unit list, built from the snapshot of a given sequence number.
using SharedArray = std::shared_ptr<const std::string>;

// Appends one element of a list to a growing text.
using EntryWriter = void (*)(const UnitRecord& unit, std::string& out);

// One list's array cache: the cache lock guards the stored (sequence, array) pair and is held only
// to compare, clone or store; the build lock lets one thread build while the others wait for it.
class ListCache {
 public:
  ListCache() = default;
  ListCache(const ListCache&) = delete;
  ListCache& operator=(const ListCache&) = delete;

  // The stored array when it was built from this sequence number, else null.
  SharedArray lookup(std::uint64_t sequence) const;
  void store(std::uint64_t sequence, SharedArray array);
  std::mutex& build_lock() { return build_lock_; }

 private:
  mutable std::mutex lock_;
  std::uint64_t sequence_ = 0;
  SharedArray array_;
  std::mutex build_lock_;
};

// The process-wide caches of the two lists (made once, never destroyed).
ListCache& aircraft_cache();
ListCache& neutrals_cache();

// The array of `list` for the snapshot numbered `sequence`: the cached one when it was built from
// that snapshot, else built once ("[", the elements separated by ",", "]") and stored.
SharedArray cached_list_body(ListCache& cache, std::uint64_t sequence, const std::vector<UnitRecord>& list,
                             EntryWriter writer);

// {"id":..,"t":..,"coalition":..,"human":..,"kind":..,"type":..,"name":..,"group":..,"lat":..,
// "lon":..,"alt":..,"ground":..,"heading":..}
void aircraft_entry_json(const UnitRecord& unit, std::string& out);
// {"id":..,"t":..,"type":..,"group":..,"levels":[..],"invisible":..,"lat":..,"lon":..,"alt":..}
void neutral_entry_json(const UnitRecord& unit, std::string& out);

// A unit document: `prefix` (the head up to the list's key), the list's shared array, and the
// closing brace. The array is not copied into the document: answers send it by reference.
struct UnitDocument {
  std::string prefix;
  SharedArray array;  // "[]" is in the prefix when the list is empty outside a mission
  static constexpr std::string_view suffix = "}";

  // The whole document in one text.
  std::string text() const;
};

// The documents: the head, then "self" and "aircraft" (or "neutrals"), closed. Outside a mission on
// the own server the lists are empty and "self" is null. `now_stamp` is a time stamp (nanoseconds
// since the clock origin plus 1). The cache defaults to the process-wide one of the list.
UnitDocument aircraft_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp);
UnitDocument aircraft_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp,
                            ListCache& cache);
UnitDocument neutrals_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp);
UnitDocument neutrals_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp,
                            ListCache& cache);

}  // namespace qm
