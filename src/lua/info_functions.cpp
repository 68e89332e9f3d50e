// `api` and `clock`: the interface number and the module's time.
#include "base/clock.hpp"
#include "lua/lua_functions.hpp"

namespace qm::lua {

int api(lua_State* L) {
  lua_pushnumber(L, 1);
  return 1;
}

int clock(lua_State* L) {
  const double seconds = seconds_since_origin();
  lua_pushnumber(L, seconds);
  return 1;
}

}  // namespace qm::lua
