// The counting operator new and delete of the programs that measure memory (see heap_meter.hpp).
// Each block carries a 16-byte header in front of it: the bytes it counted (0 when it was
// allocated uncounted) and the start of the block that malloc gave.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mesh/grid/heap_bytes.hpp"
#include "heap_meter.hpp"

namespace {

namespace meter = qm::mesh::fixture::heap_meter;

struct Header {
  std::uint64_t bytes;
  void* raw;
};
static_assert(sizeof(Header) == 16);

void* take(std::size_t n, std::size_t align) {
  if (align < alignof(std::max_align_t)) align = alignof(std::max_align_t);
  if (n > SIZE_MAX - sizeof(Header) - align) throw std::bad_alloc();
  void* raw = std::malloc(n + sizeof(Header) + align);
  if (raw == nullptr) throw std::bad_alloc();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(Header);
  const std::uintptr_t at = (start + align - 1) & ~static_cast<std::uintptr_t>(align - 1);
  const Header header{meter::uncounted_now() ? 0 : qm::mesh::heap_block_bytes(n), raw};
  std::memcpy(reinterpret_cast<void*>(at - sizeof(Header)), &header, sizeof header);
  if (header.bytes != 0) meter::allocated(header.bytes);
  return reinterpret_cast<void*>(at);
}

void give(void* p) noexcept {
  if (p == nullptr) return;
  Header header;
  std::memcpy(&header, static_cast<char*>(p) - sizeof(Header), sizeof header);
  if (header.bytes != 0) meter::deleted(header.bytes);
  std::free(header.raw);
}

void* take_nothrow(std::size_t n, std::size_t align) noexcept {
  try {
    return take(n, align);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t n) { return take(n, 0); }
void* operator new[](std::size_t n) { return take(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return take_nothrow(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return take_nothrow(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return take(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return take(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take_nothrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take_nothrow(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { give(p); }
void operator delete[](void* p) noexcept { give(p); }
void operator delete(void* p, std::size_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t) noexcept { give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete(void* p, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::align_val_t) noexcept { give(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { give(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p); }
