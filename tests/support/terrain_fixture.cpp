#include "terrain_fixture.hpp"

#include <cmath>
#include <stdexcept>

#include "heap_meter.hpp"

namespace qm::mesh::fixture {

namespace {

std::uint64_t mix(std::uint64_t z) {
  z += 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

double unit_noise(std::uint64_t seed, std::int64_t x, std::int64_t y) {
  const std::uint64_t h = mix(mix(seed ^ static_cast<std::uint64_t>(x)) ^ static_cast<std::uint64_t>(y) * 0x632be59bd9b4e019ull);
  return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Gradient noise on the unit grid, from -1 to 1 at most: one of eight gradients per grid point,
// blended with the quintic fade. Sums and products only, so every build computes the same bits.
double gradient_noise(std::uint64_t seed, double x, double y) {
  const double gx = std::floor(x);
  const double gy = std::floor(y);
  const auto ix = static_cast<std::int64_t>(gx);
  const auto iy = static_cast<std::int64_t>(gy);
  const double fx = x - gx;
  const double fy = y - gy;
  auto corner = [&](std::int64_t a, std::int64_t b, double dx, double dy) {
    static constexpr double kGradients[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {0.5, 0.5}, {-0.5, 0.5}, {0.5, -0.5}, {-0.5, -0.5}};
    const double* g = kGradients[static_cast<std::size_t>(unit_noise(seed, a, b) * 8.0) & 7];
    return g[0] * dx + g[1] * dy;
  };
  auto fade = [](double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); };
  const double u = fade(fx);
  const double v = fade(fy);
  const double n0 = corner(ix, iy, fx, fy) + u * (corner(ix + 1, iy, fx - 1.0, fy) - corner(ix, iy, fx, fy));
  const double n1 = corner(ix, iy + 1, fx, fy - 1.0) +
                    u * (corner(ix + 1, iy + 1, fx - 1.0, fy - 1.0) - corner(ix, iy + 1, fx, fy - 1.0));
  return n0 + v * (n1 - n0);
}

// The height at (x, y) of the surface through the grid points (x0 + spacing i, y0 + spacing j) with
// the heights vertex(i, j), each grid square split along its diagonal from (i + 1, j) to (i, j + 1).
template <class Vertex>
double grid_triangles_height(double x, double y, double x0, double y0, double spacing, Vertex vertex) {
  const double gx = std::floor((x - x0) / spacing);
  const double gy = std::floor((y - y0) / spacing);
  const double u = (x - x0) / spacing - gx;
  const double v = (y - y0) / spacing - gy;
  const auto ix = static_cast<std::int64_t>(gx);
  const auto iy = static_cast<std::int64_t>(gy);
  const double h00 = vertex(ix, iy), h10 = vertex(ix + 1, iy);
  const double h01 = vertex(ix, iy + 1), h11 = vertex(ix + 1, iy + 1);
  if (u + v <= 1.0) return h00 + u * (h10 - h00) + v * (h01 - h00);
  return h11 + (1.0 - u) * (h01 - h11) + (1.0 - v) * (h10 - h11);
}

}  // namespace

Terrain tilted_plane() {
  return {"tilted plane", [](double x, double y) -> std::optional<double> { return 100.0 + 0.05 * x + 0.02 * y; }};
}

Terrain ridge() {
  return {"ridge", [](double x, double y) -> std::optional<double> {
            return 200.0 - 0.3 * std::fabs(x - 36.5) + 0.01 * y;
          }};
}

Terrain pyramid() {
  return {"pyramid", [](double x, double y) -> std::optional<double> {
            return 300.0 - 0.5 * std::max(std::fabs(x - 37.3), std::fabs(y - 81.7));
          }};
}

Terrain cone() {
  return {"cone", [](double x, double y) -> std::optional<double> {
            return 250.0 - 0.4 * std::hypot(x - 20.5, y - 40.25);
          }};
}

Terrain cliff() {
  return {"cliff", [](double x, double) -> std::optional<double> { return x < 100.5 ? 50.0 : 150.0; }};
}

Terrain white_noise(std::uint64_t seed) {
  return {"white noise", [seed](double x, double y) -> std::optional<double> {
            return 100.0 + 100.0 * unit_noise(seed, static_cast<std::int64_t>(std::floor(x)),
                                              static_cast<std::int64_t>(std::floor(y)));
          }};
}

Terrain triangle_mesh(std::uint64_t seed) {
  return {"triangle mesh", [seed](double x, double y) -> std::optional<double> {
            return grid_triangles_height(x, y, 0.0, 0.0, 16.0, [seed](std::int64_t a, std::int64_t b) {
              return 100.0 + 60.0 * unit_noise(seed, a, b);
            });
          }};
}

Terrain elevation_grid(std::uint64_t seed) {
  return {"elevation grid", [seed](double x, double y) -> std::optional<double> {
            constexpr double kSpacing = 90.0;
            constexpr double kOffsetX = 17.0;  // the grid does not line up with the 64-unit cells
            constexpr double kOffsetY = -29.0;
            // A grid point's height: ridged octaves of 2.5 km down to 156 m wavelength, each half the
            // last and weighted by the one before (sharp, rough crests over smooth valley floors),
            // between 100 and 875 m, in whole metres.
            auto vertex = [seed](std::int64_t i, std::int64_t j) {
              const double px = kOffsetX + kSpacing * static_cast<double>(i);
              const double py = kOffsetY + kSpacing * static_cast<double>(j);
              double sum = 0.0, amplitude = 1.0, frequency = 1.0 / 2500.0, weight = 1.0;
              for (std::uint64_t octave = 0; octave < 5; ++octave) {
                const double n = std::fabs(gradient_noise(seed + octave, px * frequency, py * frequency));
                double ridge = 1.0 - std::min(1.0, 1.5 * n);
                ridge *= ridge * weight;
                weight = std::min(1.0, 2.0 * ridge);
                sum += amplitude * ridge;
                amplitude *= 0.5;
                frequency *= 2.0;
              }
              return std::round(100.0 + 400.0 * sum);
            };
            return grid_triangles_height(x, y, kOffsetX, kOffsetY, kSpacing, vertex);
          }};
}

Terrain sea() {
  return {"sea", [](double, double) -> std::optional<double> { return std::nullopt; }};
}

Terrain coast(double land_height) {
  return {"coast", [land_height](double x, double) -> std::optional<double> {
            if (x < 40.0) return std::nullopt;
            return land_height;
          }};
}

std::vector<Terrain> all_terrains() {
  return {tilted_plane(), ridge(), pyramid(), cone(), cliff(), white_noise(), triangle_mesh(), elevation_grid(), sea()};
}

std::optional<double> FakeHost::ask(TerrainPoint p) {
  questions_ += 1;
  auto& count = asked_[p];
  if (count > 0) repeated_ += 1;
  count += 1;
  return terrain_.height(p.first, p.second);
}

std::optional<double> answer_of(TerrainPoint p, FakeHost& host, AnswerStore& store) {
  HeapUncounted outside;
  auto it = store.find(p);
  if (it == store.end()) it = store.emplace(p, host.ask(p)).first;
  return it->second;
}

HeightAnswers answer_pending(const std::vector<TerrainPoint>& pending, FakeHost& host, AnswerStore& store) {
  HeightAnswers answers;
  for (const TerrainPoint& p : pending) answers[p] = answer_of(p, host, store);
  return answers;
}

DriveLog drive_lattice(Lattice& lattice, FakeHost& host, AnswerStore& store) {
  DriveLog log;
  log.ask_steps.push_back(lattice.step);
  HeightAnswers answers = answer_pending(lattice.pending, host, store);
  for (int guard = 0; guard < 1000; ++guard) {
    const AdvanceResult r = sampler_advance(lattice, answers);
    log.results.push_back(r);
    log.advances += 1;
    if (r.tag == AdvanceTag::Done) return log;
    if (r.tag == AdvanceTag::Ask) log.ask_steps.push_back(r.step);
    answers = answer_pending(lattice.pending, host, store);
  }
  throw std::runtime_error("the lattice never finished");
}

DriveLog drive_lattice(Lattice& lattice, FakeHost& host) {
  AnswerStore store;
  return drive_lattice(lattice, host, store);
}

DriveLog drive_run(SamplingRun& run, FakeHost& host, AnswerStore& store) {
  DriveLog log;
  log.ask_steps.push_back(run.lattice.step);
  HeightAnswers answers = answer_pending(run.lattice.pending, host, store);
  for (int guard = 0; guard < 1000; ++guard) {
    const AdvanceResult r = model_step(run, answers);
    log.results.push_back(r);
    log.advances += 1;
    if (r.tag == AdvanceTag::Done) return log;
    if (r.tag == AdvanceTag::Ask) log.ask_steps.push_back(r.step);
    answers = answer_pending(run.lattice.pending, host, store);
  }
  throw std::runtime_error("the sampling run never finished");
}

std::set<Cell> rect_cells(std::int32_t x0, std::int32_t y0, std::int32_t w, std::int32_t h) {
  std::set<Cell> cells;
  for (std::int32_t x = x0; x < x0 + w; ++x)
    for (std::int32_t y = y0; y < y0 + h; ++y) cells.emplace(x, y);
  return cells;
}

std::set<Cell> shift_cells(const std::set<Cell>& cells, std::int32_t dx, std::int32_t dy) {
  std::set<Cell> out;
  for (const Cell& c : cells) out.emplace(c.first + dx, c.second + dy);
  return out;
}

std::vector<std::pair<std::string, std::set<Cell>>> cover_shapes() {
  std::set<Cell> hole = rect_cells(0, 0, 3, 3);
  hole.erase(Cell{1, 1});
  return {
      {"one cell", {{0, 0}}},
      {"L-shape", {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {0, 2}}},
      {"hole", hole},
      {"two disjoint cells", {{0, 0}, {3, 2}}},
  };
}

SamplingRun new_run(const std::set<Cell>& cells, double spacing) {
  SamplingRun run;
  run.cover = lattice_from_cells(cells);
  run.lattice = lattice_new(run.cover, spacing);
  return run;
}

}  // namespace qm::mesh::fixture
