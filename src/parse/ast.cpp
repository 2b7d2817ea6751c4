#include "parse/ast.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "parse/large_pages.h"

namespace morvalen::parse {
namespace {

// Blocks start small, so that a one-line program costs one small block, and
// double up to a size whose unused tail does not matter. From the large-page
// size up they are mapped in large pages (see `map_large`).
constexpr std::size_t kFirstBlock = std::size_t{1} << 10;
constexpr std::size_t kLargestBlock = std::size_t{1} << 25;

// The blocks below the large-page size, one of each size, kept per thread
// when an arena goes, for the next arena to take: a tree is mostly built
// and dropped again soon, and without them every parse would allocate its
// first blocks anew and, for larger trees, fault their pages in again after
// the allocator gave them back to the system. At most about 2 MiB per thread.
constexpr std::size_t kKeptSizes = std::countr_zero(kLargePage) - std::countr_zero(kFirstBlock);

// Set when the thread's kept blocks are gone (at thread exit): arenas dropped
// after that free their blocks.
thread_local bool kept_blocks_closed = false;

class KeptBlocks {
 public:
  KeptBlocks() = default;
  KeptBlocks(const KeptBlocks&) = delete;
  KeptBlocks& operator=(const KeptBlocks&) = delete;
  ~KeptBlocks() {
    for (std::byte* block : by_size_) delete[] block;
    kept_blocks_closed = true;
  }

  // A kept block of `size` (a power of two below the large-page size), or null.
  std::byte* take(std::size_t size) { return std::exchange(by_size_[index(size)], nullptr); }
  // Keeps `block` of `size`; false when one of that size is kept already.
  bool keep(std::byte* block, std::size_t size) {
    std::byte*& slot = by_size_[index(size)];
    if (slot != nullptr) return false;
    slot = block;
    return true;
  }

 private:
  static std::size_t index(std::size_t size) {
    return static_cast<std::size_t>(std::countr_zero(size) - std::countr_zero(kFirstBlock));
  }

  std::array<std::byte*, kKeptSizes> by_size_{};
};

// The thread's kept blocks, or null at thread exit.
KeptBlocks* kept_blocks() {
  if (kept_blocks_closed) return nullptr;
  thread_local KeptBlocks blocks;
  return &blocks;
}

// Where a block came from, and so where it goes back to.
enum class BlockSource : std::uint8_t { Heap, Kept, Mapped };

// The header takes the start of the block; what follows it keeps the block's
// alignment.
constexpr std::size_t kHeaderSize = 32;
static_assert(alignof(std::max_align_t) <= kHeaderSize);

}  // namespace

struct NodeArena::BlockHeader {
  BlockHeader* previous = nullptr;
  // Of the whole block, header included.
  std::size_t size = 0;
  BlockSource source = BlockSource::Heap;
};

NodeArena& NodeArena::operator=(NodeArena&& other) noexcept {
  if (this != &other) {
    release();
    last_block_ = std::exchange(other.last_block_, nullptr);
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    block_size_ = std::exchange(other.block_size_, 0);
  }
  return *this;
}

void NodeArena::release() noexcept {
  for (BlockHeader* header = last_block_; header != nullptr;) {
    BlockHeader* const previous = header->previous;
    auto* const block = reinterpret_cast<std::byte*>(header);
    const std::size_t size = header->size;
    switch (header->source) {
      case BlockSource::Kept:
        if (KeptBlocks* kept = kept_blocks(); kept != nullptr && kept->keep(block, size)) break;
        delete[] block;
        break;
      case BlockSource::Heap:
        delete[] block;
        break;
      case BlockSource::Mapped:
        unmap_large(block, size);
        break;
    }
    header = previous;
  }
  last_block_ = nullptr;
}

void* NodeArena::allocate_in_new_block(std::size_t bytes) {
  static_assert(sizeof(BlockHeader) <= kHeaderSize);
  const std::size_t size = block_size_ == 0 ? kFirstBlock : std::min(kLargestBlock, 2 * block_size_);
  // A request larger than half a block gets a block of its own; the current
  // block stays current.
  const bool own = bytes > (size - kHeaderSize) / 2;
  BlockHeader header{last_block_, own ? kHeaderSize + bytes : size, BlockSource::Heap};
  std::byte* block = nullptr;
  if (header.size >= kLargePage) {
    header.size = round_up_to_large_page(header.size);
    block = map_large(header.size);
    if (block != nullptr) header.source = BlockSource::Mapped;
  } else if (!own) {
    header.source = BlockSource::Kept;
    if (KeptBlocks* kept = kept_blocks()) block = kept->take(size);
  }
  if (block == nullptr) block = new std::byte[header.size];
  last_block_ = new (block) BlockHeader(header);
  std::byte* const start = block + kHeaderSize;
  if (!own) {
    block_size_ = size;
    next_ = start + bytes;
    end_ = block + header.size;
  }
  return start;
}

Children NodeArena::list(std::span<const Child> children) {
  if (children.empty()) return {};
  auto* first = static_cast<Child*>(allocate(children.size_bytes(), alignof(Child)));
  std::uninitialized_copy(children.begin(), children.end(), first);
  return {first, children.size()};
}

std::string_view NodeArena::text(std::string_view text) {
  if (text.empty()) return {};
  auto* first = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(first, text.data(), text.size());
  return {first, text.size()};
}

}  // namespace morvalen::parse
