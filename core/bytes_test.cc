#include "core/bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// ---------------------------------------------------------------- copy/clear

TEST(CopyBytes, DisjointCopyAndZeroCount) {
  char src[] = "abcdef";
  char dst[8] = "XXXXXXX";
  copy_bytes(dst, 6, src);
  EXPECT_EQ(std::string(dst, 7), "abcdefX");
  copy_bytes(dst, 0, "zz");
  EXPECT_EQ(std::string(dst, 7), "abcdefX");
  copy_bytes(nullptr, 0, nullptr);  // nothing to touch
}

TEST(CopyBytes, OverlappingMoves) {
  struct Case {
    int dst_off, src_off, count;
    std::string_view want;  // the whole buffer afterwards
  };
  // Forward moves (destination before source) shift the bytes down; a
  // destination inside the source sees bytes it has already written, as a
  // front-to-back copy does.
  const Case cases[] = {
      {0, 2, 6, "cdefghgh"},
      {0, 1, 7, "bcdefghh"},
      {1, 0, 4, "aaaaafgh"},
      {2, 0, 5, "abababah"},
      {3, 0, 5, "abcabcab"},
      {4, 0, 4, "abcdabcd"},  // touching but not overlapping
      {3, 3, 5, "abcdefgh"},  // onto itself
  };
  for (const Case& c : cases) {
    char buf[] = "abcdefgh";
    copy_bytes(buf + c.dst_off, static_cast<uint64_t>(c.count), buf + c.src_off);
    EXPECT_EQ(std::string_view(buf, 8), c.want)
        << "dst " << c.dst_off << " src " << c.src_off << " count " << c.count;
  }
}

TEST(CopyBytes, LongForwardMove) {
  // Long enough for any vectorised path.
  char buf[300];
  for (int i = 0; i < 300; ++i) buf[i] = static_cast<char>(i);
  copy_bytes(buf, 290, buf + 10);
  for (int i = 0; i < 290; ++i) ASSERT_EQ(buf[i], static_cast<char>(i + 10)) << i;
  for (int i = 290; i < 300; ++i) ASSERT_EQ(buf[i], static_cast<char>(i)) << i;
}

TEST(ClearBytes, ClearsExactlyCount) {
  char buf[] = "abcdef";
  clear_bytes(buf + 1, 3);
  EXPECT_EQ(std::string(buf, 6), "a\0\0\0ef"s);
  clear_bytes(buf, 0);
  EXPECT_EQ(buf[0], 'a');
}

// ---------------------------------------------------------------- texts

TEST(Text, LengthAndCopy) {
  const char* const texts[] = {"", "a", "hello world", "\xC4\xE4\xFF"};
  for (const char* t : texts) {
    const uint64_t n = std::string_view(t).size();
    EXPECT_EQ(cstr_length(t), n) << t;
    char dst[32];
    std::fill(std::begin(dst), std::end(dst), '#');
    EXPECT_EQ(copy_text(dst, t), n) << t;
    EXPECT_EQ(std::string_view(dst, n), t);
    EXPECT_EQ(dst[n], '#') << "no NUL may be written";
    EXPECT_EQ(copy_text(nullptr, t), n) << t;
  }
}

TEST(Text, CompareTextGivesUnsignedByteDifference) {
  struct Case {
    const char* a;
    const char* b;
    int want;
  };
  const Case cases[] = {
      {"", "", 0},
      {"abc", "abc", 0},
      {"abc", "abd", 'c' - 'd'},
      {"abd", "abc", 'd' - 'c'},
      {"abc", "abcd", -'d'},
      {"abcd", "abc", 'd'},
      {"", "x", -'x'},
      {"\xC4", "a", 0xC4 - 'a'},  // bytes of 128 and more sort high
      {"\x80", "\x7f", 1},
      {"ABC", "abc", 'A' - 'a'},  // case matters here
  };
  for (const Case& c : cases) EXPECT_EQ(compare_text(c.a, c.b), c.want) << c.a << " / " << c.b;
}

