#include "server/request_head.hpp"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <limits>

#include "server/text_rules.hpp"

namespace qm::server {

namespace {

namespace http = boost::beast::http;
using boost::beast::error_code;
using boost::beast::string_view;

// Keeps the method, the target and at most 32 header fields; ignores any body.
class HeadParser final : public http::basic_parser<true> {
 public:
  HeadParser() {
    // The connection's buffer bounds the head; the parser must not apply a smaller limit.
    header_limit(std::numeric_limits<std::uint32_t>::max());
    eager(false);
  }

  RequestHead head;
  bool too_many = false;

 private:
  void on_request_impl(http::verb, string_view method, string_view target, int version, error_code&) override {
    head.method.assign(method.data(), method.size());
    head.target.assign(target.data(), target.size());
    head.version = version;
  }
  void on_response_impl(int, string_view, int, error_code& ec) override { ec = http::error::bad_version; }
  void on_field_impl(http::field, string_view name, string_view value, error_code& ec) override {
    if (head.fields.size() == max_head_fields) {
      too_many = true;
      ec = http::error::bad_field;
      return;
    }
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

}  // namespace

HeadParse parse_request_head(std::string_view bytes) {
  HeadParse result;
  HeadParser parser;
  error_code ec;
  const std::size_t used = parser.put(boost::asio::const_buffer(bytes.data(), bytes.size()), ec);
  if (ec == http::error::need_more) {
    result.outcome = HeadOutcome::partial;
    return result;
  }
  if (parser.too_many) {
    result.outcome = HeadOutcome::too_many_headers;
    return result;
  }
  if (ec || !parser.is_header_done()) {
    result.outcome = HeadOutcome::bad;
    return result;
  }
  RequestHead& head = parser.head;
  head.length = used;
  if ((head.version != 10 && head.version != 11) || has_folded_line(bytes.substr(0, used)) ||
      !is_valid_utf8(head.target)) {
    result.outcome = HeadOutcome::bad;
    return result;
  }
  result.outcome = HeadOutcome::complete;
  result.head = std::move(head);
  return result;
}

std::vector<std::string_view> field_values(const RequestHead& head, std::string_view name) {
  std::vector<std::string_view> out;
  for (const HeadField& f : head.fields)
    if (ascii_iequals(f.name, name)) out.emplace_back(f.value);
  return out;
}

}  // namespace qm::server
