#include "terrain_fixture.hpp"

#include <cmath>
#include <stdexcept>

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
            const double gx = std::floor(x / 16.0);
            const double gy = std::floor(y / 16.0);
            const double u = x / 16.0 - gx;
            const double v = y / 16.0 - gy;
            const auto ix = static_cast<std::int64_t>(gx);
            const auto iy = static_cast<std::int64_t>(gy);
            auto vertex = [&](std::int64_t a, std::int64_t b) { return 100.0 + 60.0 * unit_noise(seed, a, b); };
            const double h00 = vertex(ix, iy), h10 = vertex(ix + 1, iy);
            const double h01 = vertex(ix, iy + 1), h11 = vertex(ix + 1, iy + 1);
            if (u + v <= 1.0) return h00 + u * (h10 - h00) + v * (h01 - h00);
            return h11 + (1.0 - u) * (h01 - h11) + (1.0 - v) * (h10 - h11);
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
  return {tilted_plane(), ridge(), pyramid(), cone(), cliff(), white_noise(), triangle_mesh(), sea()};
}

std::optional<double> FakeHost::ask(TerrainPoint p) {
  questions_ += 1;
  auto& count = asked_[p];
  if (count > 0) repeated_ += 1;
  count += 1;
  return terrain_.height(p.first, p.second);
}

HeightAnswers answer_pending(const std::vector<TerrainPoint>& pending, FakeHost& host, AnswerStore& store) {
  HeightAnswers answers;
  for (const TerrainPoint& p : pending) {
    auto it = store.find(p);
    if (it == store.end()) it = store.emplace(p, host.ask(p)).first;
    answers[p] = it->second;
  }
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
