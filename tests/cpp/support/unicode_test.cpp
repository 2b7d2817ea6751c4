#include "support/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace morvalen::support {
namespace {

TEST(UnicodeTest, WhiteSpace) {
  for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' ', U'\u0085', U'\u00A0', U'\u1680', U'\u2000', U'\u200A',
                     U'\u2028', U'\u2029', U'\u202F', U'\u205F', U'\u3000'}) {
    EXPECT_TRUE(is_white_space(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'a', U'_', U'\0', U'\u200B', U'\u200E', U'\uFEFF', U'\u180E', U'\u3001'}) {
    EXPECT_FALSE(is_white_space(c)) << static_cast<unsigned>(c);
  }
}

TEST(UnicodeTest, XidStart) {
  for (char32_t c : {U'a', U'Z', U'\u00E9', U'\u00DF', U'\u03B1', U'\u4E00', U'\U00020000', U'\u1E9E'}) {
    EXPECT_TRUE(is_xid_start(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'_', U'0', U'9', U'$', U' ', U'\u0300', U'\u2200', U'\u00B7', U'\U0001F600'}) {
    EXPECT_FALSE(is_xid_start(c)) << static_cast<unsigned>(c);
  }
}

TEST(UnicodeTest, XidContinue) {
  for (char32_t c : {U'a', U'0', U'9', U'_', U'\u00E9', U'\u0300', U'\u00B7', U'\u0660', U'\u203F'}) {
    EXPECT_TRUE(is_xid_continue(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'$', U'-', U' ', U'.', U'\u2200', U'\u00A0', U'\U0001F600'}) {
    EXPECT_FALSE(is_xid_continue(c)) << static_cast<unsigned>(c);
  }
}

TEST(UnicodeTest, EveryStartCharacterContinues) {
  for (char32_t c = 0; c < 0x30000; ++c) {
    if (is_xid_start(c)) {
      ASSERT_TRUE(is_xid_continue(c)) << static_cast<unsigned>(c);
    }
  }
}

TEST(Utf8Test, DecodesEachLength) {
  const std::string text = "a\u00E9\u20AC\U0001F600";
  Utf8Char c = decode_utf8(text, 0);
  EXPECT_EQ(c.code_point, U'a');
  EXPECT_EQ(c.length, 1u);
  c = decode_utf8(text, 1);
  EXPECT_EQ(c.code_point, U'\u00E9');
  EXPECT_EQ(c.length, 2u);
  c = decode_utf8(text, 3);
  EXPECT_EQ(c.code_point, U'\u20AC');
  EXPECT_EQ(c.length, 3u);
  c = decode_utf8(text, 6);
  EXPECT_EQ(c.code_point, U'\U0001F600');
  EXPECT_EQ(c.length, 4u);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(decode_utf8(text, 10).length, 0u);
}

TEST(Utf8Test, RejectsIllFormedSequences) {
  for (const char* bad : {"\x80", "\xC3", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                          "\xE2\x82", "\xC3\x28"}) {
    std::string text(bad);
    SCOPED_TRACE(text.size());
    Utf8Char c = decode_utf8(text, 0);
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.length, 1u);
    EXPECT_FALSE(is_valid_utf8(text));
  }
  EXPECT_TRUE(is_valid_utf8("plain \u00E9\u20AC\U0001F600"));
  EXPECT_TRUE(is_valid_utf8(""));
}

TEST(Utf8Test, AppendRoundTrips) {
  for (char32_t c :
       {U'\0', U'a', U'\u007F', U'\u0080', U'\u07FF', U'\u0800', U'\uFFFF', U'\U00010000', U'\U0010FFFF'}) {
    std::string s;
    append_utf8(s, c);
    Utf8Char d = decode_utf8(s, 0);
    EXPECT_TRUE(d.valid);
    EXPECT_EQ(d.code_point, c);
    EXPECT_EQ(d.length, s.size());
  }
  std::string s;
  append_utf8(s, 0xD800);
  EXPECT_EQ(s, "\uFFFD");
}

TEST(TrimTest, TrimsUnicodeWhiteSpace) {
  const std::string text = "\u3000 x y\t\u00A0";
  TrimRange r = trim_white_space(text);
  EXPECT_EQ(text.substr(r.start, r.end - r.start), "x y");
  EXPECT_EQ(r.start, 4u);
  r = trim_white_space("ab");
  EXPECT_EQ(r.start, 0u);
  EXPECT_EQ(r.end, 2u);
  r = trim_white_space(" \u2028 ");
  EXPECT_EQ(r.start, 0u);
  EXPECT_EQ(r.end, 0u);
  r = trim_white_space("x\u00E9");
  EXPECT_EQ(r.end, 3u);
}

}  // namespace
}  // namespace morvalen::support
