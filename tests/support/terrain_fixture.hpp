#pragma once
// Test fixture for terrain sampling and the face build: analytic terrains, a fake host that
// answers height questions from them and counts every question, covers of cells, and drivers that
// advance a lattice or a whole sampling run to its end with a store of the heights answered.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mesh/grid/cell_grid.hpp"
#include "mesh/sampling/lattice.hpp"
#include "mesh/sampling/sampler.hpp"
#include "mesh/sampling/sampling_run.hpp"

namespace qm::mesh::fixture {

// A terrain: the height at a point in terrain units, or none where the host has no height (sea).
struct Terrain {
  std::string name;
  std::function<std::optional<double>(double x, double y)> height;
};

// A plane h = 100 + 0.05 x + 0.02 y.
Terrain tilted_plane();
// Two planes meeting along the line x = 36.5 (off the lattice): h = 200 - 0.3 |x - 36.5| + 0.01 y.
Terrain ridge();
// A square pyramid with its apex at (37.3, 81.7): h = 300 - 0.5 max(|dx|, |dy|).
Terrain pyramid();
// A cone with its apex at (20.5, 40.25): h = 250 - 0.4 hypot(dx, dy).
Terrain cone();
// A step of 100 units along x = 100.5: 50 below, 150 at and above.
Terrain cliff();
// Independent heights from 100 to 200 at every point (a hash of the whole coordinates).
Terrain white_noise(std::uint64_t seed = 1);
// A triangle mesh on a 16-unit grid (each square split along one diagonal) with random
// vertex heights from 100 to 160, like a simulator's terrain surface.
Terrain triangle_mesh(std::uint64_t seed = 7);
// Ground like a real elevation model: whole-metre heights on a 90-unit grid (1 unit = 1 metre)
// from ridged fractal noise, ridges and valleys some 300 m apart in height and 1 to 2 km apart,
// each grid square split along one diagonal, as a simulator's terrain surface is.
Terrain elevation_grid(std::uint64_t seed = 11);
// Sea everywhere: the host answers no height.
Terrain sea();
// Sea (no height) west of x = 40, and land at `land_height` from there on.
Terrain coast(double land_height);

// Every terrain above (not coast), for tables of cases.
std::vector<Terrain> all_terrains();

// A stand-in for the host: answers from a terrain and counts every question.
class FakeHost {
 public:
  explicit FakeHost(Terrain terrain) : terrain_(std::move(terrain)) {}
  std::optional<double> ask(TerrainPoint p);
  std::uint64_t questions() const { return questions_; }
  // How often each point was asked.
  const std::map<TerrainPoint, std::uint32_t>& asked() const { return asked_; }
  std::uint64_t repeated() const { return repeated_; }
  const Terrain& terrain() const { return terrain_; }

 private:
  Terrain terrain_;
  std::uint64_t questions_ = 0;
  std::uint64_t repeated_ = 0;
  std::map<TerrainPoint, std::uint32_t> asked_;
};

// The heights answered so far, as the sampler thread's store keeps them: a point in the store is
// never asked of the host again.
using AnswerStore = std::map<TerrainPoint, std::optional<double>>;

// A point's answer: from the store where it holds the point, else from the host (and then stored).
// Neither the host's nor the store's records count in a heap meter (heap_meter.hpp).
std::optional<double> answer_of(TerrainPoint p, FakeHost& host, AnswerStore& store);

// The answer map for a pending list, each answer by answer_of.
HeightAnswers answer_pending(const std::vector<TerrainPoint>& pending, FakeHost& host, AnswerStore& store);

struct DriveLog {
  std::vector<AdvanceResult> results;  // every advance result, in order
  std::vector<double> ask_steps;       // the step of every Ask, in order (the first level's 64 first)
  std::uint64_t advances = 0;
};

// Advances the lattice until it is done (a generous limit of advances catches a loop).
DriveLog drive_lattice(Lattice& lattice, FakeHost& host, AnswerStore& store);
DriveLog drive_lattice(Lattice& lattice, FakeHost& host);


// Runs the sampling run to its end through model_step.
DriveLog drive_run(SamplingRun& run, FakeHost& host, AnswerStore& store);

// Covers for tests.
std::set<Cell> rect_cells(std::int32_t x0, std::int32_t y0, std::int32_t w, std::int32_t h);
std::set<Cell> shift_cells(const std::set<Cell>& cells, std::int32_t dx, std::int32_t dy);
// One cell, an L-shape, a 3 by 3 block with its middle missing, two disjoint cells.
std::vector<std::pair<std::string, std::set<Cell>>> cover_shapes();

// A new sampling run over the cells as the schedule pass makes it (spacing 2.0).
SamplingRun new_run(const std::set<Cell>& cells, double spacing = 2.0);

}  // namespace qm::mesh::fixture
