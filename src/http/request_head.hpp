#pragma once
// Request heads: the bytes a connection has read so far, parsed as one HTTP/1.x request head.
// The whole buffer is parsed again after every receive.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::server {

// At most this many header fields fit a head; one more is "too many headers".
inline constexpr std::size_t max_head_fields = 32;

struct HeadField {
  std::string name;   // as received
  std::string value;  // as received, without the white space around it
};

struct RequestHead {
  std::string method;
  std::string target;
  int version = 11;  // 10 or 11
  std::vector<HeadField> fields;
  std::size_t length = 0;  // bytes of the head as received, empty lines before it and the blank line included
};

enum class HeadOutcome {
  complete,          // a whole head
  partial,           // need more bytes
  too_many_headers,  // more than 32 header fields (431)
  bad,               // any other parse error (400)
};

struct HeadParse {
  HeadOutcome outcome = HeadOutcome::partial;
  RequestHead head;  // filled when complete
};

// Parses the bytes read so far. Empty lines before the request line are skipped, and a line may
// end in CRLF or in a bare LF. As soon as a 33rd header line has begun the head has too many
// header fields, whether its blank line has come or not (unless a line before it is wrong). Beyond
// the parser's own rules, a folded header line (a line that starts with a space or a tab) and a
// target that is not UTF-8 are errors.
HeadParse parse_request_head(std::string_view bytes);

// The values of every field with this name (ASCII case ignored), in order.
std::vector<std::string_view> field_values(const RequestHead& head, std::string_view name);

}  // namespace qm::server
