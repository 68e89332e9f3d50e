// The stream registry: registration and replacement lookup, progress, ends counted once, the
// recent list and the registry's part of the status document.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/hashing.hpp"
#include "streams/registry.hpp"

namespace qm {
namespace {

constexpr std::uint64_t s = 1000000000;

TEST(StreamRegistry, NewestOpenStreamSkipsReplacedAndOtherPages) {
  StreamRegistry r;
  const StreamControlRef a = new_stream_control();
  const StreamControlRef b = new_stream_control();
  const StreamControlRef c = new_stream_control();
  EXPECT_EQ(r.stream_open("page-1", false, 7, a, 10 * s), 1u);
  EXPECT_EQ(r.stream_open("page-1", true, std::nullopt, b, 11 * s), 2u);
  EXPECT_EQ(r.stream_open("page-10", false, 9, c, 12 * s), 3u);
  EXPECT_FALSE(r.newest_open_stream("page-"));
  EXPECT_FALSE(r.newest_open_stream("PAGE-1"));

  auto found = r.newest_open_stream("page-1");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->control, b);
  EXPECT_FALSE(found->job_id);
  b->mark_replaced();
  found = r.newest_open_stream("page-1");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->control, a);
  EXPECT_EQ(found->job_id, std::optional<std::uint64_t>(7));
  a->mark_replaced();
  EXPECT_FALSE(r.newest_open_stream("page-1"));
  EXPECT_EQ(r.newest_open_stream("page-10")->control, c);
}

TEST(StreamRegistry, EndingTwiceCountsOnceAndIdsAreNeverReused) {
  StreamRegistry r;
  const std::uint64_t first = r.stream_open("p", false, std::nullopt, new_stream_control(), s);
  r.stream_ended(first, EndReason::complete, 2 * s);
  r.stream_ended(first, EndReason::error, 3 * s);  // the job ticket's release after a regular end
  r.stream_ended(99, EndReason::error, 3 * s);     // never registered
  EXPECT_EQ(r.end_count(EndReason::complete), 1u);
  EXPECT_EQ(r.end_count(EndReason::error), 0u);
  const std::uint64_t second = r.stream_open("p", false, std::nullopt, new_stream_control(), s);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(r.opened_count(), 2u);
  r.stream_ended(second, static_cast<EndReason>(99), 2 * s);  // names no reason: moves the record, counts nothing
  EXPECT_TRUE(r.open_streams().empty());
  for (const EndReason reason : kEndReasons) EXPECT_EQ(r.end_count(reason), reason == EndReason::complete ? 1u : 0u);
}

TEST(StreamRegistry, EndingMovesTheLastRecordIntoTheGap) {
  StreamRegistry r;
  for (int i = 0; i < 4; ++i) r.stream_open("p" + std::to_string(i), false, std::nullopt, new_stream_control(), s);
  r.stream_ended(2, EndReason::closed, 2 * s);
  std::vector<std::uint64_t> ids;
  for (const StreamRecord& rec : r.open_streams()) ids.push_back(rec.id);
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 4, 3}));
  // The status lists them by id all the same.
  const auto doc = nlohmann::json::parse(*r.status_json("\"store\":null", 5 * s, true));
  std::vector<std::string> pages;
  for (const auto& o : doc["streams"]["open"]) pages.push_back(o["page"]);
  EXPECT_EQ(pages, (std::vector<std::string>{"p0", "p2", "p3"}));
}

TEST(StreamRegistry, StatusTextOfOpenAndEndedStreams) {
  StreamRegistry r;
  const std::uint64_t a = r.stream_open("abcdefg", true, 4, new_stream_control(), 10 * s);
  const std::uint64_t b = r.stream_open("xy", false, std::nullopt, new_stream_control(), 12 * s);
  r.stream_update(a, 3, 1234, "meshing", 2, 5);
  r.stream_update(77, 9, 9, "idle", 9, 9);  // not open: nothing
  r.stream_update(b, 1, 50, "paused: menu", 0, 0);
  r.stream_ended(b, EndReason::replaced, 13 * s + 260000000);
  const std::string text = *r.status_json("\"store\":null,\"work\":null", 14 * s + 440000000, true);
  EXPECT_EQ(text, "{\"epoch\":\"" + epoch_hex() +
                      "\",\"store\":null,\"work\":null,\"streams\":{\"open\":[{\"page\":\"abcd\",\"lan\":true,"
                      "\"seconds\":4.4,\"beats\":3,\"bytes\":1234,\"state\":\"meshing\",\"squares\":{\"done\":2,"
                      "\"total\":5}}],\"opened\":2,\"ends\":{\"complete\":0,\"replaced\":1,\"theatre\":0,\"server\":0,"
                      "\"error\":0,\"stopped\":0,\"closed\":0,\"reset\":0,\"timeout\":0},\"recent\":[{\"page\":\"xy\","
                      "\"lan\":false,\"reason\":\"replaced\",\"seconds\":1.3,\"endedSecondsAgo\":1.2,\"beats\":1,"
                      "\"bytes\":50}]}}");
}

TEST(StreamRegistry, InstantsBeforeTheirStartShowZero) {
  StreamRegistry r;
  const std::uint64_t a = r.stream_open("page", false, std::nullopt, new_stream_control(), 20 * s);
  r.stream_open("late", false, std::nullopt, new_stream_control(), 20 * s);
  r.stream_ended(a, EndReason::complete, 19 * s);
  const auto doc = nlohmann::json::parse(*r.status_json("\"store\":null", 10 * s, true));
  EXPECT_EQ(doc["streams"]["open"][0]["seconds"].dump(), "0.0");
  EXPECT_EQ(doc["streams"]["recent"][0]["seconds"].dump(), "0.0");
  EXPECT_EQ(doc["streams"]["recent"][0]["endedSecondsAgo"].dump(), "0.0");
}

TEST(StreamRegistry, RecentKeepsTheEightNewestNewestFirst) {
  StreamRegistry r;
  for (int i = 1; i <= 9; ++i) {
    const std::uint64_t id = r.stream_open("p" + std::to_string(i), false, std::nullopt, new_stream_control(), s);
    r.stream_ended(id, EndReason::closed, 2 * s);
  }
  const auto doc = nlohmann::json::parse(*r.status_json("\"store\":null", 3 * s, true));
  std::vector<std::string> pages;
  for (const auto& o : doc["streams"]["recent"]) pages.push_back(o["page"]);
  EXPECT_EQ(pages, (std::vector<std::string>{"p9", "p8", "p7", "p6", "p5", "p4", "p3", "p2"}));
  EXPECT_EQ(doc["streams"]["ends"]["closed"], 9);
  EXPECT_EQ(doc["streams"]["opened"], 9);
}

TEST(StreamRegistry, QuotesTheTagAndCutsByCharacters) {
  EXPECT_EQ(page_tag("abcdefg"), "abcd");
  EXPECT_EQ(page_tag("ab"), "ab");
  EXPECT_EQ(page_tag(""), "");
  EXPECT_EQ(page_tag("\xC3\xA9t\xC3\xA9s!"), "\xC3\xA9t\xC3\xA9s");
  StreamRegistry r;
  r.stream_open("a\"b\\", false, std::nullopt, new_stream_control(), s);
  const auto doc = nlohmann::json::parse(*r.status_json("\"store\":null", s, true));
  EXPECT_EQ(doc["streams"]["open"][0]["page"], "a\"b\\");
}

}  // namespace
}  // namespace qm
