#include "http/head_reader.hpp"

#include <algorithm>
#include <vector>

#include "http/server.hpp"
#include "platform/time_units.hpp"

namespace qm::server {

std::uint64_t millis_left(Instant now, Instant deadline) {
  if (now >= deadline) return 0;
  const Instant ns = deadline - now;
  return millis_rounded_up(ns);
}

HeadRead read_request_head(HeadSource& source, const ServerConfig& config, Instant start, RejectedCounter& rejected) {
  HeadRead result;
  const Instant head_deadline = start + config.head_timeout;
  const Instant first_byte_deadline = start + std::min(config.first_byte_timeout, config.head_timeout);
  std::vector<char> buffer(static_cast<std::size_t>(config.head_bytes));
  std::size_t filled = 0;
  std::uint64_t receives = 0;
  while (true) {
    const Instant deadline = filled == 0 ? first_byte_deadline : head_deadline;
    const std::uint64_t left = millis_left(source.now(), deadline);
    if (left == 0 || receives == config.head_reads) {
      rejected.fetch_add(1, std::memory_order_relaxed);
      return result;  // close, no answer
    }
    if (filled == buffer.size()) {
      result.outcome = HeadRead::Outcome::answer;
      result.answer = respond_status(rejected, 431, "Request Header Fields Too Large", "");
      return result;
    }
    const ReceiveResult got = source.receive(buffer.data() + filled, buffer.size() - filled, left);
    switch (got.kind) {
      case ReceiveResult::Kind::setup_failed:
      case ReceiveResult::Kind::closed:
        return result;  // close, not counted
      case ReceiveResult::Kind::interrupted:
        ++receives;
        continue;
      case ReceiveResult::Kind::failed:
        rejected.fetch_add(1, std::memory_order_relaxed);
        return result;
      case ReceiveResult::Kind::data:
        break;
    }
    filled += std::min(got.bytes, buffer.size() - filled);
    HeadParse parse = parse_request_head(std::string_view(buffer.data(), filled));
    switch (parse.outcome) {
      case HeadOutcome::partial:
        ++receives;
        continue;
      case HeadOutcome::too_many_headers:
        result.outcome = HeadRead::Outcome::answer;
        result.answer = respond_status(rejected, 431, "Request Header Fields Too Large", "");
        return result;
      case HeadOutcome::bad:
        result.outcome = HeadRead::Outcome::answer;
        result.answer = respond_status(rejected, 400, "Bad Request", "");
        return result;
      case HeadOutcome::complete:
        result.outcome = HeadRead::Outcome::complete;
        result.head = std::move(parse.head);
        return result;
    }
  }
}

}  // namespace qm::server
