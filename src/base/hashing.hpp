#pragma once
// Seeded hashing of the module's own hash tables, keyed SipHash-1-3 for seeds and the peer table,
// and the process's epoch id.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace qm {

struct KeyPair {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// Keyed SipHash-1-3 (one compression round, three finalisation rounds).
std::uint64_t siphash13(KeyPair key, const void* data, std::size_t length);

// SipHash-1-3 of a 64-bit integer, as its eight little-endian bytes.
inline std::uint64_t siphash13_u64(KeyPair key, std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  return siphash13(key, bytes, sizeof bytes);
}

// SipHash-1-3 of a pair of 32-bit integers, as their eight little-endian bytes.
inline std::uint64_t siphash13_pair(KeyPair key, std::int32_t a, std::int32_t b) {
  unsigned char bytes[8];
  const auto ua = static_cast<std::uint32_t>(a);
  const auto ub = static_cast<std::uint32_t>(b);
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<unsigned char>(ua >> (8 * i));
    bytes[4 + i] = static_cast<unsigned char>(ub >> (8 * i));
  }
  return siphash13(key, bytes, sizeof bytes);
}

// The thread's random key pair: the first draw on a thread comes from the system random source,
// every later draw returns the thread's pair and then adds 1 to its k0.
KeyPair draw_key_pair();

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// The seeds of one hash table (s1 always odd).
struct SeededState {
  std::uint64_t s0;
  std::uint64_t s1;
  SeededState();  // draws the next table's seeds from the process-wide counter
  SeededState(std::uint64_t seed0, std::uint64_t seed1) : s0(seed0), s1(seed1 | 1) {}
};

// The process-wide seed pair (G0, G1), made once.
std::pair<std::uint64_t, std::uint64_t> hash_seeds();

class SeededHasher {
 public:
  explicit SeededHasher(const SeededState& state) : h_(state.s0), s1_(state.s1) {}
  void write(std::uint64_t word) { h_ = fold(h_ ^ word, s1_); }
  void write_bytes(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) write(bytes[i]);
  }
  std::uint64_t finish() const { return fold(h_, s1_ ^ 0x243f6a8885a308d3ull); }

 private:
  std::uint64_t h_;
  std::uint64_t s1_;
};

// How a key writes its words. Integers write themselves (signed by their two's-complement bits,
// zero-extended); pairs, tuples and arrays of integers write each field in order. Other key types
// provide `void hash_write(SeededHasher&, const K&)` found by argument-dependent lookup.
template <class T>
  requires std::is_integral_v<T> || std::is_enum_v<T>
inline void hash_write(SeededHasher& h, T value) {
  if constexpr (std::is_enum_v<T>) {
    hash_write(h, static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::is_signed_v<T>) {
    h.write(static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value)));
  } else {
    h.write(static_cast<std::uint64_t>(value));
  }
}

template <class A, class B>
inline void hash_write(SeededHasher& h, const std::pair<A, B>& p) {
  hash_write(h, p.first);
  hash_write(h, p.second);
}

template <class... T>
inline void hash_write(SeededHasher& h, const std::tuple<T...>& t) {
  std::apply([&h](const auto&... field) { (hash_write(h, field), ...); }, t);
}

template <class T, std::size_t N>
inline void hash_write(SeededHasher& h, const std::array<T, N>& a) {
  for (const auto& v : a) hash_write(h, v);
}

// An array of three 64-bit integers hashed as its length, then its 24 bytes one word each.
void hash_key_triple(SeededHasher& h, const std::array<std::uint64_t, 3>& key);

// The hash functor of the module's own tables: each table constructs its own seeds.
template <class K>
struct SeededHash {
  SeededState state;
  std::size_t operator()(const K& key) const {
    SeededHasher h(state);
    hash_write(h, key);
    return static_cast<std::size_t>(h.finish());
  }
};

template <class K, class V>
using HashMap = std::unordered_map<K, V, SeededHash<K>>;
template <class K>
using HashSet = std::unordered_set<K, SeededHash<K>>;

// The random 64-bit identity of this load of the module, made once per process.
std::uint64_t epoch_id();
// The epoch id as 16 lower-case hexadecimal digits.
std::string epoch_hex();

}  // namespace qm
