#pragma once

#include <stdexcept>
#include <string>

namespace morvalen {

/// Thrown for states that valid stages never produce. It never reaches Python as
/// `MorvalenError`: the module boundary raises it as a `BaseException` subclass.
class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace morvalen
