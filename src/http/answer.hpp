#pragma once
// HTTP answers: one text from the status line to the body, with a fixed header block. Every
// answer is one per connection and closes it. The writers return the bytes to send; the error
// writers count one rejection first.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/shared_text.hpp"

namespace qm::server {

inline constexpr std::string_view content_type_json = "application/json";
inline constexpr std::string_view content_type_text = "text/plain; charset=utf-8";

// "HTTP/1.1 {code} {reason}\r\nContent-Type: ..\r\nContent-Length: ..\r\n{extra}Cache-Control:
// no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n{body}". `extra` holds
// zero or more whole header lines, each ending in "\r\n".
std::string format_answer(unsigned code, std::string_view reason, std::string_view content_type,
                          std::string_view body, std::string_view extra_headers);

// A text built once and read by many answers, which share it by reference count.

// The bytes of one answer: `text`, then the shared text (when there is one) and `tail`. The shared
// part is sent from where it lies, never copied into the answer.
struct Answer {
  std::string text;
  SharedText shared;
  std::string tail;

  Answer() = default;
  Answer(std::string whole) : text(std::move(whole)) {}  // a whole answer in one text

  std::size_t size() const { return text.size() + (shared ? shared->size() : 0) + tail.size(); }
  // Every byte in one text (for tests and checks).
  std::string flat() const;
};

// The counter every non-2xx answer adds one to (`ModuleStats` rejected).
using RejectedCounter = std::atomic<std::uint64_t>;

// 200 "OK", application/json.
std::string respond_json(std::string_view body, std::string_view extra_headers);
// 200 "OK", application/json, with the body `prefix`, the shared text and `suffix`: the shared text
// goes out by reference.
Answer respond_json(std::string_view prefix, SharedText shared, std::string_view suffix,
                    std::string_view extra_headers);
// An error answer with its own body, counted rejected.
std::string respond_text(RejectedCounter& rejected, unsigned code, std::string_view reason, std::string_view body,
                         std::string_view extra_headers);
// An error answer whose body is its reason phrase, counted rejected.
std::string respond_status(RejectedCounter& rejected, unsigned code, std::string_view reason,
                           std::string_view extra_headers);
// 429 "Too Many Requests" (or "Service Unavailable" for any other code) with a Retry-After line
// after the given extra headers, counted rejected.
std::string respond_busy(RejectedCounter& rejected, unsigned code, std::uint64_t retry_seconds, std::string_view body,
                         std::string_view extra_headers);

}  // namespace qm::server
