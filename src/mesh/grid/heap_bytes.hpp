#pragma once
// What the heap holds for the module's containers, counted from their own sizes, in the bytes that
// a 64-bit glibc heap hands out: a request of n bytes takes heap_block_bytes(n) (8 bytes of header,
// 16-byte steps, 32 bytes at least). The container layouts are those of the GNU C++ library that
// the module is built with: a vector's one block of its capacity; a hash table's bucket array
// and one node per entry (the next link, the value and the cached hash, as for the module's own
// seeded hasher); an ordered tree's one node per entry (colour and three links, then the value).
// The group memory estimate counts in these bytes.
#include <cstdint>
#include <limits>
#include <vector>

namespace qm::mesh {

inline constexpr std::uint64_t heap_block_bytes(std::uint64_t n) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max() - 32;
  if (n > kMost) return std::numeric_limits<std::uint64_t>::max();
  if (n + 8 <= 32) return 32;
  return (n + 8 + 15) & ~std::uint64_t{15};
}

// The bytes of `count` blocks of `each` bytes.
inline constexpr std::uint64_t heap_blocks_bytes(std::uint64_t count, std::uint64_t each) {
  const std::uint64_t block = heap_block_bytes(each);
  if (count != 0 && block > std::numeric_limits<std::uint64_t>::max() / count) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return count * block;
}

template <class T>
std::uint64_t heap_bytes_of_vector(const std::vector<T>& v) {
  return v.capacity() == 0 ? 0 : heap_block_bytes(v.capacity() * sizeof(T));
}

// A vector of vectors: the outer block and every inner one.
template <class T>
std::uint64_t heap_bytes_of_nested(const std::vector<std::vector<T>>& v) {
  std::uint64_t sum = heap_bytes_of_vector(v);
  for (const std::vector<T>& inner : v) sum += heap_bytes_of_vector(inner);
  return sum;
}

// The node of a hash table entry: the next link, the value (aligned), the cached hash.
template <class Value>
inline constexpr std::uint64_t kHashNodeBytes =
    (sizeof(void*) + sizeof(Value) + alignof(std::size_t) - 1) / alignof(std::size_t) * alignof(std::size_t) +
    sizeof(std::size_t);

template <class Table>
std::uint64_t heap_bytes_of_hash(const Table& t) {
  const std::uint64_t buckets = t.bucket_count() > 1 ? heap_block_bytes(t.bucket_count() * sizeof(void*)) : 0;
  return buckets + heap_blocks_bytes(t.size(), kHashNodeBytes<typename Table::value_type>);
}

// The node of an ordered tree entry: colour and parent, left and right links, then the value.
template <class Value>
inline constexpr std::uint64_t kTreeNodeBytes = 32 + sizeof(Value);

template <class Tree>
std::uint64_t heap_bytes_of_tree(const Tree& t) {
  return heap_blocks_bytes(t.size(), kTreeNodeBytes<typename Tree::value_type>);
}

}  // namespace qm::mesh
