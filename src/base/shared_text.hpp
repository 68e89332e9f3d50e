#pragma once
// Texts shared between threads without copying (theatre names, error texts, cached documents), and
// the two ways theatre names compare.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/handback.hpp"

namespace qm {

using SharedText = std::shared_ptr<const std::string>;

// An immutable text shared by reference count (copies of a record share their texts). Texts cross
// between the host's thread and the module's threads, so each is freed on the side that made it.
inline SharedText make_text(std::string text) { return platform::make_sided<const std::string>(std::move(text)); }

// Two theatres are the same when they are the same shared text (both absent included) or have the
// same bytes.
inline bool same_theatre(const SharedText& a, const SharedText& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

// Both theatres are present and have the same bytes: an absent theatre matches none, not even
// another absent one.
inline bool same_present_theatre(const std::string* a, const std::string* b) { return a && b && *a == *b; }
inline bool same_present_theatre(const SharedText& a, const SharedText& b) {
  return same_present_theatre(a.get(), b.get());
}

// The text a holder holds (a shared text or an optional one), or none: what the JSON writer's
// opt_text and the host rule take.
template <class Holder>
std::optional<std::string_view> opt_view(const Holder& text) {
  return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

}  // namespace qm
