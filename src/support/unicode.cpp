#include "support/unicode.h"

namespace morvalen::support {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

#include "support/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t c) {
  std::size_t lo = 0;
  std::size_t hi = N;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (table[mid].hi < c) {
      lo = mid + 1;
    } else if (table[mid].lo > c) {
      hi = mid;
    } else {
      return true;
    }
  }
  return false;
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

bool is_white_space(char32_t c) {
  if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  return in_table(kWhiteSpace, c);
}

bool is_xid_start(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return in_table(kXidStart, c);
}

bool is_xid_continue(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  return in_table(kXidContinue, c);
}

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return {0, 0, false};
  auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t need = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return {0xFFFD, 1, false};
  }
  if (text.size() - pos <= need) return {0xFFFD, 1, false};
  for (std::size_t i = 1; i <= need; ++i) {
    auto b = static_cast<unsigned char>(text[pos + i]);
    if (!is_continuation(b)) return {0xFFFD, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0xFFFD, 1, false};
  return {cp, need + 1, true};
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    Utf8Char c = decode_utf8(text, pos);
    if (!c.valid) return false;
    pos += c.length;
  }
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

TrimRange trim_white_space(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    Utf8Char c = decode_utf8(text, start);
    if (!c.valid || !is_white_space(c.code_point)) break;
    start += c.length;
  }
  if (start == text.size()) return {0, 0};
  // Walk back over trailing whitespace: find the start of each last code point.
  std::size_t end = text.size();
  while (end > start) {
    std::size_t begin = end - 1;
    while (begin > start && is_continuation(static_cast<unsigned char>(text[begin])) && end - begin < 4) --begin;
    Utf8Char c = decode_utf8(text, begin);
    if (!c.valid || begin + c.length != end || !is_white_space(c.code_point)) break;
    end = begin;
  }
  return {start, end};
}

}  // namespace morvalen::support
