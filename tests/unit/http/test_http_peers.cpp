#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "http/peer_table.hpp"
#include "http/server.hpp"

namespace qm::server {
namespace {

constexpr Instant second = 1000000000;
const PeerAddress lo1 = PeerAddress::ipv4(0x7F000001);
const PeerAddress lo2 = PeerAddress::ipv4(0x7F000002);
const PeerAddress lan1 = PeerAddress::ipv4(0xC0A80114);  // 192.168.1.20

TEST(HttpPeers, RefillAndItsEdges) {
  double level = 0.0;
  Instant last = 10 * second;
  refill_bucket(level, last, 20.0, 40.0, 10 * second + second / 2);
  EXPECT_DOUBLE_EQ(level, 10.0);
  EXPECT_EQ(last, 10 * second + second / 2);
  refill_bucket(level, last, 20.0, 40.0, 5 * second);  // earlier: nothing added
  EXPECT_DOUBLE_EQ(level, 10.0);
  EXPECT_EQ(last, 5 * second);
  refill_bucket(level, last, 20.0, 40.0, 100 * second);
  EXPECT_DOUBLE_EQ(level, 40.0);
  level = std::numeric_limits<double>::quiet_NaN();
  refill_bucket(level, last, 20.0, 40.0, 100 * second);
  EXPECT_DOUBLE_EQ(level, 40.0);
  level = 3.0;
  refill_bucket(level, last, 20.0, std::numeric_limits<double>::quiet_NaN(), 101 * second);
  EXPECT_DOUBLE_EQ(level, 23.0);
}

TEST(HttpPeers, PeerFilterAndLoopback) {
  struct Case {
    PeerAddress a;
    bool may, loopback;
  };
  std::array<std::uint8_t, 16> v6_loop{};
  v6_loop[15] = 1;
  std::array<std::uint8_t, 16> mapped{};
  mapped[10] = mapped[11] = 0xFF;
  mapped[12] = 127;
  mapped[15] = 1;
  const Case cases[] = {
      {lo1, true, true},
      {lan1, true, false},
      {PeerAddress::ipv4(0x0A000001), true, false},
      {PeerAddress::ipv4(0xAC100001), true, false},
      {PeerAddress::ipv4(0xAC200001), false, false},
      {PeerAddress::ipv4(0x08080808), false, false},
      {PeerAddress::ipv6(v6_loop), true, true},
      {PeerAddress::ipv6(mapped), false, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].a.may_connect(), cases[i].may) << i;
    EXPECT_EQ(cases[i].a.is_loopback(), cases[i].loopback) << i;
  }
}

TEST(HttpPeers, EightConnectionsPerPeer) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(table.admit(lo1, second, open), Admission::admitted);
  EXPECT_EQ(table.admit(lo1, second, open), Admission::busy);
  EXPECT_EQ(table.admit(lo2, second, open), Admission::admitted);  // another peer is not held back
  table.release_connection(lo1, second, open);
  EXPECT_EQ(table.admit(lo1, second, open), Admission::admitted);
  EXPECT_EQ(open.load(), 9u);
}

TEST(HttpPeers, ConnectionBucketBurstAndRate) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0};
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(table.admit(lo1, second, open), Admission::admitted) << i;
    table.release_connection(lo1, second, open);
  }
  EXPECT_EQ(table.admit(lo1, second, open), Admission::busy);  // the 41st within the same instant
  // 20 tokens per second: 50 ms later there is one again.
  EXPECT_EQ(table.admit(lo1, second + second / 20, open), Admission::admitted);
  EXPECT_EQ(table.admit(lo1, second + second / 20, open), Admission::busy);
}

TEST(HttpPeers, ServerWideLimitKeepsFourForLoopback) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{16};
  EXPECT_EQ(table.admit(lan1, second, open), Admission::busy);
  EXPECT_EQ(table.size(), 0u);  // refused before the entry is looked at
  for (int i = 0; i < 4; ++i) EXPECT_EQ(table.admit(lo1, second, open), Admission::admitted);
  EXPECT_EQ(table.admit(lo2, second, open), Admission::busy);
  open = 15;
  EXPECT_EQ(table.admit(lan1, second, open), Admission::admitted);
}

