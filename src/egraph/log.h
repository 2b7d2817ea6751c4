#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace morvalen::egraph {

enum class LogLevel : std::uint8_t { Trace, Debug, Info, Warning };

/// "trace", "debug", "info", "warning".
inline std::string_view to_str(LogLevel level) {
  switch (level) {
    case LogLevel::Trace:
      return "trace";
    case LogLevel::Debug:
      return "debug";
    case LogLevel::Info:
      return "info";
    case LogLevel::Warning:
      return "warning";
  }
  return "warning";
}

/// Where the engine's log records go. By default no sink is installed and every
/// record is dropped before it is formatted: callers test `enabled(level)` and
/// build the text only then.
class Logger {
 public:
  using Sink = std::function<void(LogLevel, std::string_view)>;

  Logger() = default;
  /// Records at `min_level` and above go to `sink`; an empty sink disables all.
  void install(Sink sink, LogLevel min_level) {
    sink_ = std::move(sink);
    min_level_ = min_level;
  }
  bool enabled(LogLevel level) const { return sink_ && level >= min_level_; }
  void write(LogLevel level, std::string_view text) const {
    if (enabled(level)) sink_(level, text);
  }
  /// Calls `make()` for the text only when the level is enabled.
  template <typename F>
  void log(LogLevel level, F&& make) const {
    if (enabled(level)) sink_(level, std::string(make()));
  }

 private:
  Sink sink_;
  LogLevel min_level_ = LogLevel::Warning;
};

}  // namespace morvalen::egraph
