#pragma once
// The process-wide record of mesh streams: the streams open now, how many were ever opened, how
// many ended for each reason, and the eight most recent ended streams. It lives for the whole
// process (it survives `stop` and `start`). Instants are monotonic nanoseconds (`now_ns`).
#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json.hpp"
#include "platform/handback.hpp"
#include "streams/end_reason.hpp"
#include "streams/stream_control.hpp"

namespace qm {

// One open mesh stream.
struct StreamRecord {
  std::optional<std::uint64_t> job_id;  // none for a job-less stream
  std::string page;
  std::string page_tag;  // the first four characters of the page (all of it when shorter)
  std::uint64_t opened = 0;  // monotonic instant
  StreamControlRef control;
  const char* state = "opening";  // static text
  std::uint64_t id = 0;
  std::uint64_t beats = 0;
  std::uint64_t bytes = 0;
  std::uint64_t squares_done = 0;
  std::uint64_t squares_total = 0;
  bool lan = false;
};

// One recently ended mesh stream.
struct EndedStream {
  std::string page_tag;
  std::uint64_t opened = 0;
  std::uint64_t ended = 0;
  EndReason reason = EndReason::error;
  std::uint64_t beats = 0;
  std::uint64_t bytes = 0;
  bool lan = false;
};

inline constexpr std::size_t kRecentEnded = 8;

// The recent ended streams, oldest first. The registry is made by whichever thread first uses it,
// the host's `status` among them, and changed by connection threads: its blocks go back to the side
// that made them.
using RecentStreams = std::deque<EndedStream, platform::SideAllocator<EndedStream>>;

// What `newest_open_stream` finds: the stream's control and its job, if it has one.
struct OpenStreamRef {
  StreamControlRef control;
  std::optional<std::uint64_t> job_id;
};

// Threads: connection threads open, update and end streams, waiting for the registry lock, which
// every operation holds for its own record only; a job's stream is opened with the schedule lock held
// (the schedule lock comes first). The host's `status` only tries the lock (`status_json`, `wait`
// false). The order of the locks: src/concurrency.md.
class StreamRegistry {
 public:
  StreamRegistry() = default;
  StreamRegistry(const StreamRegistry&) = delete;
  StreamRegistry& operator=(const StreamRegistry&) = delete;

  // Registers a stream in state "opening" and gives its id (ids start at 1, never reused).
  std::uint64_t stream_open(std::string_view page, bool lan, std::optional<std::uint64_t> job_id,
                            StreamControlRef control, std::uint64_t opened);

  // The open stream of this page (byte for byte) with the highest id whose replaced flag is clear.
  std::optional<OpenStreamRef> newest_open_stream(std::string_view page);

  // Stores the stream's progress; nothing when no open stream has the id.
  void stream_update(std::uint64_t id, std::uint64_t beats, std::uint64_t bytes, const char* state,
                     std::uint64_t squares_done, std::uint64_t squares_total);

  // Records the end of an open stream: its reason's counter, the record moved to the recent list.
  // An id that is not open (never was, or already ended) changes nothing.
  void stream_ended(std::uint64_t id, EndReason reason, std::uint64_t ended);

  // The "mesh" object of the status document, with `terrain_text` inserted after the epoch;
  // `now` is a monotonic instant. Waits for the lock, or with `wait` false only tries it (none when
  // it is held).
  std::optional<std::string> status_json(std::string_view terrain_text, std::uint64_t now, bool wait);

  // Copies for tests.
  std::vector<StreamRecord> open_streams();
  std::uint64_t opened_count();
  std::uint64_t end_count(EndReason reason);

 private:
  friend struct StreamsTestAccess;

  void status_json_locked(JsonWriter& w, std::string_view terrain_text, std::uint64_t now) const;

  std::mutex lock_;
  std::vector<StreamRecord> open_;
  std::uint64_t next_id_ = 0;
  std::uint64_t opened_ = 0;
  std::array<std::uint64_t, kEndReasons.size()> ends_{};
  RecentStreams recent_;
};

// The process-wide registry (made on first use, never destroyed).
StreamRegistry& stream_registry();

// The operations on the process-wide registry.
inline std::uint64_t stream_open(std::string_view page, bool lan, std::optional<std::uint64_t> job_id,
                                 StreamControlRef control, std::uint64_t opened) {
  return stream_registry().stream_open(page, lan, job_id, std::move(control), opened);
}
inline std::optional<OpenStreamRef> newest_open_stream(std::string_view page) {
  return stream_registry().newest_open_stream(page);
}
inline void stream_update(std::uint64_t id, std::uint64_t beats, std::uint64_t bytes, const char* state,
                          std::uint64_t squares_done, std::uint64_t squares_total) {
  stream_registry().stream_update(id, beats, bytes, state, squares_done, squares_total);
}
inline void stream_ended(std::uint64_t id, EndReason reason, std::uint64_t ended) {
  stream_registry().stream_ended(id, reason, ended);
}

// The first four characters of a page (all of it when shorter).
std::string page_tag(std::string_view page);

// The recent list as JSON objects, newest first, as elements of the array open in `w`.
void ended_streams_json(JsonWriter& w, const RecentStreams& recent, std::uint64_t now);

}  // namespace qm
