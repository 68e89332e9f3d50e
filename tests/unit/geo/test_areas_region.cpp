// Region rasterisation against an independent brute-force reference whose outline is converted by
// PROJ, the ring refusals, the densification and the exact caps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "geo/region.hpp"
#include "test_projection_proj.hpp"

using namespace qm;
using qm_test::Point2;

namespace {

using Cell = std::pair<std::int64_t, std::int64_t>;

std::set<Cell> cells_of(const Region& region) {
  std::set<Cell> cells;
  for (const auto& [c, spans] : region.columns) {
    std::int32_t previous_last = 0;
    bool first = true;
    for (const RowSpan& s : spans) {
      EXPECT_LE(s.first, s.last);
      if (!first) {
        EXPECT_GT(static_cast<std::int64_t>(s.first), static_cast<std::int64_t>(previous_last) + 1);
      }
      first = false;
      previous_last = s.last;
      for (std::int64_t r = s.first; r <= s.last; ++r) cells.insert({c, r});
    }
  }
  EXPECT_EQ(cells.size(), region.cells);
  return cells;
}

// Does the segment meet the closed rectangle? (Liang-Barsky clipping.)
bool segment_meets_box(Point2 a, Point2 b, double x_lo, double x_hi, double z_lo, double z_hi) {
  double t0 = 0.0, t1 = 1.0;
  const double d[2] = {b[0] - a[0], b[1] - a[1]};
  const double lo[2] = {x_lo, z_lo}, hi[2] = {x_hi, z_hi};
  for (int k = 0; k < 2; ++k) {
    if (d[k] == 0.0) {
      if (a[k] < lo[k] || a[k] > hi[k]) return false;
      continue;
    }
    double ta = (lo[k] - a[k]) / d[k], tb = (hi[k] - a[k]) / d[k];
    if (ta > tb) std::swap(ta, tb);
    t0 = std::max(t0, ta);
    t1 = std::min(t1, tb);
    if (t0 > t1) return false;
  }
  return true;
}

// Winding number of a closed polygon around a point (ray towards +z).
int winding(const std::vector<Point2>& ring, Point2 p) {
  int w = 0;
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const Point2 a = ring[i], b = ring[(i + 1) % ring.size()];
    const double side = (b[0] - a[0]) * (p[1] - a[1]) - (p[0] - a[0]) * (b[1] - a[1]);
    if (a[0] <= p[0] && b[0] > p[0] && side > 0) ++w;
    if (b[0] <= p[0] && a[0] > p[0] && side < 0) --w;
  }
  return w;
}

// Every cell of the bounding box, covered when its square grown by 32 meets an outline or its
// centre lies inside a ring by that ring's winding number.
std::set<Cell> brute_force(const std::vector<std::vector<Point2>>& rings) {
  double x_lo = 1e300, x_hi = -1e300, z_lo = 1e300, z_hi = -1e300;
  for (const auto& ring : rings)
    for (const auto& p : ring) {
      x_lo = std::min(x_lo, p[0]);
      x_hi = std::max(x_hi, p[0]);
      z_lo = std::min(z_lo, p[1]);
      z_hi = std::max(z_hi, p[1]);
    }
  std::set<Cell> cells;
  if (rings.empty()) return cells;
  const auto c0 = static_cast<std::int64_t>(std::floor(x_lo / 64.0)) - 2;
  const auto c1 = static_cast<std::int64_t>(std::floor(x_hi / 64.0)) + 2;
  const auto r0 = static_cast<std::int64_t>(std::floor(z_lo / 64.0)) - 2;
  const auto r1 = static_cast<std::int64_t>(std::floor(z_hi / 64.0)) + 2;
  for (std::int64_t c = c0; c <= c1; ++c)
    for (std::int64_t r = r0; r <= r1; ++r) {
      const double bx0 = 64.0 * c - 32.0, bx1 = 64.0 * c + 96.0, bz0 = 64.0 * r - 32.0, bz1 = 64.0 * r + 96.0;
      bool covered = false;
      for (const auto& ring : rings) {
        for (std::size_t i = 0; i < ring.size() && !covered; ++i)
          covered = segment_meets_box(ring[i], ring[(i + 1) % ring.size()], bx0, bx1, bz0, bz1);
        if (!covered) covered = winding(ring, {64.0 * c + 32.0, 64.0 * r + 32.0}) != 0;
        if (covered) break;
      }
      if (covered) cells.insert({c, r});
    }
  return cells;
}

