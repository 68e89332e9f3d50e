// The mesh route's query checks, in their order, with their exact messages.
#include <gtest/gtest.h>

#include "base/hashing.hpp"
#include "streams/mesh_request.hpp"

namespace qm {
namespace {

std::string error_of(std::string_view query) {
  const auto parsed = parse_mesh_request(query, epoch_id());
  if (!parsed) return std::string(parsed.error());
  return "";
}

MeshRequest ok(std::string_view query) {
  auto parsed = parse_mesh_request(query, epoch_id());
  EXPECT_TRUE(parsed.ok()) << query << ": " << error_of(query);
  return parsed.ok() ? std::move(parsed).value() : MeshRequest{};
}

TEST(MeshRequest, RefusalsInTheirOrder) {
  const std::string t64(64, 'T');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "missing page"},
      {"pages=a&theatre=x", "missing page"},
      {"page=&theatre=x", "page must be 1 to 64 letters, digits, - or _"},
      {"page=" + std::string(65, 'a') + "&theatre=x", "page must be 1 to 64 letters, digits, - or _"},
      {"page=a.b&theatre=x", "page must be 1 to 64 letters, digits, - or _"},
      {"page=a%20b", "page must be 1 to 64 letters, digits, - or _"},
      {"page=ok", "missing theatre"},
      {"page=ok&theatre=", "theatre must be 1 to 64 characters"},
      {"page=ok&theatre=ab%4", "theatre isn't printable text"},
      {"page=ok&theatre=ab%", "theatre isn't printable text"},
      {"page=ok&theatre=ab%zz", "theatre isn't printable text"},
      {"page=ok&theatre=ab%0A", "theatre isn't printable text"},
      {"page=ok&theatre=ab%7F", "theatre isn't printable text"},
      {"page=ok&theatre=" + t64 + "A", "theatre must be 1 to 64 characters"},
      {"page=ok&theatre=" + t64 + "%41", "theatre must be 1 to 64 characters"},
      {"page=ok&theatre=x&probe=0", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&probe=3601", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&probe=12345", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&probe=1e3", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&probe=", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&probe=-1", "probe must be 1 to 3600 seconds"},
      {"page=ok&theatre=x&areas=abc", "areas: only digits, '.', '-', ',', ';' and '|'"},
      {"page=ok&theatre=x&have=zz", "have: <epoch>:<ranges>"},
      {"page=ok&theatre=x&points=01", "points must be 0 or 1"},
      {"page=ok&theatre=x&points=true", "points must be 0 or 1"},
      {"page=ok&theatre=x&points=", "points must be 0 or 1"},
      // The first failing check answers.
      {"page=ok&theatre=&probe=0", "theatre must be 1 to 64 characters"},
      {"page=ok&theatre=x&probe=0&points=2", "probe must be 1 to 3600 seconds"},
  };
  for (const auto& [query, message] : cases) EXPECT_EQ(error_of(query), message) << query;
}

TEST(MeshRequest, DecodedValues) {
  MeshRequest r = ok("page=Map_1-x&theatre=Persian+Gulf%41%2b&probe=0001");
  EXPECT_EQ(r.page, "Map_1-x");
  EXPECT_EQ(r.theatre, "Persian GulfA+");
  EXPECT_EQ(r.probe_seconds, std::optional<std::uint32_t>(1));
  EXPECT_FALSE(r.points);
  EXPECT_FALSE(r.areas_given());
  EXPECT_TRUE(r.have.empty());

  // 64 decoded characters from a longer raw value.
  r = ok("theatre=" + std::string(63, 'T') + "%41&page=p&points=1&probe=3600");
  EXPECT_EQ(r.theatre, std::string(63, 'T') + "A");
  EXPECT_TRUE(r.points);
  EXPECT_EQ(r.probe_seconds, std::optional<std::uint32_t>(3600));
  EXPECT_FALSE(ok("page=p&theatre=x&points=0").points);

  // The first of repeated keys wins; a key only matches with "=".
  r = ok("pagex=1&page=first&page=second&theatre=x");
  EXPECT_EQ(r.page, "first");

  r = ok("page=p&theatre=x&areas=42.5,41.5;100,0;0,100&have=" + epoch_hex() + ":1-3,7");
  ASSERT_EQ(r.areas.size(), 1u);
  EXPECT_TRUE(r.areas_given());
  EXPECT_EQ(r.have, (HaveRanges{{1, 3}, {7, 7}}));
}

}  // namespace
}  // namespace qm
