#include "base/clock.hpp"
#include "base/fault.hpp"
#include "base/hashing.hpp"
#include "base/version.hpp"
#include "lua/lua_frame.hpp"
#include "lua/lua_functions.hpp"
#include "host/module_state.hpp"
#include "platform/pin.hpp"

namespace qm {

namespace {

struct TableEntry {
  const char* name;
  lua_CFunction function;
};

constexpr TableEntry table_entries[] = {
    {"start", lua_entry<lua::start>},
    {"stop", lua_entry<lua::stop>},
    {"status", lua_entry<lua::status>},
    {"lan_changes", lua_entry<lua::lan_changes>},
    {"lan_status", lua_entry<lua::lan_status>},
    {"frame", lua_entry<lua::frame>},
    {"frame_end", lua_entry<lua::frame_end>},
    {"mission_start", lua_entry<lua::mission_start>},
    {"projection_anchors", lua_entry<lua::projection_anchors>},
    {"mission_stop", lua_entry<lua::mission_stop>},
    {"scan_begin", lua_entry<lua::scan_begin>},
    {"unit", lua_entry<lua::unit>},
    {"scan_end", lua_entry<lua::scan_end>},
    {"move", lua_entry<lua::move>},
    {"gone", lua_entry<lua::gone>},
    {"set_self", lua_entry<lua::set_self>},
    {"terrain_take", lua_entry<lua::terrain_take>},
    {"terrain_point", lua_entry<lua::terrain_point>},
    {"terrain_answer", lua_entry<lua::terrain_answer>},
    {"api", lua_entry<lua::api>},
    {"clock", lua_entry<lua::clock>},
    {"export_frame", lua_entry<lua::export_frame>},
    {"export_frame_end", lua_entry<lua::export_frame_end>},
    {"export_state", lua_entry<lua::export_state>},
    {"request_scan", lua_entry<lua::request_scan>},
    {"scan_done", lua_entry<lua::scan_done>},
};

}  // namespace

int open_module(lua_State* L) {
  note_module_pinned(platform::pin_module(reinterpret_cast<const void*>(&open_module)));
  try {
    install_panic_hook();
    (void)clock_origin_ns();
    (void)epoch_id();
  } catch (...) {
    // The initialisers' first users force them again later.
  }
  lua_createtable(L, 0, 27);
  for (const TableEntry& entry : table_entries) {
    lua_pushcclosure(L, entry.function, 0);
    lua_setfield(L, -2, entry.name);
  }
  lua_pushlstring(L, kExporterVersion.data(), kExporterVersion.size());
  lua_setfield(L, -2, "version");
  return 1;
}

}  // namespace qm
