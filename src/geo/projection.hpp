#pragma once
// The map projection: a transverse Mercator with a fitted central meridian, uniform scale and two
// offsets, fitted from the nine anchor conversions and cached process-wide; or the blocks kind when
// no transverse Mercator reproduces the anchors to a millimetre; or none.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "host/anchors.hpp"
#include "geo/block_fit.hpp"
#include "geo/tm.hpp"

namespace qm {

struct Projection {
  enum Kind : std::uint64_t { kNone = 0, kTm = 1, kBlocks = 2 };
  std::uint64_t kind = kNone;
  double worst = 0.0;  // worst anchor residual in metres (tm and blocks)
  double central_meridian = 0.0;
  double scale = 0.0;
  double x_offset = 0.0;
  double z_offset = 0.0;

  bool is_tm() const { return kind == kTm; }
  TmParams tm() const { return {central_meridian, scale, x_offset, z_offset}; }
  // "none", "tm" or "blocks".
  const char* label() const;
};

using ProjectionRef = std::shared_ptr<const Projection>;

// One trial central meridian of the fit.
struct FitTrial {
  double central_meridian = 0.0;
  double scale = 0.0;
  double x_offset = 0.0;
  double z_offset = 0.0;
  double sum_squares = 0.0;  // square metres
  double worst = 0.0;        // metres
};

// Least-squares scale and offsets from the anchors projected about central meridian c to the
// anchors' map points.
FitTrial projection_error(double central_meridian, const Anchors& anchors);

// The fit itself, uncached. The anchors' values are checked, not their present flag.
ProjectionRef fit_projection(const Anchors& anchors);

// The cached fit for these anchors: absent anchors give a new none projection without touching the
// cache; equal anchors (all 18 values, bytewise) give the same shared projection; others are fitted
// with the cache lock held and replace the cached fit.
ProjectionRef projection_for(const Anchors& anchors);

// As projection_for, for callers that must never wait (the host's status call): only tries the
// cache lock and gives none (no value) when it is held elsewhere.
std::optional<ProjectionRef> try_projection_for(const Anchors& anchors);

// How a stream turns map points into geographic ones: a transverse Mercator, or the fits of the
// blocks projection (not owned; the caller keeps the map alive while it converts).
struct MapConversion {
  enum class Kind { kTm, kBlocks };
  Kind kind = Kind::kTm;
  TmParams tm;
  const BlockFitMap* blocks = nullptr;

  static MapConversion transverse_mercator(const TmParams& params) { return {Kind::kTm, params, nullptr}; }
  static MapConversion of_blocks(const BlockFitMap* fits) { return {Kind::kBlocks, {}, fits}; }
};

// A map point (x, z) to (latitude, longitude) in degrees; none for a point whose block has no fit.
std::optional<std::pair<double, double>> tm_inverse(const MapConversion& conversion, double x, double z);

}  // namespace qm
