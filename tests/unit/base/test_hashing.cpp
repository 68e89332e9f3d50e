#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "base/hashing.hpp"

namespace qm {
namespace {

TEST(SipHash13, MatchesKnownVectors) {
  // Zero keys and messages 00, 01, ... of growing length; the values come from an independent
  // SipHash-1-3 (the Rust standard library's default hasher, whose keys are zero).
  const KeyPair key{0, 0};
  unsigned char message[16];
  for (int i = 0; i < 16; ++i) message[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(siphash13(key, message, 0), 0xd1fba762150c532cull);
  EXPECT_EQ(siphash13(key, message, 1), 0x68a914128e01e473ull);
  EXPECT_EQ(siphash13(key, message, 7), 0x2f098ab0c751325aull);
  EXPECT_EQ(siphash13(key, message, 8), 0xead411e67ebe2eeaull);
  EXPECT_EQ(siphash13(key, message, 15), 0xf30eb725bb91c9eaull);
}

TEST(SeededState, EveryTableGetsItsOwnOddSeeds) {
  std::set<std::uint64_t> s0s;
  for (int i = 0; i < 1000; ++i) {
    SeededState state;
    EXPECT_EQ(state.s1 & 1, 1u);
    s0s.insert(state.s0);
  }
  EXPECT_EQ(s0s.size(), 1000u);
}

TEST(SeededHasher, FoldsOneWordAtATime) {
  const SeededState state(12345, 678910);
  SeededHasher h(state);
  h.write(7);
  const std::uint64_t expected = fold(fold(12345 ^ 7, 678911), 678911 ^ 0x243f6a8885a308d3ull);
  EXPECT_EQ(h.finish(), expected);
}

TEST(SeededHasher, KeyEncodingsWriteTheirFieldsInOrder) {
  const SeededState state(1, 3);
  auto hash_of = [&](auto key) {
    SeededHasher h(state);
    hash_write(h, key);
    return h.finish();
  };
  auto hash_words = [&](std::initializer_list<std::uint64_t> words) {
    SeededHasher h(state);
    for (auto w : words) h.write(w);
    return h.finish();
  };
  EXPECT_EQ(hash_of(std::pair<std::int32_t, std::int32_t>(-1, 2)), hash_words({0xffffffffull, 2}));
  EXPECT_EQ(hash_of(std::int64_t{-1}), hash_words({~0ull}));
  EXPECT_NE(hash_of(std::pair<int, int>(1, 2)), hash_of(std::pair<int, int>(2, 1)));

  SeededHasher triple(state);
  hash_key_triple(triple, {1, 0, 0});
  std::initializer_list<std::uint64_t> words = {3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(triple.finish(), hash_words(words));
}

TEST(KeyPairs, LaterDrawsOnAThreadCountUp) {
  const KeyPair a = draw_key_pair();
  const KeyPair b = draw_key_pair();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
  KeyPair other;
  std::thread([&] { other = draw_key_pair(); }).join();
  EXPECT_FALSE(other.k0 == a.k0 && other.k1 == a.k1);
}

TEST(EpochId, IsOneValueForEveryReader) {
  const std::uint64_t first = epoch_id();
  std::uint64_t from_thread = 0;
  std::thread([&] { from_thread = epoch_id(); }).join();
  EXPECT_EQ(first, from_thread);
  const std::string hex = epoch_hex();
  ASSERT_EQ(hex.size(), 16u);
  EXPECT_EQ(std::stoull(hex, nullptr, 16), first);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace qm
