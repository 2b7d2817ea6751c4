#pragma once

#include <cstddef>
#include <utility>

namespace morvalen::support {

/// Scratch storage that a thread keeps from one call to the next. Short calls
/// then find their buffers already allocated instead of allocating and
/// freeing them each time, which costs more than the work they do.
///
/// A `Kept` takes the thread's stored value on construction (cleared, its
/// capacity intact) and hands it back on destruction, unless it grew beyond
/// `kMaxCapacity` (in units of `T::capacity()`), in which case it is freed
/// like any local: one long call must not pin its memory for good. A `Kept`
/// constructed while another of the same `Tag` is alive (a nested call) starts
/// empty, so nesting is safe. `T` needs `clear()`, `capacity()` and moves that
/// leave the source empty. `Tag` tells the stored values of different users
/// apart.
template <typename T, typename Tag, std::size_t kMaxCapacity>
class Kept {
 public:
  Kept() : Kept(slot()) {}
  ~Kept() {
    if (value.capacity() <= kMaxCapacity) slot_ = std::move(value);
  }
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;

  T value;

 private:
  // The slot is looked up once: in a shared library every lookup of a
  // thread-local is a call.
  explicit Kept(T& slot) : value(std::move(slot)), slot_(slot) { value.clear(); }

  static T& slot() {
    thread_local T stored;
    return stored;
  }

  T& slot_;
};

}  // namespace morvalen::support
