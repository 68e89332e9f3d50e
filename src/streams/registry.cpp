#include "streams/registry.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/hashing.hpp"
#include "base/json.hpp"

namespace qm {

namespace {

double seconds_between(std::uint64_t from, std::uint64_t to) { return ns_to_seconds(saturating_sub(to, from)); }

// The counter of a reason, or none for a value that names no reason.
std::optional<std::size_t> reason_index(EndReason reason) {
  const auto index = static_cast<std::size_t>(reason);
  if (index < kEndReasons.size()) return index;
  return std::nullopt;
}

// The members an open and an ended stream share: the page's tag and whether it came from the LAN.
void stream_members(JsonWriter& w, std::string_view page_tag, bool lan) {
  w.key("page").text(page_tag);
  w.key("lan").boolean(lan);
}

}  // namespace

std::string page_tag(std::string_view page) {
  std::size_t end = 0;
  std::size_t characters = 0;
  while (end < page.size()) {
    // A character is a lead byte and the continuation bytes that follow it.
    std::size_t next = end + 1;
    while (next < page.size() && (static_cast<unsigned char>(page[next]) & 0xC0) == 0x80) ++next;
    if (characters == 4) break;
    ++characters;
    end = next;
  }
  return std::string(page.substr(0, end));
}

std::uint64_t StreamRegistry::stream_open(std::string_view page, bool lan, std::optional<std::uint64_t> job_id,
                                          StreamControlRef control, std::uint64_t opened) {
  StreamRecord record;
  record.job_id = job_id;
  record.page.assign(page);
  record.page_tag = page_tag(page);
  record.opened = opened;
  record.control = std::move(control);
  record.lan = lan;
  std::lock_guard guard(lock_);
  open_.reserve(open_.size() + 1);
  next_id_ += 1;
  opened_ += 1;
  record.id = next_id_;
  open_.push_back(std::move(record));
  return next_id_;
}

std::optional<OpenStreamRef> StreamRegistry::newest_open_stream(std::string_view page) {
  std::lock_guard guard(lock_);
  const StreamRecord* best = nullptr;
  for (const StreamRecord& r : open_) {
    if (r.page != page) continue;
    if (r.control && r.control->is_replaced()) continue;
    if (!best || r.id > best->id) best = &r;
  }
  if (!best) return std::nullopt;
  return OpenStreamRef{best->control, best->job_id};
}

void StreamRegistry::stream_update(std::uint64_t id, std::uint64_t beats, std::uint64_t bytes, const char* state,
                                   std::uint64_t squares_done, std::uint64_t squares_total) {
  std::lock_guard guard(lock_);
  for (StreamRecord& r : open_) {
    if (r.id != id) continue;
    r.beats = beats;
    r.bytes = bytes;
    r.state = state;
    r.squares_done = squares_done;
    r.squares_total = squares_total;
    return;
  }
}

void StreamRegistry::stream_ended(std::uint64_t id, EndReason reason, std::uint64_t ended) {
  std::lock_guard guard(lock_);
  const auto it = std::find_if(open_.begin(), open_.end(), [id](const StreamRecord& r) { return r.id == id; });
  if (it == open_.end()) return;
  const std::optional<std::size_t> index = reason_index(reason);
  if (index) ends_[*index] += 1;
  EndedStream done;
  done.page_tag = std::move(it->page_tag);
  done.opened = it->opened;
  done.ended = ended;
  done.reason = reason;
  done.beats = it->beats;
  done.bytes = it->bytes;
  done.lan = it->lan;
  // The last record takes the ended one's place.
  if (it != open_.end() - 1) *it = std::move(open_.back());
  open_.pop_back();
  if (recent_.size() >= kRecentEnded) recent_.pop_front();
  recent_.push_back(std::move(done));
}

void ended_streams_json(JsonWriter& w, const RecentStreams& recent, std::uint64_t now) {
  for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
    w.begin_object();
    stream_members(w, it->page_tag, it->lan);
    w.key("reason").text(end_reason_text(it->reason));
    w.key("seconds").number(seconds_between(it->opened, it->ended), 1);
    w.key("endedSecondsAgo").number(seconds_between(it->ended, now), 1);
    w.key("beats").integer(it->beats);
    w.key("bytes").integer(it->bytes);
    w.end_object();
  }
}

void StreamRegistry::status_json_locked(JsonWriter& w, std::string_view terrain_text, std::uint64_t now) const {
  w.begin_object();
  w.key("epoch").text(epoch_hex());
  w.raw_members(terrain_text);
  w.key("streams").begin_object();
  w.key("open").begin_array();
  std::vector<const StreamRecord*> sorted;
  sorted.reserve(open_.size());
  for (const StreamRecord& r : open_) sorted.push_back(&r);
  std::stable_sort(sorted.begin(), sorted.end(), [](const StreamRecord* a, const StreamRecord* b) { return a->id < b->id; });
  for (const StreamRecord* r : sorted) {
    w.begin_object();
    stream_members(w, r->page_tag, r->lan);
    w.key("seconds").number(seconds_between(r->opened, now), 1);
    w.key("beats").integer(r->beats);
    w.key("bytes").integer(r->bytes);
    w.key("state").text(r->state);
    w.key("squares").begin_object().key("done").integer(r->squares_done).key("total").integer(r->squares_total);
    w.end_object().end_object();
  }
  w.end_array();
  w.key("opened").integer(opened_);
  w.key("ends").begin_object();
  for (const EndReason reason : kEndReasons) w.key(end_reason_text(reason)).integer(ends_[*reason_index(reason)]);
  w.end_object();
  w.key("recent").begin_array();
  ended_streams_json(w, recent_, now);
  w.end_array().end_object().end_object();
}

std::optional<std::string> StreamRegistry::status_json(std::string_view terrain_text, std::uint64_t now, bool wait) {
  std::string out;
  out.reserve(512 + terrain_text.size() + 200 * kRecentEnded);
  std::unique_lock guard(lock_, std::defer_lock);
  if (wait) {
    guard.lock();
  } else if (!guard.try_lock()) {
    return std::nullopt;
  }
  JsonWriter w(out);
  status_json_locked(w, terrain_text, now);
  return out;
}

std::vector<StreamRecord> StreamRegistry::open_streams() {
  std::lock_guard guard(lock_);
  return open_;
}

std::uint64_t StreamRegistry::opened_count() {
  std::lock_guard guard(lock_);
  return opened_;
}

std::uint64_t StreamRegistry::end_count(EndReason reason) {
  std::lock_guard guard(lock_);
  const std::optional<std::size_t> index = reason_index(reason);
  return index ? ends_[*index] : 0;
}

StreamRegistry& stream_registry() {
  static StreamRegistry* const registry = new StreamRegistry();
  return *registry;
}

}  // namespace qm
