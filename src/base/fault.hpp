#pragma once
// Faults: a broken invariant anywhere in the module. `fault` records the text as the last panic
// ("{message} at {file}:{line}") and throws `Fault`. Every Lua function and every thread body
// catches everything at its top (see `caught_message`); nothing may escape into Lua or out of a thread.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace qm {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] void fault(std::string_view message, std::source_location where = std::source_location::current());

inline void check(bool condition, std::string_view message,
                  std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]]
    fault(message, where);
}

// The one wording of an index beyond the table, column or list it indexes.
inline constexpr std::string_view kIndexOutOfRange = "index out of range";

inline void check_index(bool in_range, std::source_location where = std::source_location::current()) {
  if (!in_range) [[unlikely]]
    fault(kIndexOutOfRange, where);
}

// The same with the list's length and the index, where the message names them: "index out of
// bounds: the len is {len} but the index is {index}".
[[noreturn]] void index_out_of_bounds(std::size_t len, std::uint64_t index,
                                      std::source_location where = std::source_location::current());

// The repository-relative form of a compiler file path.
std::string_view relative_source_path(const char* file);

// Records "{message} at {file}:{line}" as the last panic, unless the last-panic lock is held right now.
void record_panic(std::string_view message, const char* file, unsigned line) noexcept;

// Call inside a catch block: the message of the exception being handled ("unknown" when it carries
// none). A `Fault` was recorded when it was raised; any other exception is recorded here, with the
// catch site as its location.
std::string caught_message(std::source_location where = std::source_location::current()) noexcept;

// Makes the last-panic slot once (the "panic hook" of this module: faults record into it).
// Safe to call from any thread.
void install_panic_hook();

// Tries the last-panic lock: nullopt when it is held right now (busy), else the last panic text
// (a null pointer before the first fault).
std::optional<std::shared_ptr<const std::string>> try_last_panic();

// The last panic text, waiting for the lock (held only to copy or store one reference); for the
// server's threads, never for the host's.
std::shared_ptr<const std::string> last_panic();

}  // namespace qm