TEST(HttpPeers, LanWideBucket) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0};
  // 100 LAN connections from distinct private peers drain the LAN-wide bucket; loopback is exempt.
  for (std::uint32_t i = 0; i < 100; ++i) {
    const PeerAddress p = PeerAddress::ipv4(0x0A000000 + i);
    ASSERT_EQ(table.admit(p, second, open), Admission::admitted) << i;
    table.release_connection(p, second, open);
  }
  EXPECT_EQ(table.admit(PeerAddress::ipv4(0x0A0000FF), second, open), Admission::busy);
  EXPECT_EQ(table.admit(lo1, second, open), Admission::admitted);
  EXPECT_EQ(table.admit(PeerAddress::ipv4(0x0A0000FF), second + second / 100, open), Admission::admitted);
}

TEST(HttpPeers, ReleasesGiveBackAndErase) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0}, streams{0};
  ASSERT_EQ(table.admit(lo1, second, open), Admission::admitted);
  table.release_connection(lo1, second, open);
  // Counts are 0 but lane 1 is below its burst: the entry survives.
  ClientEntry e;
  ASSERT_TRUE(table.find(lo1, e));
  EXPECT_EQ(e.connections, 0u);
  EXPECT_DOUBLE_EQ(e.connection, 39.0);
  // A later release (of a slot whose entry is still there) refills it and erases it.
  ASSERT_EQ(table.admit(lo1, second, open), Admission::admitted);
  table.release_connection(lo1, 10 * second, open);
  EXPECT_FALSE(table.find(lo1, e));
  EXPECT_EQ(open.load(), 0u);
  // A release whose entry has vanished still lowers the server's counts; a count at 0 stays 0.
  open = 3;
  table.release_connection(lo2, 10 * second, open);
  EXPECT_EQ(open.load(), 2u);
  streams = 2;
  table.release_stream(lo2, streams);
  EXPECT_EQ(streams.load(), 1u);
  ASSERT_EQ(table.admit(lo2, 10 * second, open), Admission::admitted);
  table.release_stream(lo2, streams);
  table.release_terrain_request(lo2);
  ASSERT_TRUE(table.find(lo2, e));
  EXPECT_EQ(e.streams, 0u);
  EXPECT_EQ(e.terrain_requests, 0u);
}

TEST(HttpPeers, StreamLimits) {
  // The server's streams, then the connections (20 less the streams' reserve of 2, and for a LAN
  // peer the loopback reserve of 4 besides), then the peer's own two.
  struct Case {
    PeerAddress peer;
    std::uint64_t connections, streams, peer_streams;
    Admission want;
  };
  const Case cases[] = {
      {lo1, 0, 5, 0, Admission::admitted}, {lo1, 0, 6, 0, Admission::busy},
      {lo1, 18, 0, 0, Admission::admitted}, {lo1, 19, 0, 0, Admission::busy},
      {lan1, 14, 0, 0, Admission::admitted}, {lan1, 15, 0, 0, Admission::busy},
      {lo1, 0, 0, 1, Admission::admitted}, {lo1, 0, 0, 2, Admission::busy},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    PeerTable table(server_config, second);
    std::atomic<std::uint64_t> connections{c.connections}, streams{0};
    for (std::uint64_t k = 0; k < c.peer_streams; ++k)
      ASSERT_EQ(table.take_stream(c.peer, second, streams, connections), Admission::admitted) << i;
    streams = c.streams + c.peer_streams;
    EXPECT_EQ(table.take_stream(c.peer, second, streams, connections), c.want) << i;
    const bool taken = c.want == Admission::admitted;
    EXPECT_EQ(streams.load(), c.streams + c.peer_streams + (taken ? 1 : 0)) << i;
    // A peer refused for the server's limits gets no entry.
    ClientEntry e;
    ASSERT_EQ(table.find(c.peer, e), taken || c.peer_streams > 0) << i;
    if (taken || c.peer_streams > 0) {
      EXPECT_EQ(e.streams, c.peer_streams + (taken ? 1 : 0)) << i;
    }
  }
  // A stream given back makes room for the peer's next.
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> connections{0}, streams{0};
  ASSERT_EQ(table.take_stream(lo1, second, streams, connections), Admission::admitted);
  ASSERT_EQ(table.take_stream(lo1, second, streams, connections), Admission::admitted);
  table.release_stream(lo1, streams);
  EXPECT_EQ(table.take_stream(lo1, second, streams, connections), Admission::admitted);
}

