#pragma once
// The numeric helpers shared by the whole module: the one saturating float-to-integer conversion,
// saturating integer sums and products, floor division, the two rounding rules and the total
// order of doubles, and the plain decimal numbers of request texts.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <string_view>
#include <type_traits>

namespace qm {

// Float to integer, saturating at the target's limits; NaN gives 0.
template <class I>
constexpr I saturate(double value) {
  static_assert(std::is_integral_v<I>);
  if (value != value) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
  // 2^bits (or 2^(bits-1) for signed) as an exact double: anything at or above it saturates.
  constexpr double hi_exclusive = static_cast<double>(std::numeric_limits<I>::max() / 2 + 1) * 2.0;
  if (value <= lo) return std::numeric_limits<I>::min();
  if (value >= hi_exclusive) return std::numeric_limits<I>::max();
  return static_cast<I>(value);  // truncates toward zero, in range
}

// Degrees and radians.
inline constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
inline constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;

// Integer sum and product that stop at the type's limits instead of wrapping.
template <class I>
constexpr I saturating_add(I a, I b) {
  static_assert(std::is_integral_v<I>);
  I sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  if constexpr (std::is_signed_v<I>) {
    if (b < 0) return std::numeric_limits<I>::min();
  }
  return std::numeric_limits<I>::max();
}

template <class I>
constexpr I saturating_mul(I a, I b) {
  static_assert(std::is_unsigned_v<I>);
  I product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<I>::max() : product;
}

// Floor division and the matching non-negative remainder for a positive divisor.
template <class I>
constexpr I floor_div(I a, I b) {
  static_assert(std::is_signed_v<I>);
  I q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

template <class I>
constexpr I floor_mod(I a, I b) {
  return a - floor_div(a, b) * b;
}

// Rounding with halves away from zero.
inline double round_half_away(double x) { return std::round(x); }

// Rounding with halves to the even neighbour.
inline double round_half_even(double x) {
  const double r = std::round(x);
  if (std::fabs(x - std::trunc(x)) == 0.5) return 2.0 * std::round(x / 2.0);
  return r;
}

// The total order of doubles (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN), as a sortable key.
inline std::int64_t total_order_key(double x) {
  std::int64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// A plain decimal number filling the whole text: an optional leading "-", digits with at most one
// ".", at least one digit, and a finite value. No exponent, no "+", no white space.
std::optional<double> parse_plain_decimal(std::string_view text);

}  // namespace qm
