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

// The most points one conversion batch may put on the conversion queue.
inline constexpr std::size_t kConversionQueueLimit = 25000;

}  // namespace qm
