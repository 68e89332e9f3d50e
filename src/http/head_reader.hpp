#pragma once
// Reading one request head under the connection's two deadlines: at most 0.5 s to the first byte,
// 2 s for the whole head, at most 16 receives and 16384 bytes. The bytes come from a `HeadSource`
// (the connection's socket, or a test's script of receives).
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/answer.hpp"
#include "http/request_head.hpp"

namespace qm::server {

struct ServerConfig;
using Instant = std::uint64_t;

struct ReceiveResult {
  enum class Kind {
    data,          // `bytes` > 0 bytes arrived
    closed,        // the peer closed or shut down (0 bytes, or the error for a connection shut down)
    interrupted,   // an interrupted receive: counts as one receive
    failed,        // any other error, a time-out included
    setup_failed,  // the receive time-out could not be set
  } kind = Kind::failed;
  std::size_t bytes = 0;
};

class HeadSource {
 public:
  virtual ~HeadSource() = default;
  virtual Instant now() = 0;
  // One receive into `buffer`, waiting at most `timeout_ms` milliseconds (never 0).
  virtual ReceiveResult receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) = 0;
};

struct HeadRead {
  enum class Outcome {
    complete,  // `head` holds the request
    close,     // close without an answer (counted rejected or not, as the case says)
    answer,    // send `answer` (431 or 400, already counted rejected)
  } outcome = Outcome::close;
  RequestHead head;
  std::string answer;
};

// Milliseconds from `now` to `deadline`, rounded up (0 when the deadline has passed).
std::uint64_t millis_left(Instant now, Instant deadline);

HeadRead read_request_head(HeadSource& source, const ServerConfig& config, Instant start, RejectedCounter& rejected);

}  // namespace qm::server
