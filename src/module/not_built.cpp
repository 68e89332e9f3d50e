// Table functions whose subsystems are not built yet: each answers nil and "panic: not built yet"
// through the call frame. Each later subsystem moves its functions out of this file.
#include "module/fault.hpp"
#include "module/lua_functions.hpp"

namespace qm::lua {

namespace {
[[noreturn]] int not_built() { fault("not built yet"); }
}  // namespace

int status(lua_State*) { not_built(); }
int frame(lua_State*) { not_built(); }
int frame_end(lua_State*) { not_built(); }
int mission_start(lua_State*) { not_built(); }
int projection_anchors(lua_State*) { not_built(); }
int mission_stop(lua_State*) { not_built(); }
int scan_begin(lua_State*) { not_built(); }
int unit(lua_State*) { not_built(); }
int scan_end(lua_State*) { not_built(); }
int move(lua_State*) { not_built(); }
int gone(lua_State*) { not_built(); }
int set_self(lua_State*) { not_built(); }
int terrain_take(lua_State*) { not_built(); }
int terrain_point(lua_State*) { not_built(); }
int terrain_answer(lua_State*) { not_built(); }
int export_frame(lua_State*) { not_built(); }
int export_frame_end(lua_State*) { not_built(); }
int export_state(lua_State*) { not_built(); }
int request_scan(lua_State*) { not_built(); }
int scan_done(lua_State*) { not_built(); }

}  // namespace qm::lua
