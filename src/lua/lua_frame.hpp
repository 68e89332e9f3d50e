#pragma once
// The Lua boundary: the call frame every table function runs in, `push_string`, and argument
// readers. PUC Lua raises errors with longjmp, which skips C++ destructors, so a function body reads
// its arguments, computes its results, releases every lock and borrow, and only then pushes.
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "base/fault.hpp"
#include "lua/lua_api.hpp"

namespace qm {

// Pushes a text as a Lua string with its byte length. The text is kept alive in the thread's
// keep-alive list during the push, so a failing push cannot leave it half-owned.
void push_string(lua_State* L, std::string text);
void push_string(lua_State* L, std::string_view constant);
inline void push_string(lua_State* L, const char* constant) { push_string(L, std::string_view(constant)); }

// Pushes the number, or nil when there is none.
void push_number_or_nil(lua_State* L, std::optional<double> value);

// Pushes the text and gives 1, or, when there is none because a lock it needs was held, pushes nil
// and "busy" and gives 2.
int push_text_or_busy(lua_State* L, std::optional<std::string> text);

// The texts the calling thread's keep-alive list holds right now: those being pushed (tests look).
std::size_t kept_text_count();

// Argument readers: only values of their own Lua type count; anything else is absent.
std::optional<double> number_arg(lua_State* L, int index);
std::optional<bool> boolean_arg(lua_State* L, int index);
bool is_absent(lua_State* L, int index);  // none or nil

// A text argument: its first 256 bytes, decoded as UTF-8 with replacement; absent when the
// argument is not a string.
std::optional<std::string> lua_string_arg(lua_State* L, int index);

// Runs `body` inside the call frame: a fault (or any exception) becomes nil and "panic: {}" with an
// otherwise empty stack.
int call_frame_panic(lua_State* L, std::string message) noexcept;

// A Lua error raised inside the body (only a failing push can raise one) is Lua's own: PUC Lua
// longjmps past this frame, and LuaJIT unwinds with a foreign exception that is passed on untouched
// (`std::current_exception` is empty for it); catching it would leave the Lua state inconsistent.
template <int (*Body)(lua_State*)>
int lua_entry(lua_State* L) {
  std::string message;
  try {
    return Body(L);
  } catch (...) {
    if (!std::current_exception()) throw;
    message = caught_message();
  }
  return call_frame_panic(L, std::move(message));
}

}  // namespace qm
