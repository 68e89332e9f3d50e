// The piece build's driver: its outcomes, its request checks and its stop polls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "faces_pipeline.hpp"
#include "module/fault.hpp"
#include "module/span.hpp"
#include "terrain/mesh/scheme/piece_build.hpp"
#include "terrain_fixture.hpp"

namespace qm::mesh {
namespace {

using fixture::FakeHost;
using fixture::rect_cells;

std::uint64_t span_count(const char* name) {
  for (const auto& e : thread_span_table()) {
    if (std::strcmp(e.name, name) == 0) return e.count;
  }
  return 0;
}

// A sampled and refined request over the cells, as the sampler files it.
BuildRequest sampled_request(const std::set<Cell>& cells, const fixture::Terrain& terrain) {
  FakeHost host(terrain);
  fixture::Pipeline p = fixture::run_pipeline(cells, host);
  BuildRequest r;
  for (const Cell& c : cells) r.holders.push_back(CellHolder{c.first, c.second, std::nullopt});
  r.sampling = std::move(p.run);
  r.phase = 1;
  r.refined = std::move(p.refined);
  r.refine_done = 1;
  r.cells = cells;
  return r;
}

struct Flags {
  std::atomic<bool> cancel{false};
  std::atomic<bool> stop{false};
  StopPoll poll() const { return StopPoll{&cancel, &stop}; }
};

TEST(SchemeBuild, StopPollReadsTheCancelFlagThenTheStopFlag) {
  struct Case {
    bool cancel, stop, stopped;
  };
  for (const Case c : {Case{false, false, false}, Case{true, false, true}, Case{false, true, true}, Case{true, true, true}}) {
    Flags f;
    f.cancel = c.cancel;
    f.stop = c.stop;
    EXPECT_EQ(scheme_cancelled(f.poll()), c.stopped) << c.cancel << c.stop;
    EXPECT_EQ(scheme_stop_check(f.poll())(), c.stopped);
  }
  EXPECT_FALSE(scheme_cancelled(StopPoll{}));
}

TEST(SchemeBuild, ARequestWithoutSamplingIsPlainAndOpensNoSpan) {
  BuildRequest r;
  r.holders = {CellHolder{1, 2, std::nullopt}, CellHolder{1, 3, 7}};
  r.cells = {{1, 2}, {1, 3}};
  r.ring = {{1, 3}};
  BuildSnapshot snapshot;
  Flags f;
  f.stop = true;  // a Plain request polls nothing
  const auto spans = span_count("scheme.build");
  const MeshPiece piece = scheme_build(r, snapshot, f.poll());
  EXPECT_TRUE(piece.is_plain());
  EXPECT_EQ(piece.holders, r.holders);
  EXPECT_TRUE(piece.recut.empty());
  EXPECT_FALSE(piece.mesh.has_value());
  EXPECT_EQ(span_count("scheme.build"), spans);
}

TEST(SchemeBuild, AnUnfinishedRequestIsAFaultBeforeAnySpan) {
  const BuildRequest good = sampled_request(rect_cells(0, 0, 1, 1), fixture::tilted_plane());
  struct Case {
    const char* name;
    void (*spoil)(BuildRequest&);
  };
  const Case cases[] = {
      {"phase not sampled", [](BuildRequest& r) { r.phase = 0; }},
      {"phase beyond sampled", [](BuildRequest& r) { r.phase = 2; }},
      {"no refined state", [](BuildRequest& r) { r.refined.reset(); }},
      {"refine pass not done", [](BuildRequest& r) { r.refine_done = 0; }},
  };
  for (const Case& c : cases) {
    BuildRequest r = good;
    c.spoil(r);
    const auto spans = span_count("scheme.build");
    Flags f;
    try {
      scheme_build(r, BuildSnapshot{}, f.poll());
      ADD_FAILURE() << c.name << ": no fault";
    } catch (const Fault& e) {
      EXPECT_EQ(std::string(e.what()), "a request is built once sampled") << c.name;
    }
    EXPECT_EQ(span_count("scheme.build"), spans) << c.name;
  }
}

TEST(SchemeBuild, AStopBeforeTheBuildIsSeenBeforeThePieces) {
  const BuildRequest r = sampled_request(rect_cells(0, 0, 2, 1), fixture::ridge());
  for (const bool cancel : {true, false}) {
    Flags f;
    (cancel ? f.cancel : f.stop) = true;
    const auto pieces = span_count("faces.pieces");
    const auto builds = span_count("scheme.build");
    const MeshPiece piece = scheme_build(r, BuildSnapshot{}, f.poll());
    EXPECT_TRUE(piece.is_stopped());
    EXPECT_TRUE(piece.holders.empty());
    EXPECT_FALSE(piece.mesh.has_value());
    EXPECT_EQ(span_count("faces.pieces"), pieces);
    EXPECT_EQ(span_count("scheme.build"), builds + 1);  // closed on the way out
  }
}

}  // namespace
}  // namespace qm::mesh
