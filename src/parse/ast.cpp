#include "parse/ast.h"

#include <algorithm>
#include <cstring>

namespace morvalen::parse {
namespace {

// Blocks start small, so that a one-line program costs one small allocation,
// and double up to a size whose unused tail does not matter.
constexpr std::size_t kFirstBlock = 1000;
constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

}  // namespace

NodeArena& NodeArena::operator=(NodeArena&& other) noexcept {
  if (this != &other) {
    blocks_ = std::move(other.blocks_);
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    block_size_ = std::exchange(other.block_size_, 0);
  }
  return *this;
}

void* NodeArena::allocate_in_new_block(std::size_t bytes) {
  // A request larger than a block gets a block of its own; the current block
  // stays current.
  const std::size_t size = block_size_ == 0 ? kFirstBlock : std::min(kLargestBlock, 2 * block_size_);
  if (bytes > size / 2) {
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    return blocks_.back().get();
  }
  blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
  block_size_ = size;
  next_ = blocks_.back().get() + bytes;
  end_ = blocks_.back().get() + size;
  return blocks_.back().get();
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
