#pragma once
// The text of the fault that a piece of code raises, for tests that check fault messages.
#include <functional>
#include <string>

#include "base/fault.hpp"

namespace qm::testing {

// The full text of the Fault that `body` raises ("text at src/file.cpp:LINE"), or "no fault".
inline std::string fault_text(const std::function<void()>& body) {
  try {
    body();
  } catch (const Fault& e) {
    return e.what();
  }
  return "no fault";
}

}  // namespace qm::testing
