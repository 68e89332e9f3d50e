#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "base/numeric.hpp"

namespace qm {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(Saturate, ClampsAtTheLimitsAndMapsNanToZero) {
  struct Case {
    double in;
    std::int32_t i32;
    std::int64_t i64;
    std::uint64_t u64;
  };
  const Case cases[] = {
      {0.0, 0, 0, 0},
      {-0.9, 0, 0, 0},
      {2.9, 2, 2, 2},
      {-2.9, -2, -2, 0},
      {nan, 0, 0, 0},
      {inf, INT32_MAX, INT64_MAX, UINT64_MAX},
      {-inf, INT32_MIN, INT64_MIN, 0},
      {2147483647.0, INT32_MAX, 2147483647, 2147483647},
      {2147483648.0, INT32_MAX, 2147483648, 2147483648},
      {-2147483649.0, INT32_MIN, -2147483649, 0},
      {9223372036854775808.0, INT32_MAX, INT64_MAX, 9223372036854775808ull},
      {18446744073709551616.0, INT32_MAX, INT64_MAX, UINT64_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(saturate<std::int32_t>(c.in), c.i32) << c.in;
    EXPECT_EQ(saturate<std::int64_t>(c.in), c.i64) << c.in;
    EXPECT_EQ(saturate<std::uint64_t>(c.in), c.u64) << c.in;
  }
}

TEST(SaturatingArithmetic, StopsAtTheLimitsInsteadOfWrapping) {
  constexpr auto u_max = std::numeric_limits<std::uint64_t>::max();
  constexpr auto i_max = std::numeric_limits<std::int64_t>::max();
  constexpr auto i_min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(saturating_add<std::uint64_t>(u_max - 1, 1), u_max);
  EXPECT_EQ(saturating_add<std::uint64_t>(u_max - 1, 2), u_max);
  EXPECT_EQ(saturating_add<std::uint64_t>(3, 4), 7u);
  EXPECT_EQ(saturating_add<std::int64_t>(i_max, 1), i_max);
  EXPECT_EQ(saturating_add<std::int64_t>(i_min, -1), i_min);
  EXPECT_EQ(saturating_add<std::int64_t>(i_min, i_max), -1);
  EXPECT_EQ(saturating_add<std::int64_t>(-5, 3), -2);
  EXPECT_EQ(saturating_mul<std::uint64_t>(u_max / 2, 2), u_max - 1);
  EXPECT_EQ(saturating_mul<std::uint64_t>(u_max / 2 + 1, 2), u_max);
  EXPECT_EQ(saturating_mul<std::uint64_t>(0, u_max), 0u);
}

TEST(FloorDiv, RoundsTowardNegativeInfinity) {
  struct Case {
    std::int64_t a, b, q, r;
  };
  const Case cases[] = {{7, 2, 3, 1}, {-7, 2, -4, 1}, {-8, 2, -4, 0}, {-1, 64, -1, 63}, {0, 64, 0, 0}, {-64, 64, -1, 0},
                        {-65, 64, -2, 63}};
  for (const Case& c : cases) {
    EXPECT_EQ(floor_div(c.a, c.b), c.q) << c.a << "/" << c.b;
    EXPECT_EQ(floor_mod(c.a, c.b), c.r) << c.a << "%" << c.b;
  }
}

TEST(Rounding, HalvesAwayAndHalvesEven) {
  const double in[] = {0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 2.4999, 2.5001};
  const double away[] = {1, 2, 3, -1, -2, -3, 2, 3};
  const double even[] = {0, 2, 2, -0.0, -2, -2, 2, 3};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(round_half_away(in[i]), away[i]) << in[i];
    EXPECT_EQ(round_half_even(in[i]), even[i]) << in[i];
  }
}

TEST(TotalOrder, SortsEveryDouble) {
  std::vector<double> values = {1.0, -0.0, nan, -inf, 0.0, inf, -1.0, -nan};
  std::sort(values.begin(), values.end(), total_order_less);
  EXPECT_TRUE(std::isnan(values[0]) && std::signbit(values[0]));
  EXPECT_EQ(values[1], -inf);
  EXPECT_EQ(values[2], -1.0);
  EXPECT_TRUE(values[3] == 0.0 && std::signbit(values[3]));
  EXPECT_TRUE(values[4] == 0.0 && !std::signbit(values[4]));
  EXPECT_EQ(values[5], 1.0);
  EXPECT_EQ(values[6], inf);
  EXPECT_TRUE(std::isnan(values[7]) && !std::signbit(values[7]));
}

}  // namespace
}  // namespace qm
