#pragma once

#include <cstddef>
#include <new>

namespace morvalen::parse {

/// The size of a large page: buffers from this size up are mapped directly
/// and asked for large pages. A long program's tokens and tree then cost one
/// page fault per large page rather than one per small page, which otherwise
/// outweighs the parse itself.
inline constexpr std::size_t kLargePage = std::size_t{1} << 21;

/// `size` rounded up to a whole number of large pages.
constexpr std::size_t round_up_to_large_page(std::size_t size) { return (size + kLargePage - 1) & ~(kLargePage - 1); }

/// `size` bytes (a whole number of large pages) aligned to a large page, or
/// null when the system maps none. Given back with `unmap_large`.
std::byte* map_large(std::size_t size) noexcept;
void unmap_large(std::byte* block, std::size_t size) noexcept;

/// An allocator for the parser's long buffers: below the large-page size it
/// is the default allocator, from there on it maps large pages.
template <typename T>
struct LargePageAllocator {
  using value_type = T;

  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePage) return static_cast<T*>(::operator new(bytes));
    std::byte* block = map_large(round_up_to_large_page(bytes));
    if (block == nullptr) throw std::bad_alloc();
    return reinterpret_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePage) {
      ::operator delete(p);
    } else {
      unmap_large(reinterpret_cast<std::byte*>(p), round_up_to_large_page(bytes));
    }
  }

  template <typename U>
  friend bool operator==(const LargePageAllocator&, const LargePageAllocator<U>&) {
    return true;
  }
};

}  // namespace morvalen::parse
