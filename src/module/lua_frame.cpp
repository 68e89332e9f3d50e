#include "module/lua_frame.hpp"

#include <list>

#include "module/utf8.hpp"

namespace qm {

namespace {

// The thread's keep-alive list: it holds the texts being pushed, so a push that fails with a Lua
// error (a longjmp past this frame) leaves its text owned by the list instead of by a skipped local.
// Its elements never move: a push may run a collection step whose finalizers call the module, which
// pushes texts of its own meanwhile, and the outer push still reads its text where it was put (a
// short text lives inside its element, so a moving container would hand Lua freed memory).
std::list<std::string>& keepalive() {
  thread_local std::list<std::string> texts;
  return texts;
}

void push_kept(lua_State* L, std::string text) {
  auto& texts = keepalive();
  const auto kept = texts.insert(texts.end(), std::move(text));
  lua_pushlstring(L, kept->data(), kept->size());
  texts.erase(kept);
}

}  // namespace

void push_string(lua_State* L, std::string text) { push_kept(L, std::move(text)); }

void push_string(lua_State* L, std::string_view constant) {
  // A constant outlives the push: no copy is needed.
  lua_pushlstring(L, constant.data(), constant.size());
}

std::optional<double> number_arg(lua_State* L, int index) {
  if (lua_type(L, index) != LUA_TNUMBER) return std::nullopt;
  return static_cast<double>(lua_tonumber(L, index));
}

std::optional<bool> boolean_arg(lua_State* L, int index) {
  if (lua_type(L, index) != LUA_TBOOLEAN) return std::nullopt;
  return lua_toboolean(L, index) != 0;
}

bool is_absent(lua_State* L, int index) {
  const int type = lua_type(L, index);
  return type == LUA_TNONE || type == LUA_TNIL;
}

std::optional<std::string> lua_string_arg(lua_State* L, int index) {
  if (lua_type(L, index) != LUA_TSTRING) return std::nullopt;
  std::size_t length = 0;
  const char* data = lua_tolstring(L, index, &length);
  if (data == nullptr) return std::nullopt;
  if (length > 256) length = 256;
  return utf8_replace_invalid(std::string_view(data, length));
}

int call_frame_panic(lua_State* L, std::string message) noexcept {
  std::string text;
  try {
    text = "panic: " + message;
  } catch (...) {
    // Out of memory for the message: the constant below still goes out.
  }
  lua_settop(L, 0);
  lua_pushnil(L);
  if (text.empty()) {
    lua_pushlstring(L, "panic: unknown", 14);
  } else {
    try {
      push_string(L, std::move(text));
    } catch (...) {
      lua_pushlstring(L, "panic: unknown", 14);
    }
  }
  return 2;
}

}  // namespace qm
