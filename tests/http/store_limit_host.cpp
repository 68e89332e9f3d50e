// The simulated host with a hand on the terrain store's eviction limit: runs sim/host.lua in an
// embedded Lua with the module registered through package.preload, and reads lines
// "eviction-limit N" from its standard input, each of which sets the store's eviction limit to N
// bytes and is answered on standard output with the same line once set. A test makes eviction come
// when it wants it, with a store it can fill in seconds, and gives the store its room back after.
//
// Usage: store_limit_host SCRIPT [ARGS...]   (as lua5.1 SCRIPT ARGS...)
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "work/poison_mutex.hpp"
#include "work/terrain_state.hpp"
#include "module_preload.hpp"

namespace {

void read_limits() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string word = "eviction-limit ";
    std::uint64_t limit = 0;
    try {
      if (line.rfind(word, 0) != 0) throw std::invalid_argument(line);
      limit = std::stoull(line.substr(word.size()));
    } catch (const std::exception&) {
      std::fprintf(stdout, "store_limit_host: not understood \"%s\"\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    const qm::TerrainStateRef state = qm::init_terrain_state();
    {
      qm::PoisonGuard lock(state->schedule_lock);
      state->schedule.eviction_limit = limit;
    }
    qm::unpark_workers(*state);  // the sampler's next turn sweeps against the new limit
    std::fprintf(stdout, "eviction-limit %llu\n", static_cast<unsigned long long>(limit));
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: store_limit_host SCRIPT [ARGS...]\n");
    return 2;
  }
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  qm::test::preload_module(L);
  lua_createtable(L, argc, 0);
  for (int i = 1; i < argc; ++i) {
    lua_pushstring(L, argv[i]);
    lua_rawseti(L, -2, i - 1);
  }
  lua_setglobal(L, "arg");

  std::thread(read_limits).detach();
  if (luaL_dofile(L, argv[1]) != 0) {
    std::fprintf(stderr, "store_limit_host: %s\n", lua_tostring(L, -1));
    return 1;
  }
  return 0;
}
