#pragma once
// The independent reference of the projection tests: PROJ's cs2cs program, run on a batch of
// points. Returns the first two output columns of every input line (NaN where PROJ prints "*").
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm_test {

using Point2 = std::array<double, 2>;

inline std::vector<Point2> run_cs2cs(const std::string& args, const std::vector<Point2>& points) {
  char path[] = "/tmp/qm_cs2cs_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  {
    std::string text;
    char line[128];
    for (const auto& p : points) {
      std::snprintf(line, sizeof line, "%.17g %.17g\n", p[0], p[1]);
      text += line;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, data, left);
      if (n <= 0) break;
      data += n;
      left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  const std::string command = "cs2cs -f %.15f " + args + " " + path + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    std::remove(path);
    throw std::runtime_error("cannot run cs2cs");
  }
  std::string output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  std::remove(path);
  if (status != 0) throw std::runtime_error("cs2cs failed: " + output);
  std::vector<Point2> result;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string a, b;
    fields >> a >> b;
    const auto read = [](const std::string& s) {
      char* end = nullptr;
      const double v = std::strtod(s.c_str(), &end);
      return (end != s.c_str() && *end == '\0') ? v : std::numeric_limits<double>::quiet_NaN();
    };
    result.push_back({read(a), read(b)});
  }
  if (result.size() != points.size()) throw std::runtime_error("cs2cs gave an unexpected output: " + output);
  return result;
}

// The PROJ definition of a map whose x = x_offset + scale * northing and z = z_offset + scale *
// easting of a transverse Mercator of WGS 84 about the given central meridian.
inline std::string tm_map_definition(double central_meridian, double scale, double x_offset, double z_offset) {
  char text[256];
  std::snprintf(text, sizeof text, "+proj=tmerc +ellps=WGS84 +lat_0=0 +lon_0=%.17g +k=%.17g +x_0=%.17g +y_0=%.17g +units=m",
                central_meridian, scale, z_offset, x_offset);
  return text;
}

inline const char* kLongLat = "+proj=longlat +ellps=WGS84";

// (latitude, longitude) to map (x, z) of a PROJ map definition whose easting is map z.
inline std::vector<Point2> proj_to_map(const std::string& map, const std::vector<Point2>& lat_lon) {
  std::vector<Point2> lon_lat;
  for (const auto& p : lat_lon) lon_lat.push_back({p[1], p[0]});
  auto en = run_cs2cs(std::string(kLongLat) + " +to " + map, lon_lat);
  std::vector<Point2> xz;
  for (const auto& p : en) xz.push_back({p[1], p[0]});
  return xz;
}

// Map (x, z) to (latitude, longitude).
inline std::vector<Point2> proj_from_map(const std::string& map, const std::vector<Point2>& xz) {
  std::vector<Point2> en;
  for (const auto& p : xz) en.push_back({p[1], p[0]});
  auto lon_lat = run_cs2cs(map + " +to " + kLongLat, en);
  std::vector<Point2> lat_lon;
  for (const auto& p : lon_lat) lat_lon.push_back({p[1], p[0]});
  return lat_lon;
}

// Ground distance in metres of a small (latitude, longitude) difference at a latitude.
inline double ground_metres(double lat, double dlat, double dlon) {
  const double m = 111319.49079327357;  // metres per degree on a sphere of radius 6378137
  return std::hypot(dlat * m, dlon * m * std::cos(lat * 0.017453292519943295));
}

}  // namespace qm_test
