#pragma once
// Registers the module in a Lua state's package.preload, so that `require "quillmarsh_exporter"`
// loads it from the program itself, and the program can look at the module's state from C++.
extern "C" {
#include <lua.h>
}

namespace qm {
int open_module(lua_State* L);
}

namespace qm::test {

inline void preload_module(lua_State* L) {
  lua_getglobal(L, "package");
  lua_getfield(L, -1, "preload");
  lua_pushcfunction(L, qm::open_module);
  lua_setfield(L, -2, "quillmarsh_exporter");
  lua_pop(L, 2);
}

}  // namespace qm::test
