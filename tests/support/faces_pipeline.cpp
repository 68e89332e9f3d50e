#include "faces_pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "heap_meter.hpp"
#include "base/fault.hpp"
#include "work/sampler_steps.hpp"

namespace qm::mesh::fixture {

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// FNV-1a over the bytes of the values written, in order.
class Digest {
 public:
  void bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t k = 0; k < n; ++k) {
      h_ ^= b[k];
      h_ *= 0x100000001b3ull;
    }
  }
  void u64(std::uint64_t v) { bytes(&v, sizeof v); }
  void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
  void f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    u64(bits);
  }
  template <class T>
  void list(const std::vector<T>& v, auto each) {
    u64(v.size());
    for (const T& x : v) each(x);
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ull;
};

std::uint64_t sampling_digest(const std::vector<Level>& levels) {
  Digest d;
  d.list(levels, [&](const Level& l) {
    d.f64(l.step);
    d.list(l.keys, [&](const LatticeKey& k) {
      d.i64(k.first);
      d.i64(k.second);
    });
    d.list(l.heights, [&](double h) { d.f64(h); });
    d.list(l.matched, [&](std::uint32_t m) { d.u64(m); });
    d.list(l.patches, [&](const PatchPlane& p) {
      for (const double v : {p.x0, p.y0, p.c, p.a, p.b}) d.f64(v);
    });
  });
  return d.value();
}

std::uint64_t refine_digest(const Pipeline& p) {
  const RefinePoints& w = p.refined.points;
  Digest d;
  d.list(w.xs, [&](double v) { d.f64(v); });
  d.list(w.ys, [&](double v) { d.f64(v); });
  d.list(w.hs, [&](double v) { d.f64(v); });
  d.list(w.point_faces, [&](const std::vector<std::uint32_t>& ids) { d.list(ids, [&](std::uint32_t id) { d.u64(id); }); });
  std::vector<std::uint32_t> ids;
  for (const auto& [id, plane] : w.planes) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  d.list(ids, [&](std::uint32_t id) {
    d.u64(id);
    const Plane& plane = w.planes.at(id);
    for (const double v : {plane.c, plane.a, plane.b}) d.f64(v);
  });
  d.u64(w.members.size());
  for (const auto& [id, members] : w.members) {
    d.u64(id);
    d.list(members, [&](std::uint64_t m) { d.u64(m); });
  }
  d.u64(w.last_face_id);
  d.u64(p.refined.iteration);
  d.u64(p.refined.asked);
  d.u64(p.refine_questions);
  return d.value();
}

std::uint64_t faces_digest(const FaceSet& f) {
  Digest d;
  d.list(f.triangles, [&](const std::array<std::uint64_t, 3>& t) {
    for (const std::uint64_t c : t) d.u64(c);
  });
  d.list(f.triangle_kinds, [&](TriangleKind k) { d.u64(static_cast<std::uint64_t>(k)); });
  d.list(f.triangle_faces, [&](const TriangleFaces& t) {
    d.u64(t.present);
    for (const std::uint32_t id : t.faces) d.u64(id);
  });
  d.list(f.point_candidates, [&](const std::vector<std::uint32_t>& ids) { d.list(ids, [&](std::uint32_t id) { d.u64(id); }); });
  return d.value();
}

void key_digest(Digest& d, const PointKey& k) {
  d.u64(static_cast<std::uint64_t>(k.kind));
  d.u64(k.first);
  d.u64(k.second);
}

std::uint64_t pieces_digest(const FacePieces& p) {
  Digest d;
  d.list(p.pieces, [&](const FacePiece& piece) {
    d.u64(static_cast<std::uint64_t>(piece.owner.kind));
    d.u64(piece.owner.value);
    d.list(piece.ring, [&](const PointKey& k) { key_digest(d, k); });
  });
  d.u64(p.points.size());
  for (const auto& [key, at] : p.points) {
    key_digest(d, key);
    for (const double v : at) d.f64(v);
  }
  return d.value();
}

