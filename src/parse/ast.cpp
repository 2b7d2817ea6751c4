#include "parse/ast.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

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

}  // namespace

NodeArena& NodeArena::operator=(NodeArena&& other) noexcept {
  if (this != &other) {
    release();
    blocks_ = std::move(other.blocks_);
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    block_size_ = std::exchange(other.block_size_, 0);
  }
  return *this;
}

void NodeArena::release() noexcept {
  for (const Block& block : blocks_) {
    switch (block.source) {
      case Source::Kept:
        if (KeptBlocks* kept = kept_blocks(); kept != nullptr && kept->keep(block.data, block.size)) break;
        delete[] block.data;
        break;
      case Source::Heap:
        delete[] block.data;
        break;
      case Source::Mapped:
        unmap_large(block.data, block.size);
        break;
    }
  }
  blocks_.clear();
}

void* NodeArena::allocate_in_new_block(std::size_t bytes) {
  // A request larger than a block gets a block of its own; the current block
  // stays current.
  const std::size_t size = block_size_ == 0 ? kFirstBlock : std::min(kLargestBlock, 2 * block_size_);
  blocks_.reserve(blocks_.size() + 1);
  if (bytes > size / 2) {
    Block own{nullptr, bytes, Source::Heap};
    if (bytes >= kLargePage) {
      own.size = round_up_to_large_page(bytes);
      own.data = map_large(own.size);
      own.source = Source::Mapped;
    }
    if (own.data == nullptr) own = Block{new std::byte[bytes], bytes, Source::Heap};
    blocks_.push_back(own);
    return own.data;
  }
  Block block{nullptr, size, Source::Kept};
  if (size >= kLargePage) {
    block.data = map_large(size);
    block.source = block.data != nullptr ? Source::Mapped : Source::Heap;
  } else if (KeptBlocks* kept = kept_blocks()) {
    block.data = kept->take(size);
  }
  if (block.data == nullptr) block.data = new std::byte[size];
  blocks_.push_back(block);
  block_size_ = size;
  next_ = block.data + bytes;
  end_ = block.data + size;
  return block.data;
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
