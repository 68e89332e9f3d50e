#include "lua/lua_frame.hpp"

#include <cstdint>
#include <list>

#include "base/thread_own.hpp"
#include "base/utf8.hpp"

namespace qm {

namespace {

// One text being pushed, and where the push that put it runs: the frame address of that push.
struct KeptText {
  std::string text;
  std::uintptr_t frame = 0;
};

// The thread's keep-alive list: it holds the texts being pushed, so a push that fails with a Lua
// error (a longjmp past this frame) leaves its text owned by the list instead of by a skipped local.
// Its elements never move: a push may run a collection step whose finalizers call the module, which
// pushes texts of its own meanwhile, and the outer push still reads its text where it was put (a
// short text lives inside its element, so a moving container would hand Lua freed memory). Like the
// thread's other records it reports itself gone while the thread is torn down.
using KeptTexts = std::list<KeptText>;

class KeptTextsBorrow : public ThreadOwnBorrow<KeptTexts> {
 public:
  KeptTextsBorrow() : ThreadOwnBorrow("text keep-alive list") {}
};

// Drops the texts of pushes that no longer run: those put at or below `frame`. The stack grows
// down, and a push that still runs is one that the current call runs inside (a finalizer of its
// collection step), so it sits above every frame of this call. A push that a Lua error unwound is
// found this way by the next push on the thread that runs as deep or shallower (the next call from
// the same place, or from anywhere further up).
void drop_finished(KeptTexts& texts, std::uintptr_t frame) {
  texts.remove_if([frame](const KeptText& kept) { return kept.frame <= frame; });
}

std::uintptr_t this_frame(const void* address) { return reinterpret_cast<std::uintptr_t>(address); }

// Drops the push's own text, and those of pushes that ran inside it, however the push ends: also
// when a C++ exception unwinds through it (LuaJIT raises its errors that way). PUC Lua's longjmp
// skips it, which the next push's `drop_finished` makes up for.
struct DropOnExit {
  std::uintptr_t frame;
  ~DropOnExit() {
    try {
      KeptTextsBorrow texts;
      drop_finished(*texts, frame);
    } catch (...) {
      // The thread's records are gone: so is the list.
    }
  }
};

}  // namespace

std::size_t kept_text_count() {
  KeptTextsBorrow texts;
  return texts->size();
}

void push_string(lua_State* L, std::string text) {
  const std::uintptr_t frame = this_frame(__builtin_frame_address(0));
  const KeptText* kept = nullptr;
  {
    KeptTextsBorrow texts;
    drop_finished(*texts, frame);
    kept = &*texts->insert(texts->end(), KeptText{std::move(text), frame});
  }
  DropOnExit drop{frame};
  lua_pushlstring(L, kept->text.data(), kept->text.size());
}

void push_string(lua_State* L, std::string_view constant) {
  // A constant outlives the push: no copy is needed.
  lua_pushlstring(L, constant.data(), constant.size());
}

void push_number_or_nil(lua_State* L, std::optional<double> value) {
  if (value) {
    lua_pushnumber(L, *value);
  } else {
    lua_pushnil(L);
  }
}

int push_text_or_busy(lua_State* L, std::optional<std::string> text) {
  if (!text) {
    lua_pushnil(L);
    push_string(L, std::string_view("busy"));
    return 2;
  }
  push_string(L, std::move(*text));
  return 1;
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
