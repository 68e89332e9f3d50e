#include "http/answer.hpp"

namespace qm::server {

namespace {

// The status line and the header block of an answer whose body has `body_length` bytes, with room
// for `room` bytes more.
std::string answer_head(unsigned code, std::string_view reason, std::string_view content_type,
                        std::size_t body_length, std::string_view extra_headers, std::size_t room) {
  const std::string code_text = std::to_string(code);
  const std::string length_text = std::to_string(body_length);
  static constexpr std::string_view fixed =
      "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
  std::string out;
  out.reserve(64 + code_text.size() + reason.size() + content_type.size() + length_text.size() +
              extra_headers.size() + fixed.size() + room);
  out += "HTTP/1.1 ";
  out += code_text;
  out += ' ';
  out += reason;
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: ";
  out += length_text;
  out += "\r\n";
  out += extra_headers;
  out += fixed;
  return out;
}

}  // namespace

std::string format_answer(unsigned code, std::string_view reason, std::string_view content_type,
                          std::string_view body, std::string_view extra_headers) {
  std::string out = answer_head(code, reason, content_type, body.size(), extra_headers, body.size());
  out += body;
  return out;
}

std::string Answer::flat() const {
  std::string out;
  out.reserve(size());
  out += text;
  if (shared) out += *shared;
  out += tail;
  return out;
}

std::string respond_json(std::string_view body, std::string_view extra_headers) {
  return format_answer(200, "OK", content_type_json, body, extra_headers);
}

Answer respond_json(std::string_view prefix, SharedText shared, std::string_view suffix,
                    std::string_view extra_headers) {
  const std::size_t length = prefix.size() + (shared ? shared->size() : 0) + suffix.size();
  Answer answer;
  answer.text = answer_head(200, "OK", content_type_json, length, extra_headers, prefix.size());
  answer.text += prefix;
  answer.shared = std::move(shared);
  answer.tail = suffix;
  return answer;
}

std::string respond_text(RejectedCounter& rejected, unsigned code, std::string_view reason, std::string_view body,
                         std::string_view extra_headers) {
  rejected.fetch_add(1, std::memory_order_relaxed);
  return format_answer(code, reason, content_type_text, body, extra_headers);
}

std::string respond_status(RejectedCounter& rejected, unsigned code, std::string_view reason,
                           std::string_view extra_headers) {
  return respond_text(rejected, code, reason, reason, extra_headers);
}

std::string respond_busy(RejectedCounter& rejected, unsigned code, std::uint64_t retry_seconds, std::string_view body,
                         std::string_view extra_headers) {
  std::string extra(extra_headers);
  extra += "Retry-After: ";
  extra += std::to_string(retry_seconds);
  extra += "\r\n";
  return respond_text(rejected, code, code == 429 ? "Too Many Requests" : "Service Unavailable", body, extra);
}

}  // namespace qm::server