TEST(HttpPeers, TerrainRequestCharges) {
  PeerTable table(server_config, second);
  ClientEntry e;
  // A full lane pays for 4000 points at once.
  ASSERT_EQ(table.take_terrain_request(lo1, second, 4000), (TerrainAdmission{Admission::admitted, 0}));
  // An empty lane: the wait is for the missing tokens at 2000 a second, 1 to 60 s, and nothing is taken.
  EXPECT_EQ(table.take_terrain_request(lo1, second, 1), (TerrainAdmission{Admission::busy, 1}));
  EXPECT_EQ(table.take_terrain_request(lo1, second, 5000), (TerrainAdmission{Admission::busy, 3}));
  EXPECT_EQ(table.take_terrain_request(lo1, second, 1000000), (TerrainAdmission{Admission::busy, 60}));
  ASSERT_TRUE(table.find(lo1, e));
  EXPECT_EQ(e.terrain_requests, 1u);
  EXPECT_DOUBLE_EQ(e.points, 0.0);
  // Half a second refills 1000 tokens.
  EXPECT_EQ(table.take_terrain_request(lo1, second + second / 2, 1000), (TerrainAdmission{Admission::admitted, 0}));
  // Two requests in flight: the third waits a second, whatever the lane holds, and refills nothing.
  EXPECT_EQ(table.take_terrain_request(lo1, 100 * second, 1), (TerrainAdmission{Admission::busy, 1}));
  ASSERT_TRUE(table.find(lo1, e));
  EXPECT_EQ(e.terrain_requests, 2u);
  EXPECT_DOUBLE_EQ(e.points, 0.0);
  EXPECT_EQ(e.last_refill, second + second / 2);
  table.release_terrain_request(lo1);
  EXPECT_EQ(table.take_terrain_request(lo1, 100 * second, 1), (TerrainAdmission{Admission::admitted, 0}));
}

TEST(HttpPeers, PruningAtSixtyFourEntries) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0};
  // 64 peers, each with one connection given back: idle once refilled.
  for (std::uint32_t i = 0; i < 64; ++i) {
    const PeerAddress p = PeerAddress::ipv4(0x7F000100 + i);
    ASSERT_EQ(table.admit(p, second, open), Admission::admitted);
    if (i != 0) table.release_connection(p, second, open);
  }
  EXPECT_EQ(table.size(), 64u);
  // A known peer never prunes.
  ASSERT_EQ(table.admit(PeerAddress::ipv4(0x7F000105), 5 * second, open), Admission::admitted);
  EXPECT_EQ(table.size(), 64u);
  // A new peer prunes every idle entry (the refilled ones): only the peer with an open
  // connection, the one just admitted again, and the newcomer remain.
  ASSERT_EQ(table.admit(lo2, 5 * second, open), Admission::admitted);
  EXPECT_EQ(table.size(), 3u);
}

TEST(HttpPeers, BelowSixtyFourNothingIsPruned) {
  PeerTable table(server_config, second);
  std::atomic<std::uint64_t> open{0};
  for (std::uint32_t i = 0; i < 63; ++i) {
    const PeerAddress p = PeerAddress::ipv4(0x7F000100 + i);
    ASSERT_EQ(table.admit(p, second, open), Admission::admitted);
    table.release_connection(p, second, open);
  }
  ASSERT_EQ(table.admit(lo2, 50 * second, open), Admission::admitted);
  EXPECT_EQ(table.size(), 64u);
}

}  // namespace
}  // namespace qm::server
