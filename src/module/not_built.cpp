// Table functions whose subsystems are not built yet: each answers nil and "panic: not built yet"
// through the call frame. Each later subsystem moves its functions out of this file.
#include "module/fault.hpp"
#include "module/lua_functions.hpp"

namespace qm::lua {

namespace {
[[noreturn]] int not_built() { fault("not built yet"); }
}  // namespace

int terrain_take(lua_State*) { not_built(); }
int terrain_point(lua_State*) { not_built(); }
int terrain_answer(lua_State*) { not_built(); }

}  // namespace qm::lua
