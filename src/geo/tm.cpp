#include "geo/tm.hpp"

#include "base/numeric.hpp"

#include <cmath>
#include <mutex>

namespace qm {

namespace {


TmSeries make_series() {
  const double a = 6378137.0;
  const double f = 1.0 / 298.257223563;
  const double n = f / (2.0 - f);
  const double n2 = n * n, n3 = n2 * n, n4 = n3 * n, n5 = n4 * n, n6 = n5 * n;
  TmSeries s;
  s.A = a / (1.0 + n) * (1.0 + n2 / 4.0 + n4 / 64.0 + n6 / 256.0);
  s.e = std::sqrt(f * (2.0 - f));
  s.alpha[0] = n / 2.0 - 2.0 / 3.0 * n2 + 5.0 / 16.0 * n3 + 41.0 / 180.0 * n4 - 127.0 / 288.0 * n5 +
               7891.0 / 37800.0 * n6;
  s.alpha[1] = 13.0 / 48.0 * n2 - 3.0 / 5.0 * n3 + 557.0 / 1440.0 * n4 + 281.0 / 630.0 * n5 -
               1983433.0 / 1935360.0 * n6;
  s.alpha[2] = 61.0 / 240.0 * n3 - 103.0 / 140.0 * n4 + 15061.0 / 26880.0 * n5 + 167603.0 / 181440.0 * n6;
  s.alpha[3] = 49561.0 / 161280.0 * n4 - 179.0 / 168.0 * n5 + 6601661.0 / 7257600.0 * n6;
  s.alpha[4] = 34729.0 / 80640.0 * n5 - 3418889.0 / 1995840.0 * n6;
  s.alpha[5] = 212378941.0 / 319334400.0 * n6;
  s.beta[0] = n / 2.0 - 2.0 / 3.0 * n2 + 37.0 / 96.0 * n3 - 1.0 / 360.0 * n4 - 81.0 / 512.0 * n5 +
              96199.0 / 604800.0 * n6;
  s.beta[1] = 1.0 / 48.0 * n2 + 1.0 / 15.0 * n3 - 437.0 / 1440.0 * n4 + 46.0 / 105.0 * n5 -
              1118711.0 / 3870720.0 * n6;
  s.beta[2] = 17.0 / 480.0 * n3 - 37.0 / 840.0 * n4 - 209.0 / 4480.0 * n5 + 5569.0 / 90720.0 * n6;
  s.beta[3] = 4397.0 / 161280.0 * n4 - 11.0 / 504.0 * n5 - 830251.0 / 7257600.0 * n6;
  s.beta[4] = 4583.0 / 161280.0 * n5 - 108847.0 / 3991680.0 * n6;
  s.beta[5] = 20648693.0 / 638668800.0 * n6;
  return s;
}

}  // namespace

const TmSeries& tm_series() {
  static std::once_flag once;
  static const TmSeries* series = nullptr;  // made once, never freed
  std::call_once(once, [] { series = new TmSeries(make_series()); });
  return *series;
}

std::pair<double, double> tm_forward(double latitude_deg, double dlon_deg) {
  const TmSeries& s = tm_series();
  const double phi = latitude_deg * kRadiansPerDegree;
  const double lambda = dlon_deg * kRadiansPerDegree;
  const double tau = std::tan(phi);
  const double t = s.e * tau / std::sqrt(1.0 + tau * tau);
  const double atanh_t = 0.5 * std::log1p(2.0 * t / (1.0 - t));
  const double sigma = std::sinh(s.e * atanh_t);
  const double tau_p = tau * std::sqrt(1.0 + sigma * sigma) - sigma * std::sqrt(1.0 + tau * tau);
  const double cos_l = std::cos(lambda);
  const double xi_p = std::atan2(tau_p, cos_l);
  const double eta_p = std::asinh(std::sin(lambda) / std::sqrt(tau_p * tau_p + cos_l * cos_l));
  double xi = xi_p;
  double eta = eta_p;
  for (int j = 1; j <= 6; ++j) {
    const double a = s.alpha[static_cast<std::size_t>(j - 1)];
    xi += a * std::sin(2.0 * j * xi_p) * std::cosh(2.0 * j * eta_p);
    eta += a * std::cos(2.0 * j * xi_p) * std::sinh(2.0 * j * eta_p);
  }
  return {s.A * xi, s.A * eta};
}

std::pair<double, double> tm_inverse_point(const TmParams& tm, double x, double z) {
  const TmSeries& s = tm_series();
  const double xi = ((x - tm.x_offset) / tm.scale) / s.A;
  const double eta = ((z - tm.z_offset) / tm.scale) / s.A;
  double xi_p = xi;
  double eta_p = eta;
  for (int j = 1; j <= 6; ++j) {
    const double b = s.beta[static_cast<std::size_t>(j - 1)];
    xi_p -= b * std::sin(2.0 * j * xi) * std::cosh(2.0 * j * eta);
    eta_p -= b * std::cos(2.0 * j * xi) * std::sinh(2.0 * j * eta);
  }
  const double sinh_eta = std::sinh(eta_p);
  const double cos_xi = std::cos(xi_p);
  const double tau_p = std::sin(xi_p) / std::sqrt(sinh_eta * sinh_eta + cos_xi * cos_xi);
  const double lambda = std::atan2(sinh_eta, cos_xi);
  const double e2 = s.e * s.e;
  double tau = tau_p;
  for (int i = 0; i < 8; ++i) {
    const double root = std::sqrt(1.0 + tau * tau);
    const double sigma = std::sinh(s.e * std::atanh(s.e * tau / root));
    const double tau_i = tau * std::sqrt(1.0 + sigma * sigma) - sigma * root;
    const double delta = (tau_p - tau_i) / std::sqrt(1.0 + tau_i * tau_i) * (1.0 + (1.0 - e2) * tau * tau) /
                         ((1.0 - e2) * root);
    tau += delta;
    if (!(std::fabs(delta) > std::fmax(std::fabs(tau), 1.0) * 1e-15)) break;
  }
  return {std::atan(tau) * kDegreesPerRadian, lambda * kDegreesPerRadian + tm.central_meridian};
}

}  // namespace qm
