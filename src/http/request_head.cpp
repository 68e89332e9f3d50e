#include "http/request_head.hpp"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <limits>

#include "base/text_rules.hpp"

namespace qm::server {

namespace {

namespace http = boost::beast::http;
using boost::beast::error_code;
using boost::beast::string_view;

// Keeps the method, the target and the header fields (the caller gives it at most 32); ignores any
// body.
class HeadParser final : public http::basic_parser<true> {
 public:
  HeadParser() {
    // The connection's buffer bounds the head; the parser must not apply a smaller limit.
    header_limit(std::numeric_limits<std::uint32_t>::max());
    eager(false);
  }

  RequestHead head;

 private:
  void on_request_impl(http::verb, string_view method, string_view target, int version, error_code&) override {
    head.method.assign(method.data(), method.size());
    head.target.assign(target.data(), target.size());
    head.version = version;
  }
  void on_response_impl(int, string_view, int, error_code& ec) override { ec = http::error::bad_version; }
  void on_field_impl(http::field, string_view name, string_view value, error_code&) override {
    head.fields.push_back({std::string(name.data(), name.size()), std::string(value.data(), value.size())});
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(boost::optional<std::uint64_t> const&, error_code&) override {}
  std::size_t on_body_impl(string_view body, error_code&) override { return body.size(); }
  void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code&) override { return body.size(); }
  void on_finish_impl(error_code&) override {}
};

// A header line that starts with a space or a tab continues the line before it (obsolete folding).
bool has_folded_line(std::string_view head) {
  for (std::size_t i = 0; i + 2 < head.size(); ++i) {
    if (head[i] == '\n' && (head[i + 1] == ' ' || head[i + 1] == '\t')) return true;
  }
  return false;
}

// A whole head whose every line ends in CRLF, the blank line included: complete or bad.
HeadParse parse_whole_head(std::string_view head_text) {
  HeadParse result;
  HeadParser parser;
  error_code ec;
  parser.put(boost::asio::const_buffer(head_text.data(), head_text.size()), ec);
  if (ec || !parser.is_header_done()) {
    result.outcome = HeadOutcome::bad;
    return result;
  }
  RequestHead& head = parser.head;
  if ((head.version != 10 && head.version != 11) || has_folded_line(head_text) || !is_valid_utf8(head.target)) {
    result.outcome = HeadOutcome::bad;
    return result;
  }
  result.outcome = HeadOutcome::complete;
  result.head = std::move(head);
  return result;
}

}  // namespace

HeadParse parse_request_head(std::string_view bytes) {
  HeadParse result;
  std::size_t at = 0;
  // Empty lines before the request line are skipped.
  while (at < bytes.size()) {
    if (bytes[at] == '\n') {
      at += 1;
    } else if (bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n') {
      at += 2;
    } else if (bytes[at] == '\r' && at + 1 == bytes.size()) {
      return result;  // partial
    } else {
      break;
    }
  }
  // The lines up to the blank line, each given to the parser with a CRLF end whether it came with
  // one or with a bare LF.
  std::string lines;
  std::size_t header_lines = 0;
  for (std::size_t line = 0;; ++line) {
    if (at == bytes.size()) return result;  // partial
    if (line > 0) {
      const bool cr = bytes[at] == '\r';
      if (cr && at + 1 == bytes.size()) return result;  // partial
      if (bytes[at] == '\n' || (cr && bytes[at + 1] == '\n')) {
        lines.append("\r\n");
        result = parse_whole_head(lines);
        if (result.outcome == HeadOutcome::complete) result.head.length = at + (cr ? 2 : 1);
        return result;
      }
      // A header line has begun: the one past the limit makes the head too large at once, unless
      // a line before it is already wrong.
      if (++header_lines > max_head_fields) {
        lines.append("\r\n");
        result.outcome = parse_whole_head(lines).outcome == HeadOutcome::bad ? HeadOutcome::bad
                                                                              : HeadOutcome::too_many_headers;
        return result;
      }
    }
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) return result;  // partial
    std::string_view text = bytes.substr(at, end - at);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    lines.append(text);
    lines.append("\r\n");
    at = end + 1;
  }
}

std::vector<std::string_view> field_values(const RequestHead& head, std::string_view name) {
  std::vector<std::string_view> out;
  for (const HeadField& f : head.fields)
    if (ascii_iequals(f.name, name)) out.emplace_back(f.value);
  return out;
}

}  // namespace qm::server
