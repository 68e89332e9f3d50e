// A small host that embeds Lua 5.1: functions run through the call frame turn every kind of fault
// into nil and "panic: ...", and the module file stays loaded after its Lua state is closed.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <new>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "lua_test_host.hpp"
#include "base/fault.hpp"
#include "lua/lua_frame.hpp"

namespace qm {
namespace {

struct LuaHost {
  lua_State* L = luaL_newstate();
  LuaHost() { luaL_openlibs(L); }
  ~LuaHost() { lua_close(L); }

  void run(const char* chunk) {
    ASSERT_EQ(luaL_dostring(L, chunk), 0) << lua_tostring(L, -1);
  }
  std::string global_string(const char* name) {
    lua_getglobal(L, name);
    std::string out = lua_isstring(L, -1) ? lua_tostring(L, -1) : "(not a string)";
    lua_pop(L, 1);
    return out;
  }
  double global_number(const char* name) {
    lua_getglobal(L, name);
    const double out = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return out;
  }
};

std::string last_panic_text() {
  const auto last = try_last_panic();
  return last && *last ? **last : std::string("(none)");
}

unsigned fault_line = 0;

int faults(lua_State* L) {
  lua_pushnumber(L, 7);  // half-built results must not survive the fault
  lua_pushnumber(L, 8);
  fault_line = __LINE__ + 1;
  fault("a broken invariant");
}

int throws_library_error(lua_State* L) {
  lua_pushnumber(L, 7);
  throw std::runtime_error("from the library");
}

int throws_non_text(lua_State*) { throw 42; }

int runs_out_of_memory(lua_State* L) {
  lua_pushnumber(L, 7);
  throw std::bad_alloc();
}

int answers(lua_State* L) {
  lua_pushnumber(L, 1);
  push_string(L, std::string("two"));
  return 2;
}

TEST(CallFrame, EveryKindOfFaultBecomesNilAndPanicWithAnEmptyStackBelow) {
  install_panic_hook();
  struct Case {
    lua_CFunction function;
    const char* result;
    std::string panic_prefix;
  };
  const Case cases[] = {
      {lua_entry<faults>, "panic: a broken invariant", "a broken invariant at tests/unit/lua/test_call_frame.cpp:"},
      {lua_entry<throws_library_error>, "panic: from the library", "from the library at src/lua/"},
      {lua_entry<throws_non_text>, "panic: unknown", "unknown at src/lua/"},
      {lua_entry<runs_out_of_memory>, "panic: out of memory", "out of memory at src/lua/"},
  };
  for (const Case& c : cases) {
    LuaHost host;
    lua_pushnumber(host.L, 1);
    lua_pushstring(host.L, "argument");
    lua_pushboolean(host.L, 1);
    EXPECT_EQ(c.function(host.L), 2) << c.result;
    ASSERT_EQ(lua_gettop(host.L), 2) << c.result;
    EXPECT_TRUE(lua_isnil(host.L, 1)) << c.result;
    ASSERT_EQ(lua_type(host.L, 2), LUA_TSTRING) << c.result;
    EXPECT_EQ(std::string(lua_tostring(host.L, 2)), c.result);
    EXPECT_EQ(last_panic_text().rfind(c.panic_prefix, 0), 0u) << last_panic_text();
  }
}

TEST(CallFrame, TheLastPanicNamesTheFaultingLineRelativeToTheRepository) {
  LuaHost host;
  lua_entry<faults>(host.L);
  EXPECT_EQ(last_panic_text(), "a broken invariant at tests/unit/lua/test_call_frame.cpp:" + std::to_string(fault_line));
}

TEST(CallFrame, LuaCallersSeeExactlyTwoResults) {
  LuaHost host;
  lua_register(host.L, "faults", lua_entry<faults>);
  lua_register(host.L, "answers", lua_entry<answers>);
  host.run(
      "n = select('#', faults(1, 2, 3)) "
      "a, b = faults(1, 2, 3) "
      "a_is_nil = tostring(a == nil) "
      "m = select('#', answers()) "
      "x, y = answers()");
  EXPECT_EQ(host.global_number("n"), 2);
  EXPECT_EQ(host.global_string("a_is_nil"), "true");
  EXPECT_EQ(host.global_string("b"), "panic: a broken invariant");
  EXPECT_EQ(host.global_number("m"), 2);  // a normal completion keeps its own results
  EXPECT_EQ(host.global_number("x"), 1);
  EXPECT_EQ(host.global_string("y"), "two");
}

// Pushing a text may run a collection step before Lua copies it, and a finalizer that runs in that
// step may call the module, which pushes its own text meanwhile. The outer text must stay where it
// was: a short one lives inside its keep-alive entry, so moving the entry leaves Lua reading freed
// memory (AddressSanitizer reports it). A fresh thread starts with an empty keep-alive list, so the
// finalizer's push is the one that makes it grow.
TEST(CallFrame, ATextSurvivesAFinalizerThatCallsTheModuleDuringItsPush) {
  std::thread([] {
    qm::test::LuaTestHost host;
    host.run(
        "finalized = false "
        "local function arm() "
        "  local p = newproxy(true) "
        "  getmetatable(p).__gc = function() m.status() finalized = true end "
        "end "
        "collectgarbage('collect') "
        "collectgarbage('stop') "  // no step may take the proxy before the call below
        "arm() "
        "collectgarbage('setstepmul', 0) "  // a step runs the whole cycle, finalizers included
        "collectgarbage('restart') "  // the next allocation check, inside the push, makes one
        "before = finalized "
        "text = m.lan_status() "
        "after = finalized "
        "collectgarbage('setstepmul', 200) "
        "return before, after, text");
    ASSERT_EQ(host.results(), 3);
    EXPECT_FALSE(host.boolean(1)) << "the finalizer ran before the call";
    EXPECT_TRUE(host.boolean(2)) << "the finalizer did not run inside the push";
    EXPECT_EQ(host.text(3), "off");
  }).join();
}

namespace {

int kept_texts(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(kept_text_count()));
  return 1;
}

// A finalizer that fails in the collection step a push runs raises a Lua error inside
// lua_pushlstring, which unwinds past the rest of the push: the text it left in the keep-alive list
// must not stay there for good. After fifty such pushes the list holds only the text of the push
// that runs (seen by a finalizer running inside it), and nothing once that push is done.
TEST(CallFrame, APushThatALuaErrorUnwindsLeavesNoTextBehind) {
  std::thread([] {
    qm::test::LuaTestHost host;
    lua_register(host.state(), "kept_texts", kept_texts);
    host.run(
        "local function during_next_push(finalizer) "
        "  collectgarbage('collect') "
        "  collectgarbage('stop') "
        "  local p = newproxy(true) "
        "  getmetatable(p).__gc = finalizer "
        "  p = nil "
        "  collectgarbage('setstepmul', 0) "
        "  collectgarbage('restart') "
        "end "
        "local unwound = 0 "
        "for i = 1, 50 do "
        "  during_next_push(function() error('the finalizer fails') end) "
        "  local ok, message = pcall(m.lan_status) "
        "  if not ok and tostring(message):find('the finalizer fails') then unwound = unwound + 1 end "
        "end "
        "local held "
        "during_next_push(function() held = kept_texts() end) "
        "local text = m.lan_status() "
        "collectgarbage('setstepmul', 200) "
        "return unwound, held, text, kept_texts()");
    ASSERT_EQ(host.results(), 4);
    EXPECT_EQ(host.number(1), 50) << "the finalizer's error did not unwind the pushes";
    EXPECT_EQ(host.number(2), 1) << "texts of unwound pushes stayed in the list";
    EXPECT_EQ(host.text(3), "off");
    EXPECT_EQ(host.number(4), 0);
  }).join();
}

// A host that closes its Lua state from a thread-local destructor: the state's finalizers call the
// module after the thread's keep-alive list was destroyed (it was made later, so it goes first). The
// push must find the list gone, as the thread's other records are, and the call answer nil and a
// panic; writing into the destroyed list is a use after free (AddressSanitizer reports it).
struct ClosesItsStateLate {
  lua_State* L = nullptr;
  ~ClosesItsStateLate() {
    if (L) lua_close(L);
  }
};

std::string* finalizer_saw = nullptr;

int report(lua_State* L) {
  std::string seen;
  for (int i = 1; i <= lua_gettop(L); ++i) {
    if (i > 1) seen.push_back(' ');
    std::size_t n = 0;
    const char* s = lua_tolstring(L, i, &n);
    if (s) {
      seen.append(s, n);
    } else {
      seen.append(luaL_typename(L, i));
    }
  }
  *finalizer_saw = seen;
  return 0;
}

}  // namespace

TEST(CallFrame, AFinalizerRunAsItsThreadEndsGetsAPanicForItsText) {
  std::string seen = "(the finalizer did not run)";
  finalizer_saw = &seen;
  std::thread([] {
    thread_local ClosesItsStateLate late;  // before the module's records: destroyed after them
    late.L = luaL_newstate();
    luaL_openlibs(late.L);
    lua_getglobal(late.L, "package");
    lua_getfield(late.L, -1, "preload");
    lua_pushcfunction(late.L, qm::open_module);
    lua_setfield(late.L, -2, "quillmarsh_exporter");
    lua_settop(late.L, 0);
    lua_register(late.L, "report", report);
    ASSERT_EQ(luaL_dostring(late.L,
                            "m = require('quillmarsh_exporter') "
                            "assert(m.lan_status() == 'off') "  // the thread's list is made now
                            "kept = newproxy(true) "
                            "getmetatable(kept).__gc = function() report(m.lan_status()) end"),
              0)
        << lua_tostring(late.L, -1);
  }).join();
  finalizer_saw = nullptr;
  EXPECT_EQ(seen.rfind("nil panic: ", 0), 0u) << seen;
}

#ifdef QM_MODULE_FILE
// The module as a host loads it: require through package.cpath, then lua_close, which unloads every
// C library the state loaded. The module pinned itself, so it stays in the process.
TEST(ModuleFile, StaysLoadedAfterTheHostClosesItsState) {
  {
    LuaHost host;
    lua_pushstring(host.L, QM_MODULE_FILE);
    lua_setglobal(host.L, "module_file");
    host.run(
        "package.cpath = module_file "
        "local m = require('quillmarsh_exporter') "
        "fields = 0 for _ in pairs(m) do fields = fields + 1 end "
        "version = m.version "
        "package.loaded['quillmarsh_exporter'] = nil "
        "local again = require('quillmarsh_exporter') "
        "second_table_differs = tostring(again ~= m) "
        "api = again.api()");
    EXPECT_EQ(host.global_number("fields"), 27);
    EXPECT_EQ(host.global_string("version"), "1.1.0");
    EXPECT_EQ(host.global_string("second_table_differs"), "true");
    EXPECT_EQ(host.global_number("api"), 1);
  }
#ifdef _WIN32
  HMODULE still = GetModuleHandleA("quillmarsh_exporter.dll");
  EXPECT_NE(still, nullptr) << "the module was unloaded with its Lua state";
  if (still) {
    EXPECT_NE(GetProcAddress(still, "luaopen_quillmarsh_exporter"), nullptr);
    EXPECT_EQ(GetProcAddress(still, "_ZN2qm11open_moduleEP9lua_State"), nullptr);
  }
#else
  void* still = dlopen(QM_MODULE_FILE, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr) << "the module was unloaded with its Lua state";
  if (still) {
    // Only the entry point is exported.
    EXPECT_NE(dlsym(still, "luaopen_quillmarsh_exporter"), nullptr);
    EXPECT_EQ(dlsym(still, "_ZN2qm11open_moduleEP9lua_State"), nullptr);
    dlclose(still);
  }
#endif
}
#endif

}  // namespace
}  // namespace qm
