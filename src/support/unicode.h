#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvalen::support {

/// Unicode White_Space property (tab, newline, space, no-break space, ...).
bool is_white_space(char32_t c);
/// Unicode XID_Start property (identifier start characters, without `_`).
bool is_xid_start(char32_t c);
/// Unicode XID_Continue property (includes digits and `_`).
bool is_xid_continue(char32_t c);

/// One code point read from UTF-8 text.
struct Utf8Char {
  char32_t code_point = 0;
  /// Bytes consumed: 1 to 4; 1 for an invalid byte, 0 only at the end of the text.
  std::size_t length = 0;
  /// False for an ill-formed sequence (stray continuation byte, overlong form,
  /// surrogate, value beyond U+10FFFF, truncated sequence); `length` is then 1.
  bool valid = false;
};

/// Decodes the code point starting at byte `pos`; at or past the end returns
/// length 0.
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

/// True when the whole text is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

/// Appends the UTF-8 encoding of `c`; surrogates and values beyond U+10FFFF
/// are written as U+FFFD.
void append_utf8(std::string& out, char32_t c);

/// The byte range of `text` without leading and trailing White_Space
/// characters, as offsets into `text`. An all-whitespace text gives the empty
/// range at offset 0.
struct TrimRange {
  std::size_t start = 0;
  std::size_t end = 0;
};
TrimRange trim_white_space(std::string_view text);

}  // namespace morvalen::support
