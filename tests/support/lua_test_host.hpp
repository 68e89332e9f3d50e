#pragma once
// A small test host: a Lua state with the standard libraries and the module registered through
// package.preload, so a test can drive the module from Lua and look at its state from C++.
#include <gtest/gtest.h>

#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "module_preload.hpp"

namespace qm::test {

class LuaTestHost {
 public:
  LuaTestHost() : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    preload_module(L_);
    run("m = require('quillmarsh_exporter')");
  }
  ~LuaTestHost() { lua_close(L_); }
  LuaTestHost(const LuaTestHost&) = delete;
  LuaTestHost& operator=(const LuaTestHost&) = delete;

  // Runs a chunk; its results are left on the stack (cleared by the next `run`). Raises a test
  // failure on a Lua error.
  void run(const std::string& code) {
    lua_settop(L_, 0);
    if (luaL_loadstring(L_, code.c_str()) != 0 || lua_pcall(L_, 0, LUA_MULTRET, 0) != 0) {
      ADD_FAILURE() << "Lua error: " << lua_tostring(L_, -1) << "\n in: " << code;
      lua_settop(L_, 0);
    }
  }

  int results() const { return lua_gettop(L_); }
  bool is_nil(int i) const { return lua_isnil(L_, i); }
  bool boolean(int i) const { return lua_toboolean(L_, i) != 0; }
  double number(int i) const { return lua_tonumber(L_, i); }
  std::string text(int i) const {
    std::size_t n = 0;
    const char* s = lua_tolstring(L_, i, &n);
    return s ? std::string(s, n) : std::string();
  }
  lua_State* state() const { return L_; }

 private:
  lua_State* L_;
};

}  // namespace qm::test