TEST(Text, StartsWith) {
  struct Case {
    const char* text;
    const char* prefix;
    int want;
  };
  const Case cases[] = {
      {"abc", "", 1},   {"", "", 1},     {"abc", "ab", 1}, {"abc", "abc", 1},
      {"ab", "abc", 0}, {"abc", "b", 0}, {"", "a", 0},     {"Abc", "ab", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(starts_with(c.text, c.prefix), c.want) << c.text << " / " << c.prefix;
  }
}

TEST(Text, IndexOfChar) {
  struct Case {
    const char* text;
    char c;
    uint64_t want;
  };
  const Case cases[] = {
      {"abcb", 'b', 1},      {"abc", 'a', 0},    {"abc", 'z', 3},
      {"abc", '\0', 3},      {"", '\0', 0},      {"", 'a', 0},
      {"ab\xE9z", '\xE9', 2},  // a high byte is found like any other
  };
  for (const Case& c : cases) {
    EXPECT_EQ(index_of_char(c.text, c.c), c.want) << c.text << " / " << int{c.c};
  }
}

TEST(Text, CountLeadingSpace) {
  struct Case {
    std::string bytes;
    int64_t count;
    uint64_t want;
  };
  const Case cases[] = {
      {" \t\n\v\f\rx", 7, 6},
      {"   ", 3, 3},
      {"   ", 2, 2},       // the count limits the scan
      {"   ", 0, 0},
      {"   ", -1, 0},      // a negative count gives 0
      {"   ", INT64_MIN, 0},
      {"x  ", 3, 0},
      {" \0 "s, 3, 1},     // NUL is not white space
      {"\xA0 ", 2, 0},     // no-break space in Latin-1 is not C white space
      {" \x85", 2, 1},     // nor is NEL
      {"\x1c\x1f", 2, 0},  // nor the C0 separators
      {"\b", 1, 0},        // the byte just below tab
      {"\x0e", 1, 0},      // the byte just above carriage return
  };
  for (const Case& c : cases) {
    EXPECT_EQ(count_leading_space(c.bytes.data(), c.count), c.want)
        << testing::PrintToString(c.bytes) << " count " << c.count;
  }
}

// ---------------------------------------------------------------- no case

TEST(NoCase, CompareBytesNocase) {
  struct Case {
    std::string a, b;
    int want;
  };
  const Case cases[] = {
      {"ABC", "abc", 0},
      {"aBc", "AbC", 0},
      {"", "", 0},
      {"B", "a", 'b' - 'a'},  // difference of the folded bytes
      {"a", "B", 'a' - 'b'},
      {"Z", "a", 'z' - 'a'},
      {"[", "a", '[' - 'a'},  // bytes next to the letters are not folded
      {"@", "`", '@' - '`'},
      {"\xC4", "\xE4", 0xC4 - 0xE4},  // only ASCII letters fold
      {"\xFF", "A", 0xFF - 'a'},      // unsigned bytes
      {"a\0b"s, "A\0B"s, 0},          // NUL is an ordinary byte here
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.a.size(), c.b.size());
    EXPECT_EQ(compare_bytes_nocase(c.a.data(), c.a.size(), c.b.data()), c.want)
        << testing::PrintToString(c.a) << " / " << testing::PrintToString(c.b);
  }
  // Only the first count bytes are compared.
  EXPECT_EQ(compare_bytes_nocase("abX", 2, "ABy"), 0);
  EXPECT_EQ(compare_bytes_nocase("abX", 3, "ABy"), 'x' - 'y');
  EXPECT_EQ(compare_bytes_nocase("x", 0, "y"), 0);
}

