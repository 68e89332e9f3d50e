// Prints the time of one anchor fit and of 10^6 forward and inverse transverse Mercator transforms.
#include <chrono>
#include <cstdio>

#include "bench/bench_timing.hpp"
#include "geo/projection.hpp"

using namespace qm;
using qm::bench::seconds_since;

int main() {
  const TmParams tm{33.0, 0.9996, -4998765.4321, 123456.789};
  Anchors anchors;
  anchors.present = 1;
  for (int k = 0; k < 9; ++k) {
    const auto [lat, lon] = tm_inverse_point(tm, Anchors::kMapPoints[k][0], Anchors::kMapPoints[k][1]);
    anchors.values[2 * k] = lat;
    anchors.values[2 * k + 1] = lon;
  }

  constexpr int kFits = 200;
  auto start = std::chrono::steady_clock::now();
  double sink = 0.0;
  for (int i = 0; i < kFits; ++i) sink += fit_projection(anchors)->central_meridian;
  const double fit_seconds = seconds_since(start) / kFits;

  constexpr int kCalls = 1000000;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    const auto [p, q] = tm_forward(40.0 + (i % 1000) * 0.005, -2.0 + (i % 997) * 0.004);
    sink += p + q;
  }
  const double forward_seconds = seconds_since(start);

  const auto conversion = MapConversion::transverse_mercator(tm);
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    const auto ll = tm_inverse(conversion, -200000.0 + (i % 1000) * 400.0, -200000.0 + (i % 997) * 401.0);
    sink += ll->first + ll->second;
  }
  const double inverse_seconds = seconds_since(start);

  std::printf("fit_projection: %.1f us per fit (mean of %d)\n", fit_seconds * 1e6, kFits);
  std::printf("tm_forward: %.3f s for 10^6 calls (%.1f ns per call)\n", forward_seconds, forward_seconds * 1e3);
  std::printf("tm_inverse: %.3f s for 10^6 calls (%.1f ns per call)\n", inverse_seconds, inverse_seconds * 1e3);
  std::printf("(checksum %.3f)\n", sink);
  return 0;
}