AreaRing ring_at(double lat, double lon, std::vector<Point2> offsets) {
  AreaRing ring;
  for (const auto& o : offsets) ring.vertices.push_back({lat + o[0], lon + o[1]});
  return ring;
}

// A map whose origin lies at (lat0, 35) on a transverse Mercator about 35E.
struct TestMap {
  TmParams tm;
  LatLon centre;
  std::string proj;
};

TestMap tm_map(double lat0) {
  TestMap m;
  m.tm = {35.0, 0.9996, -0.9996 * tm_forward(lat0, 0.0).first, 1234.5};
  m.centre = {lat0, 35.0};
  m.proj = qm_test::tm_map_definition(m.tm.central_meridian, m.tm.scale, m.tm.x_offset, m.tm.z_offset);
  return m;
}

std::vector<std::vector<Point2>> outlines_by_proj(const std::string& proj, const AreaList& areas,
                                                  const std::vector<std::size_t>& kept) {
  std::vector<std::vector<Point2>> rings;
  for (std::size_t r : kept) {
    std::vector<Point2> lat_lon;
    for (const LatLon& p : densify_ring(areas[r])) lat_lon.push_back({p.lat, p.lon});
    rings.push_back(qm_test::proj_to_map(proj, lat_lon));
  }
  return rings;
}

Region region_of(RegionResult result) {
  if (!result) {
    const RegionError& error = result.error();
    ADD_FAILURE() << "region error kind " << static_cast<int>(error.kind) << " count " << error.count;
    return {};
  }
  return std::move(result).value();
}

}  // namespace

TEST(RegionByTm, MatchesTheBruteForceReferenceOnManyShapes) {
  const TestMap map = tm_map(45.0);
  const double lat = 45.1, lon = 35.2;
  AreaList areas;
  // 0: convex hexagon.
  {
    std::vector<Point2> hex;
    for (int k = 0; k < 6; ++k) hex.push_back({0.03 * std::sin(k * 1.0471975511965976), 0.04 * std::cos(k * 1.0471975511965976)});
    areas.push_back(ring_at(lat, lon, hex));
  }
  // 1: concave five-pointed star.
  {
    std::vector<Point2> star;
    for (int k = 0; k < 10; ++k) {
      const double radius = k % 2 ? 0.012 : 0.05;
      star.push_back({radius * std::cos(k * 0.6283185307179586), radius * 1.4 * std::sin(k * 0.6283185307179586)});
    }
    areas.push_back(ring_at(lat + 0.2, lon, star));
  }
  // 2: a thin sliver, a few metres wide and 20 km long.
  areas.push_back(ring_at(lat - 0.2, lon, {{0.0, 0.0}, {0.18, 0.00031}, {0.18, 0.00036}}));
  // 3: a figure-eight (crossing itself) and 4: a ring touching itself at a vertex.
  areas.push_back(ring_at(lat, lon + 0.2, {{0, 0}, {0.02, 0.03}, {0.02, 0}, {0, 0.03}}));
  areas.push_back(ring_at(lat, lon - 0.2, {{0, 0}, {0.01, 0.013}, {0.02, 0}, {0.02, 0.026}, {0.01, 0.013}, {0, 0.026}}));
  // 5: a concave L spanning many 32-cell squares (about 25 km across).
  areas.push_back(ring_at(lat - 0.5, lon - 0.5,
                          {{0, 0}, {0.22, 0.003}, {0.221, 0.1}, {0.1, 0.101}, {0.098, 0.3}, {0.001, 0.299}}));
  // 6 and 7: two overlapping rings wound in opposite senses.
  areas.push_back(ring_at(lat + 0.4, lon + 0.4, {{0, 0}, {0.03, 0}, {0.03, 0.04}, {0, 0.04}}));
  areas.push_back(ring_at(lat + 0.41, lon + 0.42, {{0, 0}, {0, 0.05}, {0.035, 0.05}, {0.035, 0}}));
  // 8: refused by latitude (the map's origin is too far for it anyway), 9: more than 2000 km away.
  areas.push_back(ring_at(85.00001, 35.0, {{0, 0}, {-0.01, 0}, {-0.01, 0.01}}));
  areas.push_back(ring_at(lat, lon + 26.0, {{0, 0}, {0.01, 0}, {0.01, 0.01}}));

  const Region region = region_of(region_by_tm(areas, map.tm, map.centre));
  EXPECT_EQ(region.refused, (std::vector<std::uint64_t>{8, 9}));
  const auto reference = brute_force(outlines_by_proj(map.proj, areas, {0, 1, 2, 3, 4, 5, 6, 7}));
  const auto cells = cells_of(region);
  EXPECT_GT(cells.size(), 100000u);
  EXPECT_EQ(cells, reference);

  // Each shape alone matches its own reference too (rings are filled independently).
  for (std::size_t r = 0; r < 8; ++r) {
    AreaList one{areas[r]};
    const Region alone = region_of(region_by_tm(one, map.tm, map.centre));
    EXPECT_EQ(cells_of(alone), brute_force(outlines_by_proj(map.proj, one, {0}))) << "ring " << r;
  }
}

