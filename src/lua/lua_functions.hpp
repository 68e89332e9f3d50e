#pragma once
// The bodies of the module table's 26 functions. Each runs inside `lua_entry` (the call frame).
#include "lua/lua_api.hpp"

namespace qm::lua {

int start(lua_State* L);
int stop(lua_State* L);
int status(lua_State* L);
int lan_changes(lua_State* L);
int lan_status(lua_State* L);
int frame(lua_State* L);
int frame_end(lua_State* L);
int mission_start(lua_State* L);
int projection_anchors(lua_State* L);
int mission_stop(lua_State* L);
int scan_begin(lua_State* L);
int unit(lua_State* L);
int scan_end(lua_State* L);
int move(lua_State* L);
int gone(lua_State* L);
int set_self(lua_State* L);
int terrain_take(lua_State* L);
int terrain_point(lua_State* L);
int terrain_answer(lua_State* L);
int api(lua_State* L);
int clock(lua_State* L);
int export_frame(lua_State* L);
int export_frame_end(lua_State* L);
int export_state(lua_State* L);
int request_scan(lua_State* L);
int scan_done(lua_State* L);

}  // namespace qm::lua
