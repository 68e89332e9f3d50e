// The terrain members of the status document: keys in order, decimals, clamps and nulls.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "work/terrain_status_format.hpp"

namespace qm::work {
namespace {

using ordered = nlohmann::ordered_json;

ordered parse_fragment(const std::string& fragment) { return ordered::parse("{" + fragment + "}"); }

std::vector<std::string> keys_of(const ordered& object) {
  std::vector<std::string> keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
  return keys;
}

TEST(TerrainStatusText, KeysComeInTheirOrder) {
  WorkFacts work;
  work.last_sampled = TurnRecord{12, 340, 5, 1.5};
  work.last_built = TurnRecord{12, 99, 98, 0.25};
  const ordered doc = parse_fragment(terrain_status_text(StoreFacts{}, work));
  EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"store", "work"}));
  EXPECT_EQ(keys_of(doc["store"]),
            (std::vector<std::string>{"theatre", "pieces", "samples", "bytes", "evictableBytes", "pinnedBytes",
                                      "reservedBytes", "ownerSquares", "piecesEvicted", "samplesEvicted",
                                      "squaresForgotten", "pinsOver"}));
  EXPECT_EQ(keys_of(doc["work"]),
            (std::vector<std::string>{"sampling", "sampled", "building", "started", "built", "cancelled", "conflicts",
                                      "failed", "returned", "heldBack", "owedBytes", "buildsStopped", "pointsAsked",
                                      "zeroedPoints", "runAheadFullSeconds", "sampler", "lastSampled", "lastBuilt",
                                      "error"}));
  EXPECT_EQ(keys_of(doc["work"]["sampler"]),
            (std::vector<std::string>{"looks", "lookSeconds", "startSeconds", "advances", "advanceSeconds",
                                      "answersSeconds"}));
  EXPECT_EQ(keys_of(doc["work"]["lastSampled"]), (std::vector<std::string>{"cells", "points", "rounds", "seconds"}));
  EXPECT_EQ(keys_of(doc["work"]["lastBuilt"]), (std::vector<std::string>{"cells", "seconds"}));
}

TEST(TerrainStatusText, FreshStateReadsAllZeroAndNull) {
  const std::string text = terrain_status_text(StoreFacts{}, WorkFacts{});
  EXPECT_EQ(text,
            "\"store\":{\"theatre\":null,\"pieces\":0,\"samples\":0,\"bytes\":0,\"evictableBytes\":0,"
            "\"pinnedBytes\":0,\"reservedBytes\":0,\"ownerSquares\":0,\"piecesEvicted\":0,\"samplesEvicted\":0,"
            "\"squaresForgotten\":0,\"pinsOver\":false},"
            "\"work\":{\"sampling\":0,\"sampled\":0,\"building\":false,\"started\":0,\"built\":0,\"cancelled\":0,"
            "\"conflicts\":0,\"failed\":0,\"returned\":0,\"heldBack\":0,\"owedBytes\":0,\"buildsStopped\":0,"
            "\"pointsAsked\":0,\"zeroedPoints\":0,\"runAheadFullSeconds\":0.0,"
            "\"sampler\":{\"looks\":0,\"lookSeconds\":0.000,\"startSeconds\":0.000,\"advances\":0,"
            "\"advanceSeconds\":0.000,\"answersSeconds\":0.000},\"lastSampled\":null,\"lastBuilt\":null,"
            "\"error\":null}");
  EXPECT_EQ(std::string(kNoTerrainStatus).size(), 24u);
}

TEST(TerrainStatusText, TimesAndRecordsKeepTheirDecimals) {
  WorkFacts work;
  work.run_ahead_full_ns = 1260000000;
  work.sampler.look_ns = 2000000;
  work.sampler.advance_ns = 1234567891;
  work.last_sampled = TurnRecord{4, 25, 3, 0.0125};
  work.last_built = TurnRecord{7, 0, 0, 2.0};
  work.counters = {1, 2, 3, 4, 5, 6, 7};
  work.building = true;
  work.error = "the sampler thread ended \"now\"";
  const std::string text = terrain_status_text(StoreFacts{}, work);
  EXPECT_NE(text.find("\"runAheadFullSeconds\":1.3,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"lookSeconds\":0.002,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"advanceSeconds\":1.235,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"lastSampled\":{\"cells\":4,\"points\":25,\"rounds\":3,\"seconds\":0.013}"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\"lastBuilt\":{\"cells\":7,\"seconds\":2.000}"), std::string::npos) << text;
  EXPECT_NE(text.find("\"building\":true,\"started\":1,\"built\":2,\"cancelled\":3,\"conflicts\":4,\"failed\":5,"
                      "\"returned\":6,\"heldBack\":7,"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"error\":\"the sampler thread ended \\\"now\\\"\"}"), std::string::npos) << text;
}

TEST(TerrainStatusText, PinnedBytesAreCappedByTheEstimate) {
  struct Case {
    std::uint64_t bytes, pinned;
    std::uint64_t want_pinned, want_evictable;
    bool over;
  };
  const std::vector<Case> cases = {
      {1000, 400, 400, 600, false},
      {1000, 5000, 1000, 0, false},
      {200000000, 100663296, 100663296, 200000000 - 100663296, false},
      {200000000, 100663297, 100663297, 200000000 - 100663297, true},
      {100663300, 900000000, 100663300, 0, true},
  };
  for (const Case& c : cases) {
    StoreFacts store;
    store.bytes = c.bytes;
    store.pinned = c.pinned;
    store.theatre = "Caucasus";
    const ordered doc = parse_fragment(terrain_status_text(store, WorkFacts{}));
    EXPECT_EQ(doc["store"]["pinnedBytes"], c.want_pinned);
    EXPECT_EQ(doc["store"]["evictableBytes"], c.want_evictable);
    EXPECT_EQ(doc["store"]["pinsOver"], c.over);
    EXPECT_EQ(doc["store"]["theatre"], "Caucasus");
  }
}

}  // namespace
}  // namespace qm::work
