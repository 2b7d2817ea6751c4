#include "parse/large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace morvalen::parse {

std::byte* map_large(std::size_t size) noexcept {
  // Mapped with a large page of slack, the unaligned ends then given back.
  const std::size_t padded = size + kLargePage;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (const std::uintptr_t tail = start + padded - (aligned + size); tail > 0) {
    munmap(reinterpret_cast<void*>(aligned + size), tail);
  }
  auto* block = reinterpret_cast<std::byte*>(aligned);
#ifdef MADV_HUGEPAGE
  // Advice only: without large pages the block works all the same.
  madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void unmap_large(std::byte* block, std::size_t size) noexcept { munmap(block, size); }

}  // namespace morvalen::parse
