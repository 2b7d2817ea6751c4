#include "parse/failure_log.h"

#include <utility>

namespace morvalen::parse {

void FailureLog::push(FailureState error) { chunks_.push_back(Chunk{std::move(error), -1}); }

FailureLog::SegmentId FailureLog::close_segment(std::size_t base) {
  if (base == chunks_.size()) return kNoErrors;
  const auto id = static_cast<SegmentId>(segments_.size());
  const auto first = chunks_.begin() + static_cast<std::ptrdiff_t>(base);
  segments_.emplace_back(std::make_move_iterator(first), std::make_move_iterator(chunks_.end()));
  chunks_.erase(first, chunks_.end());
  return id;
}

void FailureLog::push_segment(SegmentId id, FailureState input) {
  chunks_.push_back(Chunk{std::move(input), static_cast<std::int64_t>(id)});
}

std::vector<Failure> FailureLog::flatten() const {
  // Segments nest as deeply as the sub-parses did, so walk them with an
  // explicit stack.
  struct Frame {
    const std::vector<Chunk>* chunks;
    std::size_t next;
    Failure input;
  };
  std::vector<Failure> out;
  std::vector<Frame> stack{{&chunks_, 0, Failure{}}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.chunks->size()) {
      stack.pop_back();
      continue;
    }
    const Chunk& chunk = (*top.chunks)[top.next++];
    Failure value = chunk.state.value_for(top.input);
    if (chunk.segment < 0) {
      out.push_back(std::move(value));
    } else {
      stack.push_back(Frame{&segments_[static_cast<std::size_t>(chunk.segment)], 0, std::move(value)});
    }
  }
  return out;
}

}  // namespace morvalen::parse
