#include "geo/projection.hpp"

#include <cmath>
#include <limits>
#include <mutex>

#include "geo/testing.hpp"
#include "platform/handback.hpp"

namespace qm {

namespace {

constexpr double kGolden = 0.6180339887498949;

bool anchors_valid(const Anchors& anchors) {
  for (int k = 0; k < 9; ++k) {
    const double lat = anchors.latitude(k);
    const double lon = anchors.longitude(k);
    if (!std::isfinite(lat) || !std::isfinite(lon)) return false;
    if (!(std::fabs(lat) < 89.0) || !(std::fabs(lon) <= 360.0)) return false;
  }
  return true;
}

// Fits are made by the host's `status` and by connection threads and shared through the cache:
// each is freed on the side that made it.
ProjectionRef make_none() { return platform::make_sided<const Projection>(); }

struct ProjectionCache {
  std::mutex lock;
  Anchors anchors;
  ProjectionRef last;
};

ProjectionCache& projection_cache() {
  static ProjectionCache* cache = new ProjectionCache();  // lives for the process
  return *cache;
}

// With the cache lock held: the cached projection when the anchors match, else a new fit stored.
ProjectionRef cached_or_fit(ProjectionCache& cache, const Anchors& anchors) {
  if (cache.last && cache.anchors.same_values(anchors)) return cache.last;
  ProjectionRef fitted = fit_projection(anchors);
  cache.anchors = anchors;
  cache.last = fitted;
  return fitted;
}

}  // namespace

const char* Projection::label() const {
  switch (kind) {
    case kTm:
      return "tm";
    case kBlocks:
      return "blocks";
    default:
      return "none";
  }
}

FitTrial projection_error(double central_meridian, const Anchors& anchors) {
  double p[9], q[9];
  double p_mean = 0.0, q_mean = 0.0, x_mean = 0.0, z_mean = 0.0;
  for (int i = 0; i < 9; ++i) {
    const auto [pi, qi] = tm_forward(anchors.latitude(i), anchors.longitude(i) - central_meridian);
    p[i] = pi;
    q[i] = qi;
    p_mean += pi;
    q_mean += qi;
    x_mean += Anchors::kMapPoints[static_cast<std::size_t>(i)][0];
    z_mean += Anchors::kMapPoints[static_cast<std::size_t>(i)][1];
  }
  p_mean /= 9.0;
  q_mean /= 9.0;
  x_mean /= 9.0;
  z_mean /= 9.0;
  double numerator = 0.0, denominator = 0.0;
  for (int i = 0; i < 9; ++i) {
    const double x = Anchors::kMapPoints[static_cast<std::size_t>(i)][0];
    const double z = Anchors::kMapPoints[static_cast<std::size_t>(i)][1];
    numerator += (p[i] - p_mean) * (x - x_mean) + (q[i] - q_mean) * (z - z_mean);
    denominator += (p[i] - p_mean) * (p[i] - p_mean) + (q[i] - q_mean) * (q[i] - q_mean);
  }
  FitTrial trial;
  trial.central_meridian = central_meridian;
  trial.scale = numerator / denominator;
  trial.x_offset = x_mean - trial.scale * p_mean;
  trial.z_offset = z_mean - trial.scale * q_mean;
  for (int i = 0; i < 9; ++i) {
    const double x = Anchors::kMapPoints[static_cast<std::size_t>(i)][0];
    const double z = Anchors::kMapPoints[static_cast<std::size_t>(i)][1];
    const double r = std::hypot(trial.scale * p[i] + trial.x_offset - x, trial.scale * q[i] + trial.z_offset - z);
    trial.sum_squares += r * r;
    if (r > trial.worst) trial.worst = r;  // a NaN residual is passed over
  }
  return trial;
}

ProjectionRef fit_projection(const Anchors& anchors) {
  if (!anchors_valid(anchors)) return make_none();
  double sum = 0.0;
  for (int k = 0; k < 9; ++k) sum += anchors.longitude(k);
  const double mean = sum / 9.0;

  double best = mean;
  double best_sum = std::numeric_limits<double>::infinity();
  for (int k = -24; k <= 24; ++k) {
    const double c = mean + 0.25 * k;
    const double s = projection_error(c, anchors).sum_squares;
    if (s < best_sum) {
      best_sum = s;
      best = c;
    }
  }

  double a = best - 0.25;
  double b = best + 0.25;
  double c1 = b - kGolden * (b - a);
  double c2 = a + kGolden * (b - a);
  double f1 = projection_error(c1, anchors).sum_squares;
  double f2 = projection_error(c2, anchors).sum_squares;
  do {
    if (f2 > f1) {
      b = c2;
      c2 = c1;
      f2 = f1;
      c1 = b - kGolden * (b - a);
      f1 = projection_error(c1, anchors).sum_squares;
    } else {
      a = c1;
      c1 = c2;
      f1 = f2;
      c2 = a + kGolden * (b - a);
      f2 = projection_error(c2, anchors).sum_squares;
    }
  } while (b - a > 1e-11);

  const FitTrial final_trial = projection_error((a + b) / 2.0, anchors);
  if (!std::isfinite(final_trial.scale) || !(final_trial.scale > 0.0) || !std::isfinite(final_trial.sum_squares)) {
    return make_none();
  }
  auto projection = platform::make_sided<Projection>();
  projection->worst = final_trial.worst;
  if (final_trial.worst < 0.001) {
    projection->kind = Projection::kTm;
    projection->central_meridian = final_trial.central_meridian;
    projection->scale = final_trial.scale;
    projection->x_offset = final_trial.x_offset;
    projection->z_offset = final_trial.z_offset;
  } else {
    projection->kind = Projection::kBlocks;
  }
  return projection;
}

ProjectionRef projection_for(const Anchors& anchors) {
  if (!anchors.is_present()) return make_none();
  ProjectionCache& cache = projection_cache();
  std::lock_guard guard(cache.lock);
  return cached_or_fit(cache, anchors);
}

std::mutex& projection_cache_lock() { return projection_cache().lock; }

std::optional<ProjectionRef> try_projection_for(const Anchors& anchors) {
  if (!anchors.is_present()) return make_none();
  ProjectionCache& cache = projection_cache();
  std::unique_lock guard(cache.lock, std::try_to_lock);
  if (!guard.owns_lock()) return std::nullopt;
  return cached_or_fit(cache, anchors);
}

std::optional<std::pair<double, double>> tm_inverse(const MapConversion& conversion, double x, double z) {
  if (conversion.kind == MapConversion::Kind::kBlocks) return evaluate_blocks(conversion.blocks, x, z);
  return tm_inverse_point(conversion.tm, x, z);
}

}  // namespace qm
