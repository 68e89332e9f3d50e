// The mission hook's calls that build the thread's `LuaState`: mission start and stop, the unit
// scan, moves, removals, the player's own unit and the projection anchors.
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "base/clock.hpp"
#include "host/host_state.hpp"
#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "host/stats.hpp"
#include "base/utf8.hpp"

namespace qm {

namespace {

SharedText text_arg(lua_State* L, int index) {
  std::optional<std::string> text = lua_string_arg(L, index);
  return make_text(text ? std::move(*text) : std::string());
}

std::optional<double> finite_arg(lua_State* L, int index) {
  const std::optional<double> value = number_arg(L, index);
  if (value && std::isfinite(*value)) return value;
  return std::nullopt;
}

// A level: a whole number with 0 <= x < 1e9.
std::optional<std::uint32_t> level_arg(lua_State* L, int index) {
  const std::optional<double> value = number_arg(L, index);
  if (!value) return std::nullopt;
  const double x = *value;
  if (!(x - std::trunc(x) == 0.0) || !(x >= 0.0 && x < 1e9)) return std::nullopt;
  return static_cast<std::uint32_t>(x);
}

std::optional<std::uint8_t> coalition_arg(lua_State* L, int index) {
  const std::optional<double> value = number_arg(L, index);
  if (!value) return std::nullopt;
  if (*value == 0.0) return 0;
  if (*value == 1.0) return 1;
  if (*value == 2.0) return 2;
  return std::nullopt;
}

bool true_arg(lua_State* L, int index) { return boolean_arg(L, index).value_or(false); }

// A reported position: latitude, longitude and altitude (each finite), the heading in radians and
// the height above ground (finite), read from five arguments in a row.
struct PositionArgs {
  std::optional<double> lat;
  std::optional<double> lon;
  std::optional<double> alt;
  std::optional<double> heading_radians;
  std::optional<double> ground;

  bool placed() const { return lat && lon && alt; }

