#include "streams/registry.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/hashing.hpp"
#include "base/json.hpp"

namespace qm {

namespace {

double seconds_between(std::uint64_t from, std::uint64_t to) { return ns_to_seconds(saturating_sub(to, from)); }

// The static text of a reason, or none when it is not one of the nine.
std::optional<std::size_t> reason_index(std::string_view reason) {
  for (std::size_t i = 0; i < kEndReasons.size(); ++i)
    if (kEndReasons[i] == reason) return i;
  return std::nullopt;
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

void StreamRegistry::stream_ended(std::uint64_t id, std::string_view reason, std::uint64_t ended) {
  std::lock_guard guard(lock_);
  const auto it = std::find_if(open_.begin(), open_.end(), [id](const StreamRecord& r) { return r.id == id; });
  if (it == open_.end()) return;
  const std::optional<std::size_t> index = reason_index(reason);
  if (index) ends_[*index] += 1;
  EndedStream done;
  done.page_tag = std::move(it->page_tag);
  done.opened = it->opened;
  done.ended = ended;
  done.reason = index ? kEndReasons[*index].data() : "";
  done.beats = it->beats;
  done.bytes = it->bytes;
  done.lan = it->lan;
  // The last record takes the ended one's place.
  if (it != open_.end() - 1) *it = std::move(open_.back());
  open_.pop_back();
  if (recent_.size() >= kRecentEnded) recent_.pop_front();
  recent_.push_back(std::move(done));
}

void ended_streams_json(std::string& out, const RecentStreams& recent, std::uint64_t now) {
  bool first = true;
  for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
    if (!first) out.push_back(',');
    first = false;
    out.append("{\"page\":");
    json_quote(out, it->page_tag);
    out.append(",\"lan\":");
    json_bool(out, it->lan);
    out.append(",\"reason\":\"");
    out.append(it->reason);
    out.append("\",\"seconds\":");
    json_number(out, seconds_between(it->opened, it->ended), 1);
    out.append(",\"endedSecondsAgo\":");
    json_number(out, seconds_between(it->ended, now), 1);
    out.append(",\"beats\":");
    json_uint(out, it->beats);
    out.append(",\"bytes\":");
    json_uint(out, it->bytes);
    out.push_back('}');
  }
}

void StreamRegistry::status_json_locked(std::string& out, std::string_view terrain_text, std::uint64_t now) const {
  out.append("{\"epoch\":\"");
  out.append(epoch_hex());
  out.append("\",");
  out.append(terrain_text);
  out.append(",\"streams\":{\"open\":[");
  std::vector<const StreamRecord*> sorted;
  sorted.reserve(open_.size());
  for (const StreamRecord& r : open_) sorted.push_back(&r);
  std::stable_sort(sorted.begin(), sorted.end(), [](const StreamRecord* a, const StreamRecord* b) { return a->id < b->id; });
  bool first = true;
  for (const StreamRecord* r : sorted) {
    if (!first) out.push_back(',');
    first = false;
    out.append("{\"page\":");
    json_quote(out, r->page_tag);
    out.append(",\"lan\":");
    json_bool(out, r->lan);
    out.append(",\"seconds\":");
    json_number(out, seconds_between(r->opened, now), 1);
    out.append(",\"beats\":");
    json_uint(out, r->beats);
    out.append(",\"bytes\":");
    json_uint(out, r->bytes);
    out.append(",\"state\":\"");
    out.append(r->state);
    out.append("\",\"squares\":{\"done\":");
    json_uint(out, r->squares_done);
    out.append(",\"total\":");
    json_uint(out, r->squares_total);
    out.append("}}");
  }
  out.append("],\"opened\":");
  json_uint(out, opened_);
  out.append(",\"ends\":{");
  for (std::size_t i = 0; i < kEndReasons.size(); ++i) {
    if (i > 0) out.push_back(',');
    out.push_back('"');
    out.append(kEndReasons[i]);
    out.append("\":");
    json_uint(out, ends_[i]);
  }
  out.append("},\"recent\":[");
  ended_streams_json(out, recent_, now);
  out.append("]}}");
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
  status_json_locked(out, terrain_text, now);
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

std::uint64_t StreamRegistry::end_count(std::string_view reason) {
  std::lock_guard guard(lock_);
  const std::optional<std::size_t> index = reason_index(reason);
  return index ? ends_[*index] : 0;
}

StreamRegistry& stream_registry() {
  static StreamRegistry* const registry = new StreamRegistry();
  return *registry;
}

}  // namespace qm
