#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "support/internal_error.h"

namespace morvalen {

/// The error half of a `Result`, built with `unexpected(e)`.
template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

/// A value or an error, with the interface of `std::expected` so that moving to
/// it later is mechanical. Reading the wrong half is an internal invariant failure.
/// Discarding one is a compile error under -Werror: an ignored error is a bug.
template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename G>
  Result(Unexpected<G> error)  // NOLINT: implicit by design
      : storage_(std::in_place_index<1>, std::move(error).error()) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    check_value();
    return std::get<0>(storage_);
  }
  const T& value() const& {
    check_value();
    return std::get<0>(storage_);
  }
  T&& value() && {
    check_value();
    return std::get<0>(std::move(storage_));
  }
  E& error() & {
    check_error();
    return std::get<1>(storage_);
  }
  const E& error() const& {
    check_error();
    return std::get<1>(storage_);
  }
  E&& error() && {
    check_error();
    return std::get<1>(std::move(storage_));
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  void check_value() const {
    if (!has_value()) throw InternalError("Result: value() called on an error");
  }
  void check_error() const {
    if (has_value()) throw InternalError("Result: error() called on a value");
  }

  std::variant<T, E> storage_;
};

/// A success without a value, or an error.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename G>
  Result(Unexpected<G> error) : error_(std::move(error).error()), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  void value() const {
    if (failed_) throw InternalError("Result: value() called on an error");
  }
  const E& error() const& {
    if (!failed_) throw InternalError("Result: error() called on a value");
    return error_;
  }
  E&& error() && {
    if (!failed_) throw InternalError("Result: error() called on a value");
    return std::move(error_);
  }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace morvalen

// Error propagation, the one way to pass an error on unchanged:
// `MORVALEN_TRY(x, expr);` evaluates `expr`, a `Result`; on an error it returns
// that error from the enclosing function (which returns a `Result` whose error
// type accepts it), otherwise it declares `x` holding the value.
// `MORVALEN_TRY_VOID(expr);` only passes an error on: for a `Result<void, E>`,
// or where the value is not needed.
#define MORVALEN_TRY_CONCAT2(a, b) a##b
#define MORVALEN_TRY_CONCAT(a, b) MORVALEN_TRY_CONCAT2(a, b)
#define MORVALEN_TRY_TEMP MORVALEN_TRY_CONCAT(morvalen_try_, __LINE__)
#define MORVALEN_TRY(var, expr)                                                                            \
  auto MORVALEN_TRY_TEMP = (expr);                                                                         \
  if (!MORVALEN_TRY_TEMP.has_value()) return ::morvalen::unexpected(std::move(MORVALEN_TRY_TEMP).error()); \
  auto var = *std::move(MORVALEN_TRY_TEMP)
#define MORVALEN_TRY_VOID(expr)                                              \
  do {                                                                       \
    auto morvalen_try_result = (expr);                                       \
    if (!morvalen_try_result.has_value()) {                                  \
      return ::morvalen::unexpected(std::move(morvalen_try_result).error()); \
    }                                                                        \
  } while (false)