  // Moves the record here, its heading turned to the map of the theatre (none when none was given).
  void place(UnitRecord& record, std::string_view theatre) const {
    record.lat = *lat;
    record.lon = *lon;
    record.alt = *alt;
    record.heading = heading_radians ? map_heading(theatre, *lat, *lon, *heading_radians) : std::nullopt;
    record.ground = ground;
  }
};

PositionArgs position_args(lua_State* L, int first) {
  return PositionArgs{finite_arg(L, first), finite_arg(L, first + 1), finite_arg(L, first + 2),
                      number_arg(L, first + 3), finite_arg(L, first + 4)};
}

// Replaces the whole thread state for a new mission (or none) and records the change in the stats.
void reset_mission(std::optional<MissionInfo> mission) {
  const std::uint64_t generation = mission_generation_counter().fetch_add(1, std::memory_order_relaxed) + 1;
  {
    LuaStateBorrow state;
    LuaState fresh;
    fresh.mission = std::move(mission);
    fresh.mission_generation = generation;
    fresh.changed = true;
    fresh.publish_now = true;
    *state = std::move(fresh);
  }
  ModuleStats& stats = module_stats();
  stats.mission_frames_at_change.store(stats.mission_frames.load(std::memory_order_relaxed), std::memory_order_relaxed);
  stats.export_frames_at_change.store(stats.export_frames.load(std::memory_order_relaxed), std::memory_order_relaxed);
  stats.last_mission_change.store(stamp_now(), std::memory_order_relaxed);
  stats.other_thread.store(false, std::memory_order_relaxed);
}

}  // namespace

namespace lua {

int mission_start(lua_State* L) {
  const bool server_is_text = lua_type(L, 1) == LUA_TSTRING;
  MissionInfo mission;
  mission.server_name = text_arg(L, 1);
  mission.mission_name = text_arg(L, 2);
  mission.theatre = text_arg(L, 3);
  mission.start_time = finite_arg(L, 4);
  mission.on_own_server =
      server_is_text && trim_white_space(*mission.server_name) == trim_white_space(own_server_name);
  const bool own = mission.on_own_server;
  reset_mission(std::move(mission));
  lua_pushboolean(L, own);
  return 1;
}

int mission_stop(lua_State*) {
  reset_mission(std::nullopt);
  return 0;
}

int scan_begin(lua_State*) {
  LuaStateBorrow state;
  state->scan_set.emplace();
  return 0;
}

int unit(lua_State* L) {
  const std::optional<std::uint64_t> id = valid_unit_id(number_arg(L, 1));
  const std::optional<double> t = finite_arg(L, 2);
  const std::optional<std::uint8_t> coalition = coalition_arg(L, 3);
  const std::optional<std::uint32_t> level1 = level_arg(L, 4);
  const std::uint32_t level2 = level_arg(L, 5).value_or(0);
  const std::uint32_t level3 = level_arg(L, 6).value_or(0);
  const std::uint32_t level4 = level_arg(L, 7).value_or(0);
  const bool human = true_arg(L, 8);
  const bool invisible = true_arg(L, 9);
  SharedText type = text_arg(L, 10);
  SharedText name = text_arg(L, 11);
  SharedText group = text_arg(L, 12);
  const PositionArgs position = position_args(L, 13);

  bool filed = false;
  {
    LuaStateBorrow state;
    if (state->on_own_server() && id && t && coalition && position.placed() && level1) {
      if (*level1 == 1 && level2 != 1 && level2 != 2) {
        // No longer a valid aircraft: it leaves the map, and that removal is published.
        if (state->aircraft.erase(*id) != 0) state->changed = true;
      } else if (*level1 == 1 || *coalition == 0) {
        UnitRecord record;
        position.place(record, text_view(state->mission->theatre));
        record.type = std::move(type);
        record.name = std::move(name);
        record.group = std::move(group);
        record.id = *id;
        record.t = *t;
        record.levels = {*level1, level2, level3, level4};
        record.human = human;
        record.invisible = invisible;
        record.coalition = *coalition;
        if (record.is_aircraft()) {
          // A scan report without ground keeps the position of a recent move of the same aircraft.
          const auto known = state->aircraft.find(*id);
          if (!record.ground && known != state->aircraft.end() && known->second.ground &&
              std::fabs(record.t - known->second.t) <= 1.0) {
            const UnitRecord& moved = known->second;
            record.heading = moved.heading;
            record.ground = moved.ground;
            record.t = moved.t;
            record.lat = moved.lat;
            record.lon = moved.lon;
            record.alt = moved.alt;
          }
          state->neutrals.erase(*id);
          state->aircraft.insert_or_assign(*id, std::move(record));
        } else {
          state->aircraft.erase(*id);
          state->neutrals.insert_or_assign(*id, std::move(record));
        }
        if (state->scan_set) state->scan_set->insert(*id);
        state->changed = true;
        filed = true;
      }
    }
  }
  lua_pushboolean(L, filed);
  return 1;
}

int scan_end(lua_State* L) {
  std::size_t removed = 0;
  {
    LuaStateBorrow state;
    if (state->scan_set) {
      const std::set<std::uint64_t> seen = std::move(*state->scan_set);
      state->scan_set.reset();
      const std::size_t before = state->aircraft.size() + state->neutrals.size();
      std::erase_if(state->aircraft, [&](const auto& entry) { return !seen.contains(entry.first); });
      std::erase_if(state->neutrals, [&](const auto& entry) { return !seen.contains(entry.first); });
      removed = before - (state->aircraft.size() + state->neutrals.size());
      if (removed != 0) state->changed = true;
      if (state->self_id && !state->aircraft.contains(*state->self_id)) state->self_id.reset();
    }
  }
  lua_pushnumber(L, static_cast<lua_Number>(removed));
  return 1;
}

int move(lua_State* L) {
  const std::optional<std::uint64_t> id = valid_unit_id(number_arg(L, 1));
  const std::optional<double> t = finite_arg(L, 2);
  const PositionArgs position = position_args(L, 3);

  bool moved = false;
  {
    LuaStateBorrow state;
    if (state->on_own_server() && id && t && position.placed()) {
      const auto known = state->aircraft.find(*id);
      if (known != state->aircraft.end()) {
        UnitRecord& record = known->second;
        record.t = *t;
        position.place(record, text_view(state->mission->theatre));
        state->changed = true;
        moved = true;
      }
    }
  }
  lua_pushboolean(L, moved);
  return 1;
}

int gone(lua_State* L) {
  const std::optional<std::uint64_t> id = valid_unit_id(number_arg(L, 1));
  if (!id) return 0;
  LuaStateBorrow state;
  if (state->aircraft.erase(*id) != 0 || state->neutrals.erase(*id) != 0) state->changed = true;
  if (state->self_id == id) state->self_id.reset();
  return 0;
}

int set_self(lua_State* L) {
  const std::optional<double> value = number_arg(L, 1);
  const std::optional<std::uint64_t> id = valid_unit_id(value);
  LuaStateBorrow state;
  if (id && state->on_own_server()) {
    if (state->self_id != id) {
      state->self_id = id;
      state->changed = true;
    }
  } else if (state->self_id) {
    state->self_id.reset();
    state->changed = true;
  }
  return 0;
}

int projection_anchors(lua_State* L) {
  Anchors anchors;
  anchors.present = 1;
  for (int i = 0; i < 18; ++i) {
    const std::optional<double> value = number_arg(L, i + 1);
    anchors.values[static_cast<std::size_t>(i)] = value.value_or(0.0);
    if (!value) anchors.present = 0;
  }
  LuaStateBorrow state;
  if (state->on_own_server()) {
    state->mission->anchors = anchors;
    state->changed = true;
    state->publish_now = true;
  }
  return 0;
}

}  // namespace lua
}  // namespace qm
