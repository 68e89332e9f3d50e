#include "module/host_state.hpp"

#include <cmath>

#include "module/fault.hpp"

namespace qm {

namespace {

// The thread's `LuaState` lives in a thread-local holder. The phase byte is trivially destructible,
// so it still reads correctly while the thread's other records are being destroyed.
thread_local unsigned char lua_state_phase = 0;  // 0 not made yet, 1 alive, 2 torn down
thread_local bool lua_state_borrowed = false;

struct LuaStateHolder {
  LuaState state;
  LuaStateHolder() { lua_state_phase = 1; }
  ~LuaStateHolder() { lua_state_phase = 2; }
};

LuaState& thread_lua_state() {
  check(lua_state_phase != 2, "the thread's state is gone (thread ending)");
  thread_local LuaStateHolder holder;
  return holder.state;
}

// Decodes one code point of valid UTF-8 at the front (or back) of a text.
char32_t front_code_point(std::string_view s, std::size_t& length) {
  const auto c = static_cast<unsigned char>(s[0]);
  std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (n > s.size()) n = 1;
  char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  length = n;
  return cp;
}

char32_t back_code_point(std::string_view s, std::size_t& length) {
  std::size_t start = s.size() - 1;
  while (start > 0 && s.size() - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  std::size_t n = 0;
  const char32_t cp = front_code_point(s.substr(start), n);
  if (start + n != s.size()) {  // not one whole character: treat the last byte alone
    length = 1;
    return static_cast<unsigned char>(s.back());
  }
  length = n;
  return cp;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

LuaStateBorrow::LuaStateBorrow() : state_(&thread_lua_state()) {
  check(!lua_state_borrowed, "the thread's state is already in use");
  lua_state_borrowed = true;
}

LuaStateBorrow::~LuaStateBorrow() { lua_state_borrowed = false; }

SharedText make_text(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

std::optional<SharedText> current_own_theatre() {
  LuaStateBorrow state;
  if (!state->on_own_server()) return std::nullopt;
  return state->mission->theatre;
}

std::atomic<std::uint64_t>& mission_generation_counter() {
  static std::atomic<std::uint64_t> counter{0};
  return counter;
}

std::optional<std::uint64_t> valid_unit_id(std::optional<double> value) {
  if (!value) return std::nullopt;
  const double x = *value;
  if (!(x - std::trunc(x) == 0.0)) return std::nullopt;  // also NaN and infinities
  if (!(x > 0.0 && x < 9007199254740992.0)) return std::nullopt;
  return static_cast<std::uint64_t>(x);
}

std::string_view trim_unicode_space(std::string_view text) {
  while (!text.empty()) {
    std::size_t n = 0;
    if (!is_unicode_space(front_code_point(text, n))) break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    std::size_t n = 0;
    if (!is_unicode_space(back_code_point(text, n))) break;
    text.remove_suffix(n);
  }
  return text;
}

std::optional<double> map_heading(std::string_view theatre, double lat, double lon, double heading_radians) {
  if (!std::isfinite(heading_radians) || theatre != "Afghanistan" || !std::isfinite(lat) || !std::isfinite(lon))
    return std::nullopt;
  const double c =
      std::atan(std::tan((lon - 63.0) * 0.017453292519943295) * std::sin(lat * 0.017453292519943295)) *
      57.29577951308232;
  const double h = c + heading_radians * 57.29577951308232;
  double r = std::fmod(h, 360.0);
  if (r < 0.0) r += 360.0;
  r = std::round(r * 10.0) / 10.0;
  if (!(r < 360.0)) r -= 360.0;
  // A heading of exactly zero is written as 0.0, never "-0.0".
  if (r == 0.0) r = 0.0;
  return r;
}

}  // namespace qm
