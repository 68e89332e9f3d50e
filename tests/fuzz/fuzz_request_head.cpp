// Feeds arbitrary bytes to the request-head reader (in receives of sizes the input chooses) and
// routes every complete head, checking that each answer is well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/head_reader.hpp"
#include "http/router.hpp"
#include "http/server.hpp"

namespace {

using namespace qm::server;

// The first byte of the input picks the receive sizes; the rest are the peer's bytes.
class FuzzSource final : public HeadSource {
 public:
  FuzzSource(std::string_view bytes, unsigned step) : bytes_(bytes), step_(step) {}
  Instant now() override { return clock_ += 1000000; }
  ReceiveResult receive(char* buffer, std::size_t length, std::uint64_t timeout_ms) override {
    if (timeout_ms == 0) std::abort();  // a zero time-out would mean "wait forever"
    if (bytes_.empty()) return {ReceiveResult::Kind::closed, 0};
    std::size_t n = step_ == 0 ? bytes_.size() : step_;
    n = std::min({n, length, bytes_.size()});
    std::copy_n(bytes_.data(), n, buffer);
    bytes_.remove_prefix(n);
    return {ReceiveResult::Kind::data, n};
  }

 private:
  std::string_view bytes_;
  unsigned step_;
  Instant clock_ = 0;
};

void check_answer(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) std::abort();
  const std::string_view tail = "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close";
  if (answer.compare(end - tail.size(), tail.size(), tail) != 0) std::abort();
  const std::size_t at = answer.find("\r\nContent-Length: ");
  if (at == std::string::npos) std::abort();
  const std::size_t length = std::strtoull(answer.c_str() + at + 18, nullptr, 10);
  if (length != answer.size() - end - 4) std::abort();
  // A header block never carries a line break that the peer smuggled in.
  const std::string head = answer.substr(0, end + 2);
  for (std::size_t i = 0; i < head.size(); ++i)
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned step = data[0] % 8 == 0 ? 0 : data[0];
  FuzzSource source(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), step);
  std::atomic<std::uint64_t> requests{0}, rejected{0}, last{0};
  RequestCounters counters{requests, rejected, last};
  const HeadRead read = read_request_head(source, server_config, 0, rejected);
  if (read.outcome == HeadRead::Outcome::answer) check_answer(read.answer);
  if (read.outcome != HeadRead::Outcome::complete) return 0;
  const auto json = [](const RouteRequest& r) { return respond_json("{}", r.origin.header_text); };
  const Routes routes{json, json, json, json, json};
  check_answer(answer_request(read.head, ListenerFacts{8080, std::string("192.168.1.20")}, counters, routes, 1).flat());
  return 0;
}
