#include "faces_pipeline.hpp"

#include <chrono>
#include <cmath>

#include "module/fault.hpp"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace qm::mesh::fixture {

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

std::uint64_t peak_memory_kib() {
#ifdef _WIN32
  return 0;
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<std::uint64_t>(usage.ru_maxrss);
#endif
}

Pipeline run_pipeline(const std::set<Cell>& cells, FakeHost& host) {
  Pipeline p;
  AnswerStore store;
  auto t0 = std::chrono::steady_clock::now();
  p.run = new_run(cells);
  drive_run(p.run, host, store);
  p.sampling_seconds = seconds_since(t0);
  p.sampling_questions = host.questions();
  p.sampling_peak_kib = peak_memory_kib();

  t0 = std::chrono::steady_clock::now();
  const RefineOrigin origin{p.run.lattice.centre_x, p.run.lattice.centre_y,
                            static_cast<std::uint32_t>(p.run.lattice.radius)};
  std::optional<FaceWork> work = refine(origin, p.run.cover, p.run.lattice.levels, {});
  check(work.has_value(), "an unstopped refine pass gives its work");
  while (!work->done) {
    // As the sampler thread does: take the wanted points, ask, add the answers, go on while an
    // answer added a point.
    std::vector<TerrainPoint> taken;
    taken.swap(work->wanted);
    bool added = false;
    for (const TerrainPoint& q : taken) {
      auto it = store.find(q);
      if (it == store.end()) it = store.emplace(q, host.ask(q)).first;
      if (!it->second) continue;
      added |= add_point(work->points, static_cast<double>(static_cast<std::int64_t>(q.first) - work->points.origin_x),
                         static_cast<double>(static_cast<std::int64_t>(q.second) - work->points.origin_y), *it->second);
    }
    work->asked += taken.size();
    if (taken.empty() || !added) {
      work->done = true;
      work->last_faces.reset();
      break;
    }
    refine_faces(*work, {});
  }
  p.refine_iterations = work->iteration;
  p.refined = std::move(*work);
  p.refine_seconds = seconds_since(t0);
  p.refine_questions = host.questions() - p.sampling_questions;
  p.refine_peak_kib = peak_memory_kib();

  t0 = std::chrono::steady_clock::now();
  RefinePoints copy = p.refined.points;
  std::optional<FaceSet> faces = faces_build(copy, kPieceMode, {});
  check(faces.has_value(), "an unstopped face build gives its faces");
  p.faces = std::move(*faces);
  p.build_seconds = seconds_since(t0);
  p.build_peak_kib = peak_memory_kib();

  t0 = std::chrono::steady_clock::now();
  p.pieces = faces_pieces(p.refined.points, p.faces);
  p.pieces_seconds = seconds_since(t0);
  p.pieces_peak_kib = peak_memory_kib();
  return p;
}

BuildRequest sampled_request(const std::set<Cell>& cells, const Terrain& terrain) {
  FakeHost host(terrain);
  Pipeline p = run_pipeline(cells, host);
  BuildRequest r;
  for (const Cell& c : cells) r.holders.push_back(CellHolder{c.first, c.second, std::nullopt});
  r.sampling = std::move(p.run);
  r.phase = 1;
  r.refined = std::move(p.refined);
  r.refine_done = 1;
  r.cells = cells;
  return r;
}

SurfaceError surface_error(const Pipeline& p, const Terrain& terrain) {
  SurfaceError out;
  double sum = 0.0;
  const RefinePoints& w = p.refined.points;
  const double ox = w.origin_x, oy = w.origin_y;
  for (const FacePiece& piece : p.pieces.pieces) {
    const auto& ring = piece.ring;
    const auto& v0 = p.pieces.points.at(ring[0]);
    for (std::size_t k = 1; k + 1 < ring.size(); ++k) {
      const auto& v1 = p.pieces.points.at(ring[k]);
      const auto& v2 = p.pieces.points.at(ring[k + 1]);
      const double area = 0.5 * ((v1[0] - v0[0]) * (v2[1] - v0[1]) - (v1[1] - v0[1]) * (v2[0] - v0[0]));
      if (!(area > 0.0)) continue;
      const double weights[4][3] = {{1.0 / 3, 1.0 / 3, 1.0 / 3}, {2.0 / 3, 1.0 / 6, 1.0 / 6}, {1.0 / 6, 2.0 / 3, 1.0 / 6}, {1.0 / 6, 1.0 / 6, 2.0 / 3}};
      for (const auto& l : weights) {
        const double x = l[0] * v0[0] + l[1] * v1[0] + l[2] * v2[0];
        const double y = l[0] * v0[1] + l[1] * v1[1] + l[2] * v2[1];
        const double model = piece.owner.kind == PieceOwner::Kind::Face
                                 ? plane_height(w, static_cast<std::uint32_t>(piece.owner.value), x, y)
                                 : l[0] * v0[2] + l[1] * v1[2] + l[2] * v2[2];
        const std::optional<double> truth = terrain.height(x + ox, y + oy);
        if (!truth) continue;
        const double e = std::fabs(model - *truth);
        out.worst = std::max(out.worst, e);
        sum += e * e * area / 4.0;
        out.area += area / 4.0;
      }
    }
  }
  out.rms = out.area > 0 ? std::sqrt(sum / out.area) : 0.0;
  return out;
}

}  // namespace qm::mesh::fixture
