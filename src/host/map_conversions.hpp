#pragma once
// Map conversions made by the host: a batch of points goes to the host through the conversion
// queue and comes back as one result per point, or as unanswered when the wait ran out. Area
// outlines (latitude/longitude to map x, z) and block samples (map x, z to latitude/longitude)
// are converted this way when no transverse Mercator fits the map.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm {

namespace terrain {
struct HeightQueues;
}

// What the two coordinates of a question are and what the host answers.
enum class PointKind : std::uint8_t {
  kMapToGeographic = 2,  // map x, z -> latitude, longitude (block samples)
  kGeographicToMap = 3,  // latitude, longitude -> map x, z (area outlines)
};

struct ConversionResult {
  enum class State : std::uint8_t { kUnanswered, kNoPair, kPair };
  State state = State::kUnanswered;
  double a = 0.0;
  double b = 0.0;
};

struct Conversions {
  bool some_unanswered = false;
  std::vector<ConversionResult> results;  // one per point, in order
};

using TheatreRef = std::shared_ptr<const std::string>;

// Asks the host to convert the points and waits at most `wait` for the answers.
using ConvertPoints = std::function<Conversions(const std::vector<std::array<double, 2>>& points, PointKind kind,
                                                const TheatreRef& theatre, std::chrono::nanoseconds wait)>;

// The most points the conversion queue may hold with a new batch added.
inline constexpr std::size_t kConversionQueueLimit = 25000;

// The whole cycle through the conversion queue (kind 1): checks the queue limit (over it, every
// point is unanswered and nothing is queued), asks, waits at most `wait`, withdraws what is still
// queued, and reads each slot: unanswered when pending or never seen by the host, a pair when both
// values came back, else answered without a usable pair.
Conversions convert_points(const std::vector<std::array<double, 2>>& points, PointKind kind,
                           const TheatreRef& theatre, std::chrono::nanoseconds wait, terrain::HeightQueues& queues);

// `convert_points` over the given queues (the process-wide ones by default).
ConvertPoints host_converter();
ConvertPoints host_converter(terrain::HeightQueues& queues);

}  // namespace qm