TEST(RegionByTm, LatitudeLimitAndDistanceLimit) {
  const TestMap polar = tm_map(75.0);
  const auto parsed = parse_areas("85,35;-100,0;0,100|85.00001,35;-100,0;0,100|84.99,35;-100,0;0,100");
  ASSERT_TRUE(parsed.ok());
  const Region region = region_of(region_by_tm(parsed.value(), polar.tm, polar.centre));
  EXPECT_EQ(region.refused, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(cells_of(region), brute_force(outlines_by_proj(polar.proj, parsed.value(), {0, 2})));

  // Along the centre's meridian the haversine distance is D/2 times the latitude difference.
  const TestMap map = tm_map(45.0);
  const auto at_km = [](double km) { return 45.0 + 2.0 * km / 12742.0176 * 57.29577951308232; };
  AreaList areas{
      ring_at(at_km(1999.5), 35.0, {{0, 0}, {-0.01, 0.01}, {-0.01, -0.01}}),
      ring_at(at_km(2000.5), 35.0, {{0, 0}, {-0.01, 0.01}, {-0.01, -0.01}}),
      ring_at(45.0, 35.0, {{0, 0}, {0.001, 0}, {at_km(2000.5) - 45.0, 0.001}}),  // one far vertex refuses
  };
  const Region far = region_of(region_by_tm(areas, map.tm, map.centre));
  EXPECT_EQ(far.refused, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(cells_of(far), brute_force(outlines_by_proj(map.proj, areas, {0})));
}

TEST(RegionByTm, AllRingsRefusedGiveAnEmptyRegion) {
  const TestMap map = tm_map(45.0);
  AreaList areas{ring_at(-45.0, 35.0, {{0, 0}, {0.01, 0}, {0.01, 0.01}})};
  const Region region = region_of(region_by_tm(areas, map.tm, map.centre));
  EXPECT_EQ(region.refused, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(region.cells, 0u);
  EXPECT_TRUE(region.columns.empty());
  EXPECT_EQ(region_of(region_by_tm({}, map.tm, map.centre)).cells, 0u);
}

TEST(DensifyRing, PiecesOfAtMost5000MercatorMetres) {
  const double R = 6378137.0;
  const double deg = 57.29577951308232;
  // Along a parallel the Web Mercator length is R times the longitude difference in radians.
  const auto edge_ring = [&](double metres) {
    const double dlon = metres / R * deg;
    return AreaRing{{{10.0, 20.0}, {10.0, 20.0 + dlon}, {10.0001, 20.0 + dlon / 2.0}}};
  };
  EXPECT_EQ(densify_ring(edge_ring(4999.999)).size(), 3u);
  const auto one_more = densify_ring(edge_ring(5000.001));
  ASSERT_EQ(one_more.size(), 4u);
  EXPECT_NEAR(one_more[1].lon, 20.0 + 2500.0005 / R * deg, 1e-12);
  EXPECT_NEAR(one_more[1].lat, 10.0, 1e-12);
  // A long diagonal edge: 45 km gives nine pieces of equal length on the straight Mercator line.
  const auto merc = [&](const LatLon& p) {
    return Point2{R * p.lon / deg, R * std::log(std::tan(0.7853981633974483 + p.lat / deg / 2.0))};
  };
  AreaRing ring{{{40.0, 10.0}, {40.2, 10.3}, {40.0, 10.3}}};
  const auto points = densify_ring(ring);
  const Point2 a = merc(ring.vertices[0]), b = merc(ring.vertices[1]);
  const auto pieces = static_cast<std::size_t>(std::ceil(std::hypot(b[0] - a[0], b[1] - a[1]) / 5000.0));
  ASSERT_GT(pieces, 5u);
  EXPECT_EQ(points[pieces].lat, 40.2);
  for (std::size_t k = 1; k < pieces; ++k) {
    const Point2 p = merc(points[k]);
    const double t = static_cast<double>(k) / pieces;
    EXPECT_NEAR(p[0], a[0] + (b[0] - a[0]) * t, 1e-6);
    EXPECT_NEAR(p[1], a[1] + (b[1] - a[1]) * t, 1e-6);
  }
}

TEST(RegionCaps, OutlinePointsExactlyAtTheCapAndOnePast) {
  const TestMap map = tm_map(45.0);
  // 4999 tiny squares of four outline points each, plus a ring of four or of five points.
  AreaList areas;
  for (int i = 0; i < 4999; ++i)
    areas.push_back(ring_at(44.5 + 0.01 * (i / 100), 34.5 + 0.01 * (i % 100),
                            {{0, 0}, {0.0001, 0}, {0.0001, 0.0001}, {0, 0.0001}}));
  areas.push_back(ring_at(46.0, 36.0, {{0, 0}, {0.0001, 0}, {0.0001, 0.0001}, {0, 0.0001}}));
  areas.push_back(ring_at(60.0, 90.0, {{0, 0}, {0.0001, 0}, {0.0001, 0.0001}}));  // refused: not counted
  const auto at_cap = region_by_tm(areas, map.tm, map.centre);
  ASSERT_TRUE(at_cap.ok());
  EXPECT_EQ(at_cap.value().refused, (std::vector<std::uint64_t>{5000}));

  areas[4999] = ring_at(46.0, 36.0, {{0, 0}, {0.0001, 0}, {0.0001, 0.0001}, {0.00005, 0.00015}, {0, 0.0001}});
  const auto past = region_by_tm(areas, map.tm, map.centre);
  ASSERT_FALSE(past.ok());
  const auto& error = past.error();
  EXPECT_EQ(error.kind, RegionError::Kind::kOutlinePoints);
  EXPECT_EQ(error.count, 20001u);
  EXPECT_EQ(error.cap, 20000u);
}

namespace {

// A map rectangle [0, 64w] x [0, 64h] covers columns -1..w and rows -1..h: (w+2)(h+2) cells.
MapRing rectangle(std::uint64_t index, double x, double z, double w, double h) {
  return {index, {{x, z}, {x + 64.0 * w, z}, {x + 64.0 * w, z + 64.0 * h}, {x, z + 64.0 * h}}};
}

// A ring strictly inside (64k - 32, 64k + 32) on both axes: four cells.
MapRing tiny(std::uint64_t index, double x, double z) {
  return {index, {{x - 3, z - 3}, {x + 3, z - 2}, {x, z + 4}}};
}

}  // namespace

TEST(RegionCaps, CellsExactlyAtTheCapAndOnePast) {
  const auto at_cap = rasterise_region({rectangle(0, 0, 0, 498, 798)}, {});
  ASSERT_TRUE(at_cap.ok());
  EXPECT_EQ(at_cap.value().cells, 400000u);
  EXPECT_EQ(at_cap.value().columns.size(), 500u);
  EXPECT_EQ(at_cap.value().columns.begin()->first, -1);

  // 13 x 30769 = 399997 cells, and a tiny ring far away with 4 more.
  const auto past = rasterise_region({rectangle(0, 0, 0, 11, 30767), tiny(1, 64000.0 * 5, -640000.0)}, {7});
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().kind, RegionError::Kind::kCells);
  EXPECT_EQ(past.error().count, 400001u);
  EXPECT_EQ(past.error().cap, 400000u);

  const auto tiny_alone = rasterise_region({tiny(0, 64.0 * 7, 64.0 * -3)}, {});
  EXPECT_EQ(cells_of(tiny_alone.value()), (std::set<Cell>{{6, -4}, {6, -3}, {7, -4}, {7, -3}}));
}

TEST(RasteriseRings, SmallCasesMatchTheReference) {
  struct Case {
    const char* what;
    std::vector<MapRing> rings;
  };
  // Coordinates stay off the lines 64k + 32 where a grown square's border runs.
  const Case cases[] = {
      {"tiny ring around a cell corner", {{0, {{20, 20}, {40, 22}, {30, 44}}}}},
      {"ring within 32 of a cell border reaches the next row", {{0, {{20, 20}, {40, 22}, {30, 97}}}}},
      {"figure-eight fills both loops", {{0, {{0.3, 0.7}, {640.3, 640.7}, {640.3, 0.7}, {0.3, 640.7}}}}},
      {"clockwise", {{0, {{1, 1}, {1, 701}, {501, 701}, {501, 1}}}}},
      {"anticlockwise", {{0, {{1, 1}, {501, 1}, {501, 701}, {1, 701}}}}},
      {"overlapping rings",
       {{0, {{1, 1}, {501, 1}, {501, 701}, {1, 701}}}, {1, {{101, 101}, {101, 901}, {901, 901}, {901, 101}}}}},
      {"ring wound twice", {{0, {{1, 1}, {501, 1}, {501, 701}, {1, 701}, {1, 1}, {501, 1}, {501, 701}, {1, 701}}}}},
      {"negative coordinates", {{0, {{-1000.5, -2000.25}, {-10.0, -1500.0}, {-600.0, -100.0}}}}},
      {"concave comb", {{0, {{1, 1}, {900, 1}, {900, 500}, {700, 500}, {700, 100}, {500, 100}, {500, 500}, {300, 500}, {300, 100}, {100, 100}, {100, 500}, {1, 500}}}}},
  };
  for (const auto& c : cases) {
    const auto result = rasterise_region(c.rings, {});
    ASSERT_TRUE(result.ok()) << c.what;
    std::vector<std::vector<Point2>> outlines;
    for (const auto& r : c.rings) outlines.push_back(r.points);
    EXPECT_EQ(cells_of(result.value()), brute_force(outlines)) << c.what;
  }
  EXPECT_EQ(cells_of(rasterise_region(cases[0].rings, {}).value()).size(), 9u);
  EXPECT_EQ(cells_of(rasterise_region(cases[3].rings, {}).value()),
            cells_of(rasterise_region(cases[4].rings, {}).value()));
}

// Grown squares are closed below and open above: a segment on column 0's centre line (x = 32)
// reaches columns 0 and 1, whose strips begin at 32 and -32, but not column -1, whose strip ends there.
TEST(RasteriseRings, SegmentOnTheColumnCentreLine) {
  std::vector<RowSpan> spans;
  std::vector<Crossing> crossings;
  const std::vector<OutlineSegment> active{{32.0, 100.0, 32.0, 300.0, 0}};
  rasterise_rings(0, active, spans, crossings);
  EXPECT_TRUE(crossings.empty());
  EXPECT_EQ(spans, (std::vector<RowSpan>{{1, 5}}));
  const auto region = rasterise_region({{0, {{32, 100}, {32, 300}, {32, 200}}}}, {}).value();
  std::vector<std::int32_t> columns;
  for (const auto& [c, s] : region.columns) columns.push_back(c);
  EXPECT_EQ(columns, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(region.cells, 10u);
}

TEST(RasteriseRings, HostileCoordinatesSaturate) {
  const double big = 1e300;
  const auto result = rasterise_region({{0, {{big, big}, {big, -big}, {1e12, 0}}}}, {});
  // Far beyond the 32-bit cell range: columns and rows saturate, nothing is undefined.
  if (result) {
    const Region* region = &result.value();
    for (const auto& [c, spans] : region->columns)
      for (const auto& s : spans) EXPECT_LE(s.first, s.last) << c;
  } else {
    EXPECT_EQ(result.error().kind, RegionError::Kind::kCells);
  }
}

namespace {

const char* kLambert = "+proj=lcc +ellps=WGS84 +lat_1=40 +lat_2=48 +lat_0=44 +lon_0=35 +x_0=0 +y_0=0 +units=m";

// A host that converts with PROJ (a Lambert conformal conic map), recording what it was asked.
struct ProjHost {
  std::vector<std::vector<std::array<double, 2>>> asked;
  std::set<std::pair<double, double>> no_pair;  // points answered without a usable pair
  bool time_out = false;

  ConvertPoints converter() {
    return [this](const std::vector<std::array<double, 2>>& points, PointKind kind, const TheatreRef& theatre,
                  std::chrono::nanoseconds wait) {
      EXPECT_EQ(kind, PointKind::kGeographicToMap);
      EXPECT_EQ(*theatre, "Marsh");
      EXPECT_EQ(wait, std::chrono::seconds(10));
      asked.push_back(points);
      Conversions out;
      const auto xz = qm_test::proj_to_map(kLambert, points);
      for (std::size_t i = 0; i < points.size(); ++i) {
        ConversionResult r;
        if (time_out && i % 7 == 3) {
          out.some_unanswered = true;
        } else if (no_pair.count({points[i][0], points[i][1]})) {
          r.state = ConversionResult::State::kNoPair;
        } else {
          r = {ConversionResult::State::kPair, xz[i][0], xz[i][1]};
        }
        out.results.push_back(r);
      }
      return out;
    };
  }
};

}  // namespace

TEST(RegionByHost, MatchesTheReferenceAndAsksEachPointOnce) {
  const LatLon centre{44.0, 35.0};
  AreaList areas{
      ring_at(44.1, 35.1, {{0, 0}, {0.05, 0.01}, {0.06, 0.07}, {0.01, 0.05}}),
      ring_at(44.1, 35.1, {{0, 0}, {0.01, 0.05}, {-0.04, 0.02}}),  // shares two vertices with ring 0
      ring_at(60.0, 90.0, {{0, 0}, {0.01, 0}, {0.01, 0.01}}),        // too far: never asked
      ring_at(43.8, 34.7, {{0, 0}, {0.2, 0.02}, {0.1, 0.25}}),
  };
  ProjHost host;
  const auto theatre = std::make_shared<const std::string>("Marsh");
  const Region region = region_of(region_by_host(areas, theatre, centre, std::chrono::seconds(10), host.converter()));
  EXPECT_EQ(region.refused, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(cells_of(region), brute_force(outlines_by_proj(kLambert, areas, {0, 1, 3})));
  ASSERT_EQ(host.asked.size(), 1u);
  const auto& asked = host.asked[0];
  std::size_t densified = 0;
  std::set<std::pair<double, double>> distinct;
  for (std::size_t r : {0, 1, 3})
    for (const LatLon& p : densify_ring(areas[r])) {
      ++densified;
      distinct.insert({p.lat, p.lon});
    }
  EXPECT_EQ(asked.size(), distinct.size()) << "every distinct outline point is asked once";
  EXPECT_LE(asked.size(), densified - 2) << "the two shared vertices are asked once";
  for (std::size_t i = 1; i < asked.size(); ++i)
    EXPECT_TRUE(asked[i - 1][0] < asked[i][0] || (asked[i - 1][0] == asked[i][0] && asked[i - 1][1] < asked[i][1]));
}

TEST(RegionByHost, PointsWithoutAPairRefuseTheirRingsOnly) {
  const LatLon centre{44.0, 35.0};
  AreaList areas{
      ring_at(44.1, 35.1, {{0, 0}, {0.05, 0.01}, {0.06, 0.07}}),
      ring_at(44.3, 35.3, {{0, 0}, {0.05, 0.01}, {0.06, 0.07}}),
      ring_at(44.5, 35.5, {{0, 0}, {0.05, 0.01}, {0.06, 0.07}}),
  };
  ProjHost host;
  host.no_pair.insert({areas[1].vertices[2].lat, areas[1].vertices[2].lon});
  const auto theatre = std::make_shared<const std::string>("Marsh");
  const Region region = region_of(region_by_host(areas, theatre, centre, std::chrono::seconds(10), host.converter()));
  EXPECT_EQ(region.refused, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(cells_of(region), brute_force(outlines_by_proj(kLambert, areas, {0, 2})));
}

TEST(RegionByHost, UnansweredConversionsFailAndCapsComeFirst) {
  const LatLon centre{44.0, 35.0};
  AreaList areas{ring_at(44.1, 35.1, {{0, 0}, {0.5, 0.01}, {0.06, 0.7}})};
  ProjHost host;
  host.time_out = true;
  const auto theatre = std::make_shared<const std::string>("Marsh");
  const auto result = region_by_host(areas, theatre, centre, std::chrono::seconds(10), host.converter());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, RegionError::Kind::kUnanswered);

  // Over the outline cap nothing is asked.
  AreaList huge;
  for (int i = 0; i < 7000; ++i) huge.push_back(ring_at(44.0 + 0.001 * i, 35.0, {{0, 0}, {0.0001, 0}, {0, 0.0001}}));
  ProjHost quiet;
  const auto capped = region_by_host(huge, theatre, centre, std::chrono::seconds(10), quiet.converter());
  ASSERT_FALSE(capped.ok());
  EXPECT_EQ(capped.error().kind, RegionError::Kind::kOutlinePoints);
  EXPECT_EQ(capped.error().count, 21000u);
  EXPECT_TRUE(quiet.asked.empty());

  // No accepted ring: nothing is asked either.
  const auto none = region_by_host({ring_at(-40.0, 35.0, {{0, 0}, {0.01, 0}, {0, 0.01}})}, theatre, centre,
                                   std::chrono::seconds(10), quiet.converter());
  EXPECT_EQ(region_of(none).refused, (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(quiet.asked.empty());
}
