// The sampler-side pipeline's outputs, stage by stage, against hashes recorded from an earlier
// build of the same code: any change of structure below them must leave every output bit for bit
// as it was. A mismatch names the terrain and the first stage that differs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "faces_pipeline.hpp"

namespace qm::mesh::fixture {
namespace {

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

std::uint64_t sampling_digest(const SamplingRun& run) {
  Digest d;
  d.list(run.lattice.levels, [&](const Level& l) {
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

struct Recorded {
  const char* terrain;
  std::uint64_t sampling, refine, faces, pieces;
};

// Recorded over the fixture's 3 by 3 block around the origin with its middle cell missing.
constexpr Recorded kRecorded[] = {
    {"tilted plane", 0x898193660d6b6508ull, 0x3e48a688d9bc296dull, 0xbc850a845c2f5a65ull, 0x18e066aee2f80b7aull},
    {"ridge", 0x6dc08f8c3da18852ull, 0x926fe71d7d8493baull, 0xaa7768ae00332194ull, 0x268c65c49665c292ull},
    {"pyramid", 0xeabc3342606656dfull, 0x104af94d76d9f875ull, 0x8338e02614de0b99ull, 0x26e0f0c71dd54b48ull},
    {"cone", 0x59b501b4974d67a5ull, 0xf84e2a968e1c455eull, 0xa2bfe80ab42f08c2ull, 0x6bb43f7cbc7acff9ull},
    {"cliff", 0xf7d8d3fb81b65e3bull, 0xccdecee4db607873ull, 0x9f41223aaa30e662ull, 0x8e645a752181d6e7ull},
    {"white noise", 0x2fd35802f9876f47ull, 0x12f6703ae9247eeaull, 0x57163c53a2b92bdbull, 0x29f79f632e5e70a2ull},
    {"triangle mesh", 0xb8f53d3ebc0ae18full, 0x55fb671ce802e75full, 0xe248286b15cb31deull, 0x38a2ccf2ac1aac4eull},
    {"sea", 0x02a64b5828eb4d65ull, 0xd8f5e9ec900886aaull, 0xbc850a845c2f5a65ull, 0xa856c9cce6c36c85ull},
};

TEST(FacesPipelineHashes, EveryStageGivesTheRecordedOutput) {
  std::set<Cell> cells = rect_cells(-1, -1, 3, 3);
  cells.erase(Cell{0, 0});
  for (const Terrain& terrain : all_terrains()) {
    SCOPED_TRACE(terrain.name);
    FakeHost host(terrain);
    const Pipeline p = run_pipeline(cells, host);
    const Recorded got{terrain.name.c_str(), sampling_digest(p.run), refine_digest(p), faces_digest(p.faces),
                       pieces_digest(p.pieces)};
    const auto it = std::find_if(std::begin(kRecorded), std::end(kRecorded),
                                 [&](const Recorded& r) { return terrain.name == r.terrain; });
    if (it == std::end(kRecorded)) {
      ADD_FAILURE() << "no hashes recorded for this terrain";
      continue;
    }
    EXPECT_EQ(got.sampling, it->sampling);
    EXPECT_EQ(got.refine, it->refine);
    EXPECT_EQ(got.faces, it->faces);
    EXPECT_EQ(got.pieces, it->pieces);
  }
}

}  // namespace
}  // namespace qm::mesh::fixture
