#pragma once
// Transverse Mercator on the WGS 84 ellipsoid: Krueger's series to sixth order in the third
// flattening (Karney's form), with scale 1 on the central meridian and no false origin. The fitted
// scale and offsets of the map projection take the place of a false easting and northing.
#include <array>
#include <utility>

namespace qm {

struct TmSeries {
  std::array<double, 6> alpha{};  // forward series, alpha[0] is alpha_1
  std::array<double, 6> beta{};   // inverse series
  double A = 0.0;                 // rectifying radius, metres
  double e = 0.0;                 // first eccentricity
};

// The series coefficients of WGS 84, made once on first use and read-only afterwards.
const TmSeries& tm_series();

// Latitude and longitude difference from the central meridian (degrees) to the northing A*xi and
// easting A*eta in metres for scale 1. The first value pairs with map x, the second with map z.
std::pair<double, double> tm_forward(double latitude_deg, double dlon_deg);

// The parameters of a fitted transverse Mercator map: map x = x_offset + scale * northing,
// map z = z_offset + scale * easting.
struct TmParams {
  double central_meridian = 0.0;
  double scale = 1.0;
  double x_offset = 0.0;
  double z_offset = 0.0;
};

// A map point to (latitude, longitude) in degrees.
std::pair<double, double> tm_inverse_point(const TmParams& tm, double x, double z);

}  // namespace qm
