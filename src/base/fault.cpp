#include "base/fault.hpp"

#include <charconv>
#include <cstring>
#include <mutex>
#include <new>

#include "base/shared_text.hpp"
#include "base/testing.hpp"

#ifndef QM_SOURCE_ROOT
#define QM_SOURCE_ROOT ""
#endif

namespace qm {

namespace {

struct PanicSlot {
  std::mutex lock;
  std::shared_ptr<const std::string> text;
};

PanicSlot& panic_slot() {
  static PanicSlot* slot = new PanicSlot();  // never destroyed: detached threads may fault at exit
  return *slot;
}

}  // namespace

std::string_view relative_source_path(const char* file) {
  std::string_view path(file ? file : "");
  const std::string_view root(QM_SOURCE_ROOT);
  if (!root.empty() && path.substr(0, root.size()) == root) path.remove_prefix(root.size());
  return path;
}

void record_panic(std::string_view message, const char* file, unsigned line) noexcept {
  try {
    std::string text;
    text.reserve(message.size() + 64);
    text.append(message);
    text.append(" at ");
    text.append(relative_source_path(file));
    text.push_back(':');
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, line).ptr;
    text.append(digits, end);
    SharedText shared = make_text(std::move(text));
    PanicSlot& slot = panic_slot();
    std::unique_lock guard(slot.lock, std::try_to_lock);
    if (guard.owns_lock()) slot.text = std::move(shared);
  } catch (...) {
    // Out of memory while recording: the text is lost, the fault itself goes on.
  }
}

void fault(std::string_view message, std::source_location where) {
  record_panic(message, where.file_name(), where.line());
  throw Fault(std::string(message));
}

void index_out_of_bounds(std::size_t len, std::uint64_t index, std::source_location where) {
  fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index),
        where);
}

std::string caught_message(std::source_location where) noexcept {
  try {
    try {
      throw;
    } catch (const Fault& f) {
      return f.message();
    } catch (const std::bad_alloc&) {
      record_panic("out of memory", where.file_name(), where.line());
      return "out of memory";
    } catch (const std::exception& e) {
      std::string text = e.what() ? e.what() : "unknown";
      record_panic(text, where.file_name(), where.line());
      return text;
    } catch (...) {
      record_panic("unknown", where.file_name(), where.line());
      return "unknown";
    }
  } catch (...) {
    return "unknown";
  }
}

void install_panic_hook() {
  static std::once_flag once;
  std::call_once(once, [] { (void)panic_slot(); });
}

std::optional<std::shared_ptr<const std::string>> try_last_panic() {
  PanicSlot& slot = panic_slot();
  std::unique_lock guard(slot.lock, std::try_to_lock);
  if (!guard.owns_lock()) return std::nullopt;
  return slot.text;
}

std::mutex& last_panic_lock() { return panic_slot().lock; }

std::shared_ptr<const std::string> last_panic() {
  PanicSlot& slot = panic_slot();
  std::lock_guard guard(slot.lock);
  return slot.text;
}

}  // namespace qm
