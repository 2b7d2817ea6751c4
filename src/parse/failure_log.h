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
struct Failure {
  std::size_t pos = 0;
  bool present = false;
  bool custom = false;

  static Failure expected(std::size_t pos) { return {pos, true, false}; }
  static Failure custom_at(std::size_t pos) { return {pos, true, true}; }
};

/// `first` followed by `then`: the later position wins, ties keep `first`
/// unless only `then` is custom. Associative, so a run of failures can be
/// summarised and merged in one step.
inline const Failure& furthest(const Failure& first, const Failure& then);

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
inline const Failure& furthest(const Failure& first, const Failure& then) {
  if (!then.present) return first;
  if (!first.present || then.pos > first.pos) return then;
  if (then.pos == first.pos && then.custom && !first.custom) return then;
  return first;
}

inline FailureState FailureState::input() {
  FailureState s;
  s.depends_ = true;
  return s;
}

inline void FailureState::note(const Failure& failure) {
  if (&furthest(with_, failure) == &failure) with_ = failure;
  if (depends_ && &furthest(otherwise_, failure) == &failure) otherwise_ = failure;
}

inline FailureState FailureState::take(std::size_t pos) {
  FailureState taken = *this;
  // With an input present the value is present, so only the other case needs
  // the default.
  Failure& fallback = taken.depends_ ? taken.otherwise_ : taken.with_;
  if (!fallback.present) fallback = Failure::expected(pos);
  *this = FailureState();
  return taken;
}

inline FailureState FailureState::bound_to(const FailureState& input) const {
  if (!depends_) return *this;
  FailureState bound;
  if (!input.depends_) {
    bound.with_ = input.with_.present ? furthest(input.with_, with_) : otherwise_;
    return bound;
  }
  bound.depends_ = true;
  bound.with_ = furthest(input.with_, with_);
  bound.otherwise_ = input.otherwise_.present ? furthest(input.otherwise_, with_) : otherwise_;
  return bound;
}

inline Failure FailureState::value_for(const Failure& input) const {
  if (!depends_) return with_;
  return input.present ? furthest(input, with_) : otherwise_;
}

}  // namespace morvalen::parse
