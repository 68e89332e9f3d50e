#include "routes/unit_documents.hpp"

#include <string_view>
#include <utility>

#include "routes/document_head.hpp"
#include "base/json.hpp"

namespace qm {

namespace {

constexpr std::size_t bytes_per_entry = 280;

std::string_view coalition_name(std::uint8_t coalition) {
  switch (coalition) {
    case 1: return "red";
    case 2: return "blue";
    default: return "neutral";
  }
}

std::string_view aircraft_kind(const UnitRecord& unit) {
  if (unit.levels[0] == 1 && unit.levels[1] == 1) return "plane";
  if (unit.levels[0] == 1 && unit.levels[1] == 2) return "helicopter";
  return "other";
}

// The members every unit entry opens with, and those of its position.
void unit_head(JsonWriter& w, const UnitRecord& unit) {
  w.key("id").integer(unit.id);
  w.key("t").number(unit.t, 3);
}

void unit_position(JsonWriter& w, const UnitRecord& unit) {
  w.key("lat").number(unit.lat, 6);
  w.key("lon").number(unit.lon, 6);
  w.key("alt").number(unit.alt, 1);
}

bool on_own_server(const Snapshot& snapshot) { return snapshot.mission && snapshot.mission->on_own_server; }

UnitDocument unit_document(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp,
                           ListCache& cache, bool aircraft) {
  const bool own = on_own_server(snapshot);
  UnitDocument document;
  std::string& out = document.prefix;
  out.reserve(256);
  JsonWriter w(out);
  mission_json(w, stats, snapshot, now_stamp);
  if (aircraft) {
    w.key("self").opt_uint(own ? snapshot.self_id : std::nullopt);
    w.key("aircraft");
  } else {
    w.key("neutrals");
  }
  if (own) {
    document.array = aircraft ? cached_list_body(cache, snapshot.sequence, snapshot.aircraft, aircraft_entry_json)
                              : cached_list_body(cache, snapshot.sequence, snapshot.neutrals, neutral_entry_json);
  } else {
    w.begin_array().end_array();
  }
  return document;
}

}  // namespace

std::string UnitDocument::text() const {
  std::string out;
  out.reserve(prefix.size() + (array ? array->size() : 0) + suffix.size());
  out.append(prefix);
  if (array) out.append(*array);
  out.append(suffix);
  return out;
}

SharedArray ListCache::lookup(std::uint64_t sequence) const {
  std::lock_guard guard(lock_);
  return array_ && sequence_ == sequence ? array_ : nullptr;
}

void ListCache::store(std::uint64_t sequence, SharedArray array) {
  SharedArray previous;
  {
    std::lock_guard guard(lock_);
    sequence_ = sequence;
    previous = std::exchange(array_, std::move(array));
  }
  // The replaced array is released outside the lock.
}

ListCache& aircraft_cache() {
  static ListCache* cache = new ListCache();  // never destroyed: connection threads may outlive exit
  return *cache;
}

ListCache& neutrals_cache() {
  static ListCache* cache = new ListCache();
  return *cache;
}

SharedArray cached_list_body(ListCache& cache, std::uint64_t sequence, const std::vector<UnitRecord>& list,
                             EntryWriter writer) {
  if (SharedArray hit = cache.lookup(sequence)) return hit;
  std::lock_guard build(cache.build_lock());
  // Another thread may have built it while this one waited for the build lock.
  if (SharedArray hit = cache.lookup(sequence)) return hit;
  std::string text;
  text.reserve(bytes_per_entry * list.size() + 64);
  text.push_back('[');
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) text.push_back(',');
    writer(list[i], text);
  }
  text.push_back(']');
  SharedArray built = std::make_shared<const std::string>(std::move(text));
  cache.store(sequence, built);
  return built;
}

void aircraft_entry_json(const UnitRecord& unit, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  unit_head(w, unit);
  w.key("coalition").text(coalition_name(unit.coalition));
  w.key("human").boolean(unit.human);
  w.key("kind").text(aircraft_kind(unit));
  w.key("type").text(text_view(unit.type));
  w.key("name").text(text_view(unit.name));
  w.key("group").text(text_view(unit.group));
  unit_position(w, unit);
  w.key("ground").number(unit.ground, 1);
  w.key("heading").number(unit.heading, 1);
  w.end_object();
}

void neutral_entry_json(const UnitRecord& unit, std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  unit_head(w, unit);
  w.key("type").text(text_view(unit.type));
  w.key("group").text(text_view(unit.group));
  w.key("levels").begin_array();
  for (const auto level : unit.levels) w.integer(level);
  w.end_array();
  w.key("invisible").boolean(unit.invisible);
  unit_position(w, unit);
  w.end_object();
}

UnitDocument aircraft_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp) {
  return aircraft_route(stats, snapshot, now_stamp, aircraft_cache());
}

UnitDocument aircraft_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp,
                            ListCache& cache) {
  return unit_document(stats, snapshot, now_stamp, cache, true);
}

UnitDocument neutrals_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp) {
  return neutrals_route(stats, snapshot, now_stamp, neutrals_cache());
}

UnitDocument neutrals_route(const ModuleStats& stats, const Snapshot& snapshot, std::uint64_t now_stamp,
                            ListCache& cache) {
  return unit_document(stats, snapshot, now_stamp, cache, false);
}

}  // namespace qm
