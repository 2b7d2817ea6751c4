#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace morvalen::parse {

/// The furthest failed expectation of a backtracking parse: the token position
/// where it happened and whether it is a custom error (whose message the
/// parser derives from the token there). At one position a custom error beats
/// an expected-token error; otherwise the first one stays.
///
/// Held as one ordered key, 0 when absent, else (pos + 1) * 2 + custom, so that
/// "furthest" is the larger key: equal keys are equal failures, so keeping the
/// first on a tie is the same as taking either.
struct Failure {
  std::uint64_t key = 0;

  static Failure expected(std::size_t pos) { return {(static_cast<std::uint64_t>(pos) + 1) << 1}; }
  static Failure custom_at(std::size_t pos) { return {((static_cast<std::uint64_t>(pos) + 1) << 1) | 1}; }
  bool present() const { return key != 0; }
  bool custom() const { return (key & 1) != 0; }
  std::size_t pos() const { return static_cast<std::size_t>((key >> 1) - 1); }
};

/// `first` followed by `then`: the later position wins, ties keep `first`
/// unless only `then` is custom. Associative, so a run of failures can be
/// summarised and merged in one step.
inline Failure furthest(Failure first, Failure then) { return then.key > first.key ? then : first; }

/// The furthest-failure state while parsing, possibly expressed in terms of the
/// state on entry to a memoised sub-parse (its input). A sub-parse's effect on
/// the state then depends on the input only through this form, so the
/// sub-parse can be replayed for any input without parsing it again:
///   value(input) = input present ? furthest(input, with) : otherwise.
class FailureState {
 public:
  /// A known value (absent by default).
  FailureState() = default;
  /// The input of the enclosing memoised sub-parse, unknown while it runs.
  static FailureState input();

  /// Merges one more failure.
  void note(const Failure& failure);
  /// Hands out the state (an absent value reads as an expected-token failure
  /// at `pos`) and resets it to a known absent value.
  FailureState take(std::size_t pos);
  /// This state with its input replaced by `input`.
  FailureState bound_to(const FailureState& input) const;
  /// The value for a known input.
  Failure value_for(const Failure& input) const;

 private:
  bool depends_ = false;
  Failure with_;
  Failure otherwise_;
};

/// The errors recorded by a parse with memoised sub-parses. A memoised
/// sub-parse's errors are closed into a segment when it finishes, and
/// replaying the sub-parse appends a reference to that segment, so a replay
/// costs the same however many errors it carries. Marks are positions in the
/// current (innermost open) list, as with a plain vector.
class FailureLog {
 public:
  using SegmentId = std::uint32_t;
  /// The segment of a sub-parse that recorded nothing (most of them).
  static constexpr SegmentId kNoErrors = 0xffffffffu;

  std::size_t size() const { return chunks_.size(); }
  void truncate(std::size_t size) { chunks_.resize(size); }
  /// Records one error.
  void push(FailureState error);

  /// Moves the errors recorded since `base` into a new segment.
  SegmentId close_segment(std::size_t base);
  bool segment_empty(SegmentId id) const { return id == kNoErrors; }
  /// Appends a segment's errors, their input bound to `input`.
  void push_segment(SegmentId id, FailureState input);

  /// Every recorded error in order, for a parse whose state started absent.
  std::vector<Failure> flatten() const;

 private:
  struct Chunk {
    FailureState state;  // the error, or the input bound to `segment`
    std::int64_t segment = -1;
  };
  std::vector<Chunk> chunks_;
  std::vector<std::vector<Chunk>> segments_;
};

// Small and on every rule entry of the parser, so inline.

inline FailureState FailureState::input() {
  FailureState s;
  s.depends_ = true;
  return s;
}

inline void FailureState::note(const Failure& failure) {
  with_ = furthest(with_, failure);
  if (depends_) otherwise_ = furthest(otherwise_, failure);
}

inline FailureState FailureState::take(std::size_t pos) {
  FailureState taken = *this;
  // With an input present the value is present, so only the other case needs
  // the default.
  Failure& fallback = taken.depends_ ? taken.otherwise_ : taken.with_;
  if (!fallback.present()) fallback = Failure::expected(pos);
  *this = FailureState();
  return taken;
}

inline FailureState FailureState::bound_to(const FailureState& input) const {
  if (!depends_) return *this;
  FailureState bound;
  if (!input.depends_) {
    bound.with_ = input.with_.present() ? furthest(input.with_, with_) : otherwise_;
    return bound;
  }
  bound.depends_ = true;
  bound.with_ = furthest(input.with_, with_);
  bound.otherwise_ = input.otherwise_.present() ? furthest(input.otherwise_, with_) : otherwise_;
  return bound;
}

inline Failure FailureState::value_for(const Failure& input) const {
  if (!depends_) return with_;
  return input.present() ? furthest(input, with_) : otherwise_;
}

}  // namespace morvalen::parse
