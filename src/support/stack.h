#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace morvalen::support {

/// True when less than 64 KiB of the current stack remain.
bool stack_is_low();

/// Runs `fn(arg)` on a newly allocated 1 MiB stack segment and returns when it
/// finishes. `fn` must not let an exception escape (`grow_stack` captures them).
void run_on_new_stack(void (*fn)(void*), void* arg);

/// Calls `f()`, first moving to a fresh stack segment when the current one is
/// nearly exhausted. Every recursion whose depth the user controls goes through
/// this, so depth is limited by memory rather than by the native stack.
/// Exceptions thrown by `f` are carried across the switch and rethrown here.
template <typename F>
auto grow_stack(F&& f) -> decltype(f()) {
  using R = decltype(f());
  if (!stack_is_low()) return f();
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    auto thunk = [&] {
      try {
        f();
      } catch (...) {
        error = std::current_exception();
      }
    };
    run_on_new_stack([](void* p) { (*static_cast<decltype(thunk)*>(p))(); }, &thunk);
    if (error) std::rethrow_exception(error);
  } else {
    static_assert(!std::is_reference_v<R>, "grow_stack returns values only");
    std::optional<R> result;
    auto thunk = [&] {
      try {
        result.emplace(f());
      } catch (...) {
        error = std::current_exception();
      }
    };
    run_on_new_stack([](void* p) { (*static_cast<decltype(thunk)*>(p))(); }, &thunk);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace morvalen::support
