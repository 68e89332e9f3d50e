#include "host/map_conversions.hpp"

#include <algorithm>

#include "host/height_queue.hpp"

namespace qm {

Conversions convert_points(const std::vector<std::array<double, 2>>& points, PointKind kind,
                           const TheatreRef& theatre, std::chrono::nanoseconds wait, terrain::HeightQueues& queues) {
  Conversions out;
  if (points.empty()) return out;
  out.results.resize(points.size());
  if (terrain::queued_count(terrain::queue_conversions, queues) + points.size() > kConversionQueueLimit) {
    out.some_unanswered = true;  // nothing queued: every result stays unanswered
    return out;
  }
  std::vector<terrain::QuestionItem> items;
  items.reserve(points.size());
  for (const auto& p : points) items.push_back({p[0], p[1], static_cast<std::uint8_t>(kind)});
  const auto table = terrain::ask_heights(terrain::queue_conversions, items, theatre, nullptr, queues);
  const auto timeout = static_cast<std::uint64_t>(std::max<std::chrono::nanoseconds::rep>(wait.count(), 0));
  const bool all_answered = terrain::wait_answers(*table, timeout).first;
  if (!all_answered) terrain::withdraw_heights(terrain::queue_conversions, table, queues);
  const auto view = table->view();  // answers that came after the wait count too
  for (std::size_t i = 0; i < points.size(); ++i) {
    const terrain::AnswerSlot& slot = view.slots[i];
    ConversionResult& result = out.results[i];
    if (!slot.answered || view.seen[i] == 0) {
      result.state = ConversionResult::State::kUnanswered;
      out.some_unanswered = true;
    } else if (slot.a && slot.b) {
      result = {ConversionResult::State::kPair, *slot.a, *slot.b};
    } else {
      result.state = ConversionResult::State::kNoPair;
    }
  }
  return out;
}

ConvertPoints host_converter(terrain::HeightQueues& queues) {
  return [&queues](const std::vector<std::array<double, 2>>& points, PointKind kind, const TheatreRef& theatre,
                   std::chrono::nanoseconds wait) { return convert_points(points, kind, theatre, wait, queues); };
}

ConvertPoints host_converter() { return host_converter(terrain::height_queues()); }

}  // namespace qm
