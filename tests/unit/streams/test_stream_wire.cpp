// The mesh stream's frames, byte by byte, against layouts written out here by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "base/hashing.hpp"
#include "streams/wire.hpp"

namespace qm {
namespace {

// Little-endian bytes, written out field by field.
struct Bytes {
  std::string b;
  Bytes& u8(unsigned v) {
    b.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
  Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Bytes& f32(float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
  }
  Bytes& f64(double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, 8);
    return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32));
  }
  Bytes& text(std::string_view t) {
    b.append(t);
    return *this;
  }
};

std::string hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// A blocks conversion with one fit for block (0, 0): latitude and longitude linear in the block's
// local coordinates u = x / 8000 and v = z / 8000.
struct OneBlock {
  BlockFitMap fits;
  OneBlock(double lat_per_v, double lon_per_u) {
    BlockFit f;
    f.key = {0, 0};
    f.lat = {0, 0, lat_per_v, 0, 0, 0};
    f.lon = {0, lon_per_u, 0, 0, 0, 0};
    fits.emplace(f.key, f);
  }
  MapConversion conversion() const { return MapConversion::of_blocks(&fits); }
};

TEST(StreamWire, FrameIsLengthKindPayload) {
  std::string buffer = "HEAD";
  write_frame(buffer, FrameKind::end, "{\"end\":\"replaced\"}");
  write_frame(buffer, FrameKind::points, "");
  EXPECT_EQ(hex(buffer), hex(std::string("HEAD") + std::string("\x12\0\0\0\x06\0\0\0", 8) + "{\"end\":\"replaced\"}" +
                             std::string("\0\0\0\0\x05\0\0\0", 8)));
}

TEST(StreamWire, JsonRecords) {
  EXPECT_EQ(head_record("Caucasus", "none", 0, {}),
            "{\"api\":1,\"exporter\":\"1.1.0\",\"epoch\":\"" + epoch_hex() +
                "\",\"theatre\":\"Caucasus\",\"projection\":\"none\",\"squares\":0,\"refused\":[]}");
  EXPECT_EQ(head_record("Per\"sian Gulf", "tm", 12, {0, 3}),
            "{\"api\":1,\"exporter\":\"1.1.0\",\"epoch\":\"" + epoch_hex() +
                "\",\"theatre\":\"Per\\\"sian Gulf\",\"projection\":\"tm\",\"squares\":12,\"refused\":[0,3]}");
  EXPECT_EQ(state_record("paused: menu", 1, 4, 2, 3, 9),
            "{\"state\":\"paused: menu\",\"squares\":{\"done\":1,\"total\":4},\"failed\":2,\"owed\":3,\"beat\":9}");
  EXPECT_EQ(end_complete_record(0), "{\"end\":\"complete\",\"failed\":0}");
  EXPECT_EQ(end_complete_record(17), "{\"end\":\"complete\",\"failed\":17}");
  EXPECT_EQ(end_error_record("the sampler thread \"ended\""),
            "{\"end\":\"error\",\"reason\":\"the exporter can't mesh: the sampler thread \\\"ended\\\"\"}");
  EXPECT_EQ(end_stopped_record(), "{\"end\":\"error\",\"reason\":\"the exporter stopped\"}");
  EXPECT_EQ(end_stopped_record().size(), 47u);
  EXPECT_EQ(end_theatre_record("Syria\n"), "{\"end\":\"theatre\",\"theatre\":\"Syria\\n\"}");
  EXPECT_EQ(end_named_record(EndReason::replaced), "{\"end\":\"replaced\"}");
  EXPECT_EQ(end_named_record(EndReason::server), "{\"end\":\"server\"}");
}

