// A page that comes back to its areas after the store let its pieces go, the whole way through the
// terrain work: its request opens a job as a mesh request does, both workers build what the job
// wants from an analytic terrain, and its stream's turns take the job's pieces and read what the
// page may keep once the job is done. Whatever was evicted and rebuilt meanwhile, the page that
// comes back ends holding exactly the pieces, id for id and byte for byte, that a fresh page gets
// for the same cells.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "host/stats.hpp"
#include "streams/registry.hpp"
#include "streams/work_link.hpp"
#include "streams/open_job.hpp"
#include "work/store_eviction.hpp"
#include "terrain_fixture.hpp"
#include "work_host.hpp"

namespace qm {
namespace {

using mesh::fixture::rect_cells;
using work::test_host::Road;

struct Piece {
  std::vector<std::array<double, 3>> vertices;
  std::vector<std::array<std::uint64_t, 3>> triangles;
  friend bool operator==(const Piece&, const Piece&) = default;
};

std::set<Cell> both(std::set<Cell> a, const std::set<Cell>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

struct Page;

// One request of a page, open until its job completes: each turn takes the job's pieces as the
// stream's turn does, and at the complete end the page applies the drop record.
struct Request {
  Page& page;
  JobOpening opening;  // holds the job's lease and ticket
  WorkStreamTerrain terrain;

  const JobOpened& job() const { return opening.value(); }
  // One turn; true once the job completed.
  bool turn();
};

// The peer of a mesh stream: each request names the page's cells and, in "have", the pieces it
// holds; it keeps what the stream sends and applies the drop record at the complete end.
struct Page {
  explicit Page(std::string n) : name(std::move(n)) {}
  std::string name;
  std::map<std::uint32_t, Piece> held;

  Request open(Road& road, StreamRegistry& registry, const std::set<Cell>& cells) {
    MeshRequest request;
    request.page = name;
    request.theatre = "Plains";
    for (const auto& [id, piece] : held) request.have.push_back({id, id});
    request.have = merged_ranges(std::move(request.have));
    Region region;
    for (const Cell& c : cells) region.columns[c.first].push_back({c.second, c.second});
    return Request{*this, schedule_open_stream(road.state, request, region, std::nullopt, false, registry),
                   WorkStreamTerrain(module_stats(), road.state)};
  }

  void show(Road& road, StreamRegistry& registry, const std::set<Cell>& cells) {
    SCOPED_TRACE(name);
    Request request = open(road, registry, cells);
    for (int turn = 0; turn < 100; ++turn) {
      if (request.turn()) return;
      road.build_round();
    }
    FAIL() << "the stream did not complete";
  }

  std::set<std::uint32_t> ids() const {
    std::set<std::uint32_t> out;
    for (const auto& [id, piece] : held) out.insert(id);
    return out;
  }
};

bool Request::turn() {
  EXPECT_TRUE(opening.ok());
  JobTurn t = terrain.job_turn(job().job_id, *job().control, 0);
  EXPECT_FALSE(t.gone);
  EXPECT_EQ(t.failed, 0u);
  for (PieceCopy& p : t.taken)
    page.held[static_cast<std::uint32_t>(p.id)] = {std::move(p.vertices), std::move(p.triangles)};
  if (!t.keepable) return false;
  // The drop record: every id the page holds that it may not keep.
  std::erase_if(page.held, [&](const auto& entry) { return !t.keepable->contains(entry.first); });
  return true;
}

// Lets the store sweep down to `limit` bytes, then gives it its room back.
void evict_down_to(Road& road, std::uint64_t limit) {
  PoisonGuard lock(road.state->schedule_lock);
  Schedule& schedule = road.state->schedule;
  const std::uint64_t room = schedule.eviction_limit;
  schedule.eviction_limit = limit;
  (void)split_store_into_cells(schedule);
  schedule.eviction_limit = room;
}

void expect_holds_what_a_fresh_page_gets(Road& road, StreamRegistry& registry, const Page& page,
                                         const std::set<Cell>& cells) {
  Page fresh("fresh");
  fresh.show(road, registry, cells);
  EXPECT_FALSE(fresh.held.empty());
  EXPECT_EQ(page.ids(), fresh.ids());
  EXPECT_TRUE(page.held == fresh.held) << "the same ids with other bytes";
}

struct ReturningPage : ::testing::Test {
  Road road{mesh::fixture::cone()};
  StreamRegistry registry;
  const std::set<Cell> area = rect_cells(0, 0, 6, 4);

  // The page shows `first`; every piece is evicted; another page shows `other`; the page comes
  // back for `back`, naming what it holds.
  void come_back_after_eviction(const std::set<Cell>& first, const std::set<Cell>& other, const std::set<Cell>& back) {
    Page page("back");
    page.show(road, registry, first);
    const std::set<std::uint32_t> named = page.ids();
    evict_down_to(road, 0);
    ASSERT_TRUE(road.store().meshes().empty());
    Page("other").show(road, registry, other);
    page.show(road, registry, back);
    for (const std::uint32_t id : named) EXPECT_FALSE(page.held.contains(id)) << "kept the evicted piece " << id;
    expect_holds_what_a_fresh_page_gets(road, registry, page, back);
  }

  // While the page's request is still being built elsewhere, the store lets the piece it holds
  // go. Where another page's build then takes half of its cells, the page must not keep the old
  // piece beside the new one, and the other half stays bare until its next request builds it.
  // Where nothing replaced it, the page keeps it: it is still the last piece over its cells.
  // Either way the next request leaves the page with what a fresh page gets.
  void evicted_while_streaming(bool half_rebuilt) {
    Page page("page");
    page.show(road, registry, area);
    ASSERT_EQ(page.held.size(), 1u);
    const std::uint32_t named = page.held.begin()->first;
    const std::set<Cell> far = rect_cells(20, 0, 4, 4);
    {
      Request request = page.open(road, registry, both(area, far));
      EXPECT_FALSE(request.turn());  // the far cells are still to build
      evict_down_to(road, 0);
      ASSERT_FALSE(road.store().meshes().contains(named));
      if (half_rebuilt) Page("half").show(road, registry, rect_cells(0, 0, 3, 4));
      int turns = 0;
      while (!request.turn() && ++turns < 100) road.build_round();
    }
    EXPECT_EQ(page.held.contains(named), !half_rebuilt);
    page.show(road, registry, both(area, far));
    expect_holds_what_a_fresh_page_gets(road, registry, page, both(area, far));
  }
};

// A neighbour's request reaches two columns into the area: with the area's piece gone, its build
// takes them over.
TEST_F(ReturningPage, BackAfterItsPieceWasEvictedAndANeighbourBuiltOverItsCells) {
  const std::set<Cell> neighbour = rect_cells(4, 0, 6, 4);
  come_back_after_eviction(area, neighbour, both(area, neighbour));
}

TEST_F(ReturningPage, BackAfterItsPieceWasEvictedAndHalfItsAreaRebuilt) {
  come_back_after_eviction(area, rect_cells(0, 0, 3, 4), area);
}

TEST_F(ReturningPage, ZoomedOutAndBackAfterItsOldestPiecesWereEvicted) {
  Page page("zoom");
  page.show(road, registry, area);
  page.show(road, registry, rect_cells(-20, -4, 46, 12));
  const std::size_t pieces = road.store().meshes().size();
  evict_down_to(road, road.store().meshes().bytes() / 2);
  ASSERT_LT(road.store().meshes().size(), pieces);
  ASSERT_FALSE(road.store().meshes().empty());
  page.show(road, registry, area);
  expect_holds_what_a_fresh_page_gets(road, registry, page, area);
}

TEST_F(ReturningPage, APieceEvictedWhileItsStreamRunsIsDroppedOnceAnotherReplacesPartOfIt) {
  evicted_while_streaming(true);
}

TEST_F(ReturningPage, APieceEvictedWhileItsStreamRunsStaysWhileNothingReplacesIt) {
  evicted_while_streaming(false);
}

}  // namespace
}  // namespace qm

