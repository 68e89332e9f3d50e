#pragma once
// Texts shared between threads without copying (theatre names, error texts, cached documents), and
// the two ways theatre names compare.
#include <memory>
#include <string>

namespace qm {

using SharedText = std::shared_ptr<const std::string>;

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

}  // namespace qm
