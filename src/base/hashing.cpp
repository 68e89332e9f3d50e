#include "base/hashing.hpp"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/clock.hpp"
#include "platform/random.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
};

inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::once_flag seeds_once;
std::pair<std::uint64_t, std::uint64_t> seeds_value;
std::atomic<std::uint64_t> hash_table_counter{0};  // relaxed: only the numbers must differ
std::once_flag epoch_once;
std::uint64_t epoch_value = 0;

}  // namespace

std::uint64_t siphash13(KeyPair key, const void* data, std::size_t length) {
  const auto* in = static_cast<const unsigned char*>(data);
  SipState s{0x736f6d6570736575ull ^ key.k0, 0x646f72616e646f6dull ^ key.k1, 0x6c7967656e657261ull ^ key.k0,
             0x7465646279746573ull ^ key.k1};
  const std::size_t whole = length - length % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    const std::uint64_t m = load_le64(in + i);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(length & 0xff) << 56;
  for (std::size_t i = 0; i < length % 8; ++i) last |= static_cast<std::uint64_t>(in[whole + i]) << (8 * i);
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

KeyPair draw_key_pair() {
  thread_local bool drawn = false;
  thread_local KeyPair pair;
  if (!drawn) {
    unsigned char bytes[16];
    if (platform::system_random(bytes, sizeof bytes)) {
      pair.k0 = load_le64(bytes);
      pair.k1 = load_le64(bytes + 8);
    } else {
      // No random source: the clock and this thread's address still vary between processes and threads.
      pair.k0 = platform::monotonic_ns() ^ 0x9e3779b97f4a7c15ull;
      pair.k1 = reinterpret_cast<std::uintptr_t>(&pair) * 0xbf58476d1ce4e5b9ull;
    }
    drawn = true;
  }
  const KeyPair result = pair;
  pair.k0 += 1;
  return result;
}

std::pair<std::uint64_t, std::uint64_t> hash_seeds() {
  std::call_once(seeds_once, [] {
    const KeyPair key = draw_key_pair();
    seeds_value = {siphash13_u64(key, 0x5eed), siphash13_u64(key, 0x5eed5eed)};
  });
  return seeds_value;
}

SeededState::SeededState() {
  const auto [g0, g1] = hash_seeds();
  const std::uint64_t n = hash_table_counter.fetch_add(1, std::memory_order_relaxed);
  s0 = n * 0x9e3779b97f4a7c15ull + g0;
  s1 = (rotl(n, 17) ^ g1) | 1;
}

void hash_key_triple(SeededHasher& h, const std::array<std::uint64_t, 3>& key) {
  h.write(3);
  for (std::uint64_t v : key)
    for (int i = 0; i < 8; ++i) h.write((v >> (8 * i)) & 0xff);
}

std::uint64_t epoch_id() {
  std::call_once(epoch_once, [] {
    const KeyPair key = draw_key_pair();
    const std::uint64_t now = platform::monotonic_ns();
    const std::uint64_t seconds = now / kNanosPerSecond;
    const std::uint32_t nanos = static_cast<std::uint32_t>(now % kNanosPerSecond);
    unsigned char bytes[12];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(seconds >> (8 * i));
    for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<unsigned char>(nanos >> (8 * i));
    epoch_value = siphash13(key, bytes, sizeof bytes);
  });
  return epoch_value;
}

std::string epoch_hex() {
  static constexpr char digits[] = "0123456789abcdef";
  const std::uint64_t id = epoch_id();
  std::string out(16, '0');
  for (int i = 0; i < 16; ++i) out[15 - i] = digits[(id >> (4 * i)) & 0xf];
  return out;
}

}  // namespace qm
