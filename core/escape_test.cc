#include "core/escape.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

std::string escape(std::string_view in) {
  std::string out(3 * in.size() + 4, '#');
  const int64_t n = escape_value(out.data(), in.data(), in.size());
  EXPECT_GE(n, 0);
  EXPECT_EQ(escape_value(nullptr, in.data(), in.size()), n) << "counting must agree";
  for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(out[i], '#') << i;
  out.resize(static_cast<size_t>(n));
  return out;
}

struct Unescaped {
  uint64_t consumed;
  std::string bytes;
};

Unescaped unescape(const char* text) {
  std::string out(std::string_view(text).size() + 4, '#');
  uint64_t len = 12345;
  const uint64_t consumed = unescape_value(text, out.data(), &len);
  EXPECT_LE(len, out.size());
  out.resize(len);
  EXPECT_EQ(unescape_value(text, nullptr, nullptr), consumed);
  return {consumed, out};
}

TEST(EscapeValue, Cases) {
  struct Case {
    std::string in;
    std::string_view want;
  };
  const Case cases[] = {
      {"", ""},
      {"a(b", "a\\28b"},
      {"\n", "\\0a"},
      {"()*\\", "\\28\\29\\2a\\5c"},
      {"\0"s, "\\00"},
      {"\x1f", "\\1f"},
      {"\x1b[", "\\1b["},
      {" ", " "},                      // 0x20 is the first byte kept
      {"\x7f", "\x7f"},
      {"\x80\xC4\xFF", "\x80\xC4\xFF"},  // high bytes are copied as they are
      {"cn=A,b+c\"<>;#", "cn=A,b+c\"<>;#"},
      {"a\0b"s, "a\\00b"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape(c.in), c.want) << testing::PrintToString(c.in);
}

TEST(EscapeValue, EveryByteRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string text = escape(all);
  // 32 control bytes and 4 specials take three characters each.
  EXPECT_EQ(text.size(), 256u + 2 * 36);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  const Unescaped u = unescape(text.c_str());
  EXPECT_EQ(u.consumed, text.size());
  EXPECT_EQ(u.bytes, all);
}

TEST(UnescapeValue, Cases) {
  struct Case {
    const char* text;
    uint64_t consumed;
    std::string bytes;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"plain", 5, "plain"},
      {"x\\41y", 5, "xAy"},
      {"\\4A\\4a", 6, "JJ"},  // either case
      {"\\ff\\FF\\Ff", 9, "\xFF\xFF\xFF"},
      {"\\00x", 4, "\0x"s},
      {"\\5c\\5c", 6, "\\\\"},
      {"(*)", 3, "(*)"},  // only the backslash is special
      {"\xC4\xE4", 2, "\xC4\xE4"},
      // A backslash without two hex digits ends the walk, unconsumed.
      {"x\\4", 1, "x"},
      {"x\\4g", 1, "x"},
      {"x\\g4", 1, "x"},
      {"\\", 0, ""},
      {"ab\\", 2, "ab"},
      {"a\\41\\zz\\41", 4, "aA"},
  };
  for (const Case& c : cases) {
    const Unescaped u = unescape(c.text);
    EXPECT_EQ(u.consumed, c.consumed) << c.text;
    EXPECT_EQ(u.bytes, c.bytes) << c.text;
  }
}

}  // namespace