// Runs one step of the group and records it (when the heap is counted): the estimate given, and
// the group's heap peak above `base` while the step ran.
template <class Step>
void measured(Pipeline& p, std::uint64_t base, std::string_view stage, std::uint64_t estimate, Step&& step) {
  if (!heap_counting()) {
    step();
    return;
  }
  heap_restart_peak();
  step();
  const std::uint64_t peak = heap_peak();
  HeapUncounted outside;
  p.memory.push_back(MemoryStep{stage, estimate, peak > base ? peak - base : 0});
}

}  // namespace

Pipeline run_pipeline(const std::set<Cell>& cells, FakeHost& host) {
  Pipeline p;
  AnswerStore store;
  // The group's run and refine pass as the sampler holds them, and the memory it held before.
  std::optional<SamplingRun> run;
  std::optional<FaceWork> work;
  const std::uint64_t base = heap_live();

  auto t0 = std::chrono::steady_clock::now();
  std::uint64_t estimate = 0;
  run = new_run(cells);
  for (bool done = false; !done;) {
    // As the sampler does: the estimate before the step's points are asked, the answers, the step.
    estimate = qm::work::group_memory_estimate(run, work);
    measured(p, base, "sampling", estimate, [&] {
      const HeightAnswers answers = answer_pending(run->lattice.pending, host, store);
      done = model_step(*run, answers).tag == AdvanceTag::Done;
    });
  }
  p.sampling_seconds = seconds_since(t0);
  p.sampling_questions = host.questions();

  {
    // The levels for the digests, kept aside before the refine pass releases them.
    HeapUncounted outside;
    p.levels = run->lattice.levels;
    p.samples = run->lattice.samples.size();
  }
  // The refine pass starts in the step that finished the run.
  t0 = std::chrono::steady_clock::now();
  measured(p, base, "refine", estimate, [&] {
    work = refine(*run, {});
    check(work.has_value(), "an unstopped refine pass gives its work");
  });
  while (!work->done) {
    // As the sampler thread does: take the wanted points, ask, add the answers, go on while an
    // answer added a point.
    measured(p, base, "refine", qm::work::group_memory_estimate(run, work), [&] {
      std::vector<TerrainPoint> taken;
      taken.swap(work->wanted);
      bool added = false;
      for (const TerrainPoint& q : taken) {
        const std::optional<double> h = answer_of(q, host, store);
        if (!h) continue;
        added |= add_point(work->points, static_cast<double>(static_cast<std::int64_t>(q.first) - work->points.origin_x),
                           static_cast<double>(static_cast<std::int64_t>(q.second) - work->points.origin_y), *h);
      }
      work->asked += taken.size();
      if (taken.empty() || !added) {
        work->done = true;
        work->last_faces.reset();
        return;
      }
      refine_faces(*work, {});
    });
  }
  p.refine_iterations = work->iteration;
  p.refine_seconds = seconds_since(t0);
  p.refine_questions = host.questions() - p.sampling_questions;

  // The piece build's face build and face pieces, on the filed group.
  estimate = qm::work::group_memory_estimate(run, work);
  t0 = std::chrono::steady_clock::now();
  measured(p, base, "faces", estimate, [&] {
    RefinePoints copy = work->points;
    std::optional<FaceSet> faces = faces_build(copy, kPieceMode, {});
    check(faces.has_value(), "an unstopped face build gives its faces");
    p.faces = std::move(*faces);
  });
  p.build_seconds = seconds_since(t0);

  t0 = std::chrono::steady_clock::now();
  measured(p, base, "pieces", estimate, [&] { p.pieces = faces_pieces(work->points, p.faces); });
  p.pieces_seconds = seconds_since(t0);
  p.run = std::move(*run);
  p.refined = std::move(*work);
  return p;
}

BuildRequest sampled_request(const std::set<Cell>& cells, const Terrain& terrain) {
  FakeHost host(terrain);
  Pipeline p = run_pipeline(cells, host);
  return filed_request(p, cells);
}

BuildRequest filed_request(Pipeline& p, const std::set<Cell>& cells) {
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

PipelineDigests pipeline_digests(const Pipeline& p) {
  return PipelineDigests{sampling_digest(p.levels), refine_digest(p), faces_digest(p.faces), pieces_digest(p.pieces)};
}

}  // namespace qm::mesh::fixture