TEST(StreamWire, DropListsMissingRunsInsideTheHaveRanges) {
  struct Case {
    HaveRanges have;
    std::set<std::uint32_t> held;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{{5, 9}}, {6, 7}, "{\"drop\":\"5,8-9\"}"},
      {{}, {1, 2}, std::nullopt},
      {{{5, 9}}, {5, 6, 7, 8, 9}, std::nullopt},
      {{{1, 1}, {3, 6}, {10, 12}}, {1, 4, 11, 50}, "{\"drop\":\"3,5-6,10,12\"}"},
      {{{0, 3}}, {}, "{\"drop\":\"0-3\"}"},
      {{{4294967294ull, 4294967296ull}}, {4294967295u}, "{\"drop\":\"4294967294,4294967296\"}"},
      {{{7, 7}}, {7}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(drop_record(c.have, c.held), c.expected);
}

TEST(StreamWire, OneVertexPieceIsSixtyBytesWithTwoBytePadding) {
  // Every vertex at latitude 0, longitude 0: every delta is 0. (tan(pi/4) is a hair below 1, so
  // the equator's northing is a hair below 0.)
  const OneBlock block(0.0, 0.0);
  volatile double quarter_turn = std::numbers::pi / 4;  // computed at run time, as the writer does
  const double y0 = 6378137.0 * std::log(std::tan(quarter_turn));
  const double lat0 = (2 * std::atan(std::exp(y0 / 6378137.0)) - std::numbers::pi / 2) * 57.29577951308232;
  PieceCopy piece;
  piece.id = 0x1'0000'0007ull;  // only the low 32 bits travel
  piece.vertices = {{100.0, 200.0, 12.5}};
  piece.triangles = {{0, 0, 0}};
  const std::optional<std::string> payload = piece_payload(piece, block.conversion());
  ASSERT_TRUE(payload);
  const std::string expected = std::string(8, '\0') + Bytes().f64(y0).f64(lat0).b +
                               std::string("\x07\0\0\0" "\x01\0\0\0" "\x01\0\0\0" "\x02\0\0\0", 16) +
                               std::string("\0\0\0\0" "\0\0\0\0" "\0\0\x48\x41", 12) +  // 0, 0, 12.5f
                               std::string(6, '\0') + std::string(2, '\0');
  EXPECT_EQ(hex(*payload), hex(expected));
  EXPECT_EQ(payload->size(), 60u);
}

TEST(StreamWire, PieceConvertsToWebMercatorAboutTheBoxCentre) {
  // Longitude 1 degree per block width along x; latitude 60 degrees per block width along z.
  const OneBlock block(60.0, 1.0);
  PieceCopy piece;
  piece.id = 42;
  piece.vertices = {{0.0, 0.0, 1.0}, {7992.0, 0.0, -2.0}, {0.0, 7999.0, 3.0}};
  piece.triangles = {{2, 1, 0}};
  // Read through a volatile so that the expected values come from the run-time maths library, like
  // the writer's, and not from the compiler's constant folding (which can differ in the last bit).
  volatile double radius = 6378137.0;
  const double R = radius;
  const double deg = std::numbers::pi / 180.0;
  const double x1 = R * ((7992.0 / 8000.0) * deg);
  const double lat2 = 60.0 * (7999.0 / 8000.0);
  const double y2 = R * std::log(std::tan(std::numbers::pi / 4 + lat2 * deg / 2));
  const double x0 = x1 / 2, y0 = y2 / 2;
  const double lat0 = (2 * std::atan(std::exp(y0 / R)) - std::numbers::pi / 2) * 57.29577951308232;
  Bytes e;
  e.f64(x0).f64(y0).f64(lat0).u32(42).u32(3).u32(1).u32(2);
  e.f32(static_cast<float>(0.0 - x0)).f32(static_cast<float>(0.0 - y0)).f32(1.0f);
  e.f32(static_cast<float>(x1 - x0)).f32(static_cast<float>(0.0 - y0)).f32(-2.0f);
  e.f32(static_cast<float>(0.0 - x0)).f32(static_cast<float>(y2 - y0)).f32(3.0f);
  e.u16(2).u16(1).u16(0).u16(0);  // six index bytes, two of padding
  const std::optional<std::string> payload = piece_payload(piece, block.conversion());
  ASSERT_TRUE(payload);
  EXPECT_EQ(hex(*payload), hex(e.b));
}

TEST(StreamWire, IndexWidthFollowsTheVertexCount) {
  const OneBlock block(0.0, 0.0);
  for (const std::size_t count : {std::size_t{65535}, std::size_t{65536}}) {
    PieceCopy piece;
    piece.vertices.assign(count, {1.0, 1.0, 0.0});
    piece.triangles = {{count - 1, 1, 0}};
    const std::optional<std::string> payload = piece_payload(piece, block.conversion());
    ASSERT_TRUE(payload);
    const unsigned width = count == 65535 ? 2 : 4;
    EXPECT_EQ(static_cast<unsigned char>((*payload)[36]), width);
    const std::size_t at = 40 + 12 * count;
    Bytes e;
    if (width == 2) {
      e.u16(static_cast<unsigned>(count - 1)).u16(1).u16(0).u16(0);
    } else {
      e.u32(static_cast<std::uint32_t>(count - 1)).u32(1).u32(0);
    }
    EXPECT_EQ(hex(payload->substr(at)), hex(e.b)) << count;
  }
}

TEST(StreamWire, PieceWithAnUnconvertibleVertexGivesNothing) {
  const OneBlock block(0.0, 0.0);
  PieceCopy piece;
  piece.vertices = {{1.0, 1.0, 0.0}, {8001.0, 1.0, 0.0}};  // the second lies in block (1, 0): no fit
  EXPECT_FALSE(piece_payload(piece, block.conversion()));
  PieceCopy empty;
  const std::optional<std::string> payload = piece_payload(empty, block.conversion());
  ASSERT_TRUE(payload);
  EXPECT_EQ(hex(*payload), hex(std::string(24, '\0') + std::string("\0\0\0\0\0\0\0\0\0\0\0\0\x02\0\0\0", 16)));
}

TEST(StreamWire, PointsAreRelativeToTheFirstConvertedPoint) {
  const OneBlock block(60.0, 1.0);
  // The first point has no fit and is left out; three remain.
  const std::vector<std::array<std::int32_t, 2>> points = {{-5, 0}, {800, 0}, {0, 0}, {800, 4000}};
  const std::string payload = points_payload(points, block.conversion());
  ASSERT_EQ(payload.size(), 44u);
  const double R = 6378137.0;
  const double deg = std::numbers::pi / 180.0;
  const double x1 = R * (0.1 * deg);
  const double y0 = R * std::log(std::tan(std::numbers::pi / 4));
  const double y3 = R * std::log(std::tan(std::numbers::pi / 4 + 30.0 * deg / 2));
  Bytes e;
  e.f64(x1).f64(y0).u32(3);
  e.f32(0.0f).f32(0.0f);
  e.f32(static_cast<float>(0.0 - x1)).f32(0.0f);
  e.f32(static_cast<float>(x1 - x1)).f32(static_cast<float>(y3 - y0));
  EXPECT_EQ(hex(payload), hex(e.b));
  EXPECT_EQ(hex(points_payload({{-1, -1}}, block.conversion())), hex(std::string(20, '\0')));
}

}  // namespace
}  // namespace qm
