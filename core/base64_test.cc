#include "core/base64.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string encode(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 4, '#');
  const int64_t n = base64_encode(out.data(), in.data(), in.size());
  EXPECT_GE(n, 0);
  // Nothing (not even a NUL) is written past the characters counted.
  for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(out[i], '#') << i;
  out.resize(static_cast<size_t>(n));
  return out;
}

struct Decoded {
  uint64_t consumed;
  std::string bytes;
};

Decoded decode(const char* text) {
  std::string out(3 * std::string_view(text).size() / 4 + 3, '#');
  uint64_t len = 12345;
  const uint64_t consumed = base64_decode(text, out.data(), &len);
  EXPECT_LE(len, out.size());
  out.resize(len);
  return {consumed, out};
}

TEST(Base64Encode, KnownVectors) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"abc", "YWJj"},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xFF\xBF", "+/+/"},
      {std::string_view("\0\0\0\0", 4), "AAAAAA=="},
      {"\xFF", "/w=="},
      {"\xFF\xFF", "//8="},
  };
  for (const Case& c : cases) EXPECT_EQ(encode(c.in), c.want) << c.in;
}

TEST(Base64Encode, EmptyInputWritesNothing) {
  char dst[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(base64_encode(dst, "x", 0), 0);
  EXPECT_EQ(dst[0], '#');
}

TEST(Base64Encode, CountOnly) {
  struct Case {
    uint64_t n;
    int64_t want;
  };
  const Case cases[] = {
      {0, 0},
      {1, 4},
      {2, 4},
      {3, 4},
      {4, 8},
      {6, 8},
      {7, 12},
      {UINT64_MAX, -1},                       // -1 read as signed
      {uint64_t{1} << 63, -1},                // the most negative value
      {3 * (INT64_MAX / 4), INT64_MAX - 3},   // the largest count that fits
      {INT64_MAX, -1},                        // would not fit the result
  };
  for (const Case& c : cases) EXPECT_EQ(base64_encode(nullptr, nullptr, c.n), c.want) << c.n;
}

TEST(Base64, RoundTripEveryLength) {
  // Every leftover case (0, 1, 2 bytes) appears many times, and all byte
  // values occur.
  std::string data;
  for (int i = 0; i < 256 + 3; ++i) data.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
  for (size_t n = 0; n <= data.size(); ++n) {
    const std::string_view in(data.data(), n);
    const std::string text = encode(in);
    ASSERT_EQ(static_cast<int64_t>(text.size()), base64_encode(nullptr, nullptr, n)) << n;
    const Decoded d = decode(text.c_str());
    ASSERT_EQ(d.consumed, text.size()) << n;
    ASSERT_EQ(d.bytes, in) << n;
  }
}

TEST(Base64Decode, Cases) {
  struct Case {
    const char* text;
    uint64_t consumed;
    std::string_view bytes;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"YQ==", 4, "a"},
      {"YWI=", 4, "ab"},
      {"YWJj", 4, "abc"},
      {"+/+/", 4, "\xFB\xFF\xBF"},
      // Unpadded endings: accepted only when the leftover bits are zero.
      {"YQ", 2, "a"},
      {"YWI", 3, "ab"},
      {"A", 1, ""},
      {"YR", 0, ""},
      {"Y", 0, ""},
      {"YWI7", 4, "ab;"},
      {"YWJjYR", 4, "abc"},
      {"YWJjYWK", 4, "abc"},
      {"YWJjY", 4, "abc"},
      // "=" consumption: only up to the end of the current group.
      {"YQ=", 3, "a"},
      {"YQ===", 4, "a"},
      {"YWJj=", 4, "abc"},
      {"YWJj====", 4, "abc"},
      {"Y===", 4, ""},
      {"=", 0, ""},
      {"==YQ", 0, ""},
      {"YWJjYR=", 7, "abca"},
      // Stopped by "=", so the non-zero leftover bits do not matter.
      {"YR==", 4, "a"},
      {"YWJjYR==", 8, "abca"},
      // Any other byte outside the alphabet stops decoding.
      {"YWJj YQ==", 4, "abc"},
      {"YWJj\n", 4, "abc"},
      {"YQ-x", 2, "a"},
      {"Zm9v_Zm9v", 4, "foo"},
      {"Zm9v\xC4", 4, "foo"},
      {"YR\nYQ==", 0, ""},
  };
  for (const Case& c : cases) {
    const Decoded d = decode(c.text);
    EXPECT_EQ(d.consumed, c.consumed) << testing::PrintToString(c.text);
    EXPECT_EQ(d.bytes, c.bytes) << testing::PrintToString(c.text);
  }
}

TEST(Base64Decode, AbsentDestinationAndLength) {
  EXPECT_EQ(base64_decode("Zm9vYmE=rest", nullptr, nullptr), 8u);
  uint64_t len = 0;
  EXPECT_EQ(base64_decode("Zm9vYmE=rest", nullptr, &len), 8u);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(base64_decode("YWJjYR", nullptr, &len), 4u);
  EXPECT_EQ(len, 3u);
}

}  // namespace