TEST(NoCase, CompareBytesIsCaseSensitive) {
  struct Case {
    std::string a, b;
    int want;
  };
  const Case cases[] = {
      {"abc", "abc", 0},
      {"abc", "abd", 'c' - 'd'},
      {"A", "a", 'A' - 'a'},
      {"\x80", "\x7f", 1},
      {"\x01", "\xFF", 1 - 0xFF},
      {"a\0b"s, "a\0c"s, 'b' - 'c'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_bytes(c.a.data(), c.a.size(), c.b.data()), c.want)
        << testing::PrintToString(c.a) << " / " << testing::PrintToString(c.b);
  }
  EXPECT_EQ(compare_bytes("abX", 2, "abY"), 0);
  EXPECT_EQ(compare_bytes(nullptr, 0, nullptr), 0);
}

TEST(NoCase, CompareTextNocase) {
  struct Case {
    const char* a;
    const char* b;
    int want;
  };
  const Case cases[] = {
      {"ABC", "abc", 0},
      {"", "", 0},
      {"AB", "abc", -'c'},    // a ends first: 0 - folded byte of b
      {"", "A", -'a'},        // that byte is folded too
      {"ABC", "ab", 'c'},     // b ends first
      {"Zeta", "zETA", 0},
      {"b", "A", 'b' - 'a'},
      {"\xC4", "\xE4", 0xC4 - 0xE4},
      {"\xE4", "\xC4", 0xE4 - 0xC4},
      {"^", "~", '^' - '~'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_text_nocase(c.a, c.b), c.want) << c.a << " / " << c.b;
  }
}

// ---------------------------------------------------------------- files

TEST(OpenReadonly, OpensReadOnlyNonBlocking) {
  char path[] = "/tmp/bytes_test_XXXXXX";
  const int w = mkstemp(path);
  ASSERT_GE(w, 0);
  ASSERT_EQ(write(w, "xy", 2), 2);
  close(w);

  const int fd = open_readonly(path);
  ASSERT_GE(fd, 0);
  const int flags = fcntl(fd, F_GETFL);
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  char buf[4];
  EXPECT_EQ(read(fd, buf, sizeof buf), 2);
  EXPECT_EQ(write(fd, "z", 1), -1);
  close(fd);
  unlink(path);

  EXPECT_EQ(open_readonly(path), -1);
}

// ---------------------------------------------------------------- stored_str

TEST(StoredStr, BothForms) {
  struct Case {
    std::string encoded;
    uint64_t want_len;
    uint64_t want_header;
  };
  const Case cases[] = {
      {"hello\0"s, 5, 0},
      {"x\0"s, 1, 0},
      {"\xC4\0"s, 1, 0},                              // high first byte is text form
      {"\0\3\0\0\0a\0b"s, 3, 5},                      // may hold NUL bytes
      {"\0\0\0\0\0"s, 0, 5},                          // empty
      {"\0\x01\x02\x03\x04"s, 0x04030201u, 5},        // little-endian
      {"\0\0\0\0\x80"s, 0x80000000u, 5},              // no sign extension
      {"\0\xFF\xFF\xFF\xFF"s, 0xFFFFFFFFu, 5},
  };
  for (const Case& c : cases) {
    // Put the string at an odd address, as strings are packed in the file.
    std::string buf = "#" + c.encoded;
    const char* p = buf.data() + 1;
    EXPECT_EQ(stored_str_len(p), c.want_len) << testing::PrintToString(c.encoded);
    EXPECT_EQ(stored_str_header(p), c.want_header) << testing::PrintToString(c.encoded);
    EXPECT_EQ(stored_str_data(p), p + c.want_header) << testing::PrintToString(c.encoded);
  }
}

TEST(AttributeType, IsTheDescriptionBeforeItsOptions) {
  const struct {
    const char* description;
    uint64_t count;  // bytes of the description looked at
    uint64_t type;
  } cases[] = {
      {"userPassword", 12, 12}, {"userPassword;binary", 19, 12}, {"cn;lang-en;x", 12, 2},
      {";x", 2, 0},             {"", 0, 0},                      {"mail;x", 4, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(attribute_type_length(c.description, c.count), c.type) << c.description;
  }
}

}  // namespace
