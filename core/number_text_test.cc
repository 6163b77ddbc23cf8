#include "core/number_text.h"

#include <string.h>

#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

using Bytes16 = std::array<uint8_t, 16>;

// ---- Formatting -------------------------------------------------------------

struct FormatCase {
  uint64_t value;
  const char* text;
};

void check_format(uint64_t (*format)(char*, uint64_t), const FormatCase& c) {
  SCOPED_TRACE(c.text);
  char dest[24];
  memset(dest, '~', sizeof dest);
  uint64_t n = format(dest, c.value);
  EXPECT_EQ(n, strlen(c.text));
  EXPECT_EQ(std::string(dest, n), c.text);
  EXPECT_EQ(dest[n], '~') << "wrote past the digits";
  EXPECT_EQ(format(nullptr, c.value), n);
}

TEST(FormatDecimal, DigitsMostSignificantFirst) {
  const FormatCase cases[] = {
      {0, "0"},
      {7, "7"},
      {9, "9"},
      {10, "10"},
      {99, "99"},
      {100, "100"},
      {389, "389"},
      {4294967296u, "4294967296"},
      {9999999999999999999u, "9999999999999999999"},
      {10000000000000000000u, "10000000000000000000"},
      {UINT64_MAX, "18446744073709551615"},
  };
  for (const FormatCase& c : cases) check_format(format_decimal, c);
}

TEST(FormatHex, LowercaseDigitsWithoutPrefixOrPadding) {
  const FormatCase cases[] = {
      {0, "0"},
      {9, "9"},
      {10, "a"},
      {15, "f"},
      {16, "10"},
      {255, "ff"},
      {256, "100"},
      {0xdeadbeef, "deadbeef"},
      {uint64_t{1} << 60, "1000000000000000"},
      {UINT64_MAX, "ffffffffffffffff"},
  };
  for (const FormatCase& c : cases) check_format(format_hex, c);
}

TEST(NumberText, FormattedNumbersScanBackToTheirValue) {
  const uint64_t values[] = {0,          1,          9,          10,        15,
                             16,         255,        65535,      65536,     1000000007,
                             UINT32_MAX, uint64_t{1} << 56, (uint64_t{1} << 56) - 1, UINT64_MAX - 1,
                             UINT64_MAX};
  for (uint64_t v : values) {
    SCOPED_TRACE(v);
    char text[24];
    uint64_t n = format_decimal(text, v);
    text[n] = '\0';
    uint64_t back = 12345;
    EXPECT_EQ(scan_decimal(text, &back), n);
    EXPECT_EQ(back, v);
    n = format_hex(text, v);
    text[n] = '\0';
    back = 12345;
    EXPECT_EQ(scan_hex(text, &back), n);
    EXPECT_EQ(back, v);
  }
}

// ---- Scanning ---------------------------------------------------------------

struct ScanCase {
  const char* text;
  uint64_t consumed;
  uint64_t value;
};

TEST(ScanDecimal, StopsAtANonDigitOrBeforeOverflow) {
  const ScanCase cases[] = {
      {"", 0, 0},
      {"x1", 0, 0},
      {"-1", 0, 0},
      {" 1", 0, 0},
      {"0", 1, 0},
      {"007", 3, 7},
      {"389", 3, 389},
      {"123abc", 3, 123},
      {"12.34", 2, 12},
      {"18446744073709551615", 20, UINT64_MAX},
      {"18446744073709551615x", 20, UINT64_MAX},
      // 2^64: the last digit would overflow and is left unread.
      {"18446744073709551616", 19, 1844674407370955161u},
      {"18446744073709551620", 19, 1844674407370955162u},
      {"99999999999999999999", 19, 9999999999999999999u},
      {"000000000000000000000000000042", 30, 42},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 777;
    EXPECT_EQ(scan_decimal(c.text, &value), c.consumed);
    EXPECT_EQ(value, c.value);
  }
}

TEST(ScanHex, AtMostSixteenSignificantDigits) {
  const ScanCase cases[] = {
      {"", 0, 0},
      {"g", 0, 0},
      {":1", 0, 0},
      {"0", 1, 0},
      {"ff", 2, 255},
      {"FF", 2, 255},
      {"fF:", 2, 255},
      {"0x10", 1, 0},
      {"DeadBeef", 8, 0xdeadbeef},
      {"0123456789abcdef", 16, 0x0123456789abcdef},
      {"ffffffffffffffff", 16, UINT64_MAX},
      // A 17th significant digit is not consumed.
      {"ffffffffffffffff1", 16, UINT64_MAX},
      {"10000000000000000", 16, uint64_t{1} << 60},
      {"123456789abcdef01", 16, 0x123456789abcdef0},
      // Fifteen significant digits are always at least 2^56, so the 16th
      // digit is taken and ends the scan.
      {"100000000000000f", 16, 0x100000000000000f},
      // Leading zeros are not significant.
      {"00000000000000000000ff", 22, 255},
      {"0000123456789abcdef012", 20, 0x123456789abcdef0},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 777;
    EXPECT_EQ(scan_hex(c.text, &value), c.consumed);
    EXPECT_EQ(value, c.value);
  }
}

TEST(HexDigits, ValuesOfEitherCase) {
  const struct {
    char c;
    int value;
  } cases[] = {{'0', 0},  {'5', 5},  {'9', 9},   {'a', 10},  {'f', 15},  {'A', 10},
               {'F', 15}, {'g', -1}, {'G', -1},  {'/', -1},  {':', -1},  {'@', -1},
               {'`', -1}, {' ', -1}, {'\0', -1}, {'\xff', -1}, {'\xb0', -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.c));
    EXPECT_EQ(hex_digit_value(c.c), c.value);
  }
}

TEST(HexDigits, CharsAreLowercaseAndInvertValues) {
  EXPECT_EQ(hex_digit_char(0), '0');
  EXPECT_EQ(hex_digit_char(9), '9');
  EXPECT_EQ(hex_digit_char(10), 'a');
  EXPECT_EQ(hex_digit_char(15), 'f');
  for (unsigned v = 0; v < 16; ++v) EXPECT_EQ(hex_digit_value(hex_digit_char(v)), static_cast<int>(v));
}

// ---- Addresses --------------------------------------------------------------

TEST(ScanIpv4, DottedQuads) {
  const struct {
    const char* text;
    uint64_t consumed;
    std::array<uint8_t, 4> bytes;  // checked only when consumed > 0
  } cases[] = {
      {"1.2.3.4", 7, {1, 2, 3, 4}},
      {"0.0.0.0", 7, {0, 0, 0, 0}},
      {"255.255.255.255", 15, {255, 255, 255, 255}},
      {"127.0.0.1", 9, {127, 0, 0, 1}},
      {"010.001.000.255", 15, {10, 1, 0, 255}},
      {"1.2.3.4x", 7, {1, 2, 3, 4}},
      {"1.2.3.4.5", 7, {1, 2, 3, 4}},
      {"1.2.3.4:389", 7, {1, 2, 3, 4}},
      {"1.2.3.0004", 10, {1, 2, 3, 4}},
      {"1.2.3.256", 0, {}},
      {"256.1.1.1", 0, {}},
      {"1.2.3.99999999999999999999999", 0, {}},
      {"1.2.3", 0, {}},
      {"1.2.3.", 0, {}},
      {"1..2.3", 0, {}},
      {".1.2.3", 0, {}},
      {"1,2,3,4", 0, {}},
      {"1.2.3.-4", 0, {}},
      {" 1.2.3.4", 0, {}},
      {"a.b.c.d", 0, {}},
      {"", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(scan_ipv4(c.text, out), c.consumed);
    if (c.consumed > 0) {
      EXPECT_EQ(std::to_array(out), c.bytes);
    }
  }
}

TEST(ScanIpv4, PartsReadBeforeAFailureStayStored) {
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(scan_ipv4("7.8.300.1", out), 0u);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[1], 8);
  EXPECT_EQ(out[2], 9);
  EXPECT_EQ(out[3], 9);
}

// The bytes of an address given as eight 16-bit groups.
Bytes16 groups(std::array<uint16_t, 8> g) {
  Bytes16 b{};
  for (int i = 0; i < 8; ++i) {
    b[2 * i] = static_cast<uint8_t>(g[i] >> 8);
    b[2 * i + 1] = static_cast<uint8_t>(g[i]);
  }
  return b;
}

Bytes16 mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return Bytes16{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}

Bytes16 with_tail(std::array<uint16_t, 6> g, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  Bytes16 out = groups({g[0], g[1], g[2], g[3], g[4], g[5], 0, 0});
  out[12] = a;
  out[13] = b;
  out[14] = c;
  out[15] = d;
  return out;
}

struct Ipv6Case {
  const char* text;
  uint64_t consumed;
  Bytes16 bytes;  // checked only when consumed > 0
};

void check_ipv6(const Ipv6Case& c) {
  SCOPED_TRACE(c.text);
  uint8_t out[16];
  memset(out, 0x77, sizeof out);
  EXPECT_EQ(scan_ipv6(c.text, out), c.consumed);
  if (c.consumed > 0) {
    EXPECT_EQ(std::to_array(out), c.bytes);
  }
}

TEST(ScanIpv6, Ipv4TextGivesTheMappedAddress) {
  const Ipv6Case cases[] = {
      {"1.2.3.4", 7, mapped(1, 2, 3, 4)},
      {"0.0.0.0", 7, mapped(0, 0, 0, 0)},
      {"192.168.001.010x", 15, mapped(192, 168, 1, 10)},
      {"::ffff:1.2.3.4", 14, mapped(1, 2, 3, 4)},
  };
  for (const Ipv6Case& c : cases) check_ipv6(c);
}

TEST(ScanIpv6, FullAddresses) {
  const Ipv6Case cases[] = {
      {"1:2:3:4:5:6:7:8", 15, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"2001:DB8:0:0:8:800:200C:417A", 28, groups({0x2001, 0xdb8, 0, 0, 8, 0x800, 0x200c, 0x417a})},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 39, groups({0xffff, 0xffff, 0xffff, 0xffff, 0xffff,
                                                              0xffff, 0xffff, 0xffff})},
      // Stops after the eighth group.
      {"1:2:3:4:5:6:7:8:9", 15, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"1:2:3:4:5:6:7:8.1", 15, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      // A single leading ":" is tolerated.
      {":1:2:3:4:5:6:7:8", 16, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      // More than four digits: only the low 16 bits are kept.
      {"12345:2:3:4:5:6:7:8", 19, groups({0x2345, 2, 3, 4, 5, 6, 7, 8})},
      // A group reads at most 16 significant digits; a 17th starts the
      // next group.
      {"fffffffffffffffff:2:3:4:5:6:7:8", 29, groups({0xffff, 0xf, 2, 3, 4, 5, 6, 7})},
      // An IPv4 tail in place of the last two groups.
      {"1:2:3:4:5:6:1.2.3.4", 19, with_tail({1, 2, 3, 4, 5, 6}, 1, 2, 3, 4)},
      {"0:0:0:0:0:ffff:10.0.0.1", 23, mapped(10, 0, 0, 1)},
  };
  for (const Ipv6Case& c : cases) check_ipv6(c);
}

TEST(ScanIpv6, Compressed) {
  const Bytes16 zero{};
  const Ipv6Case cases[] = {
      {"::", 2, zero},
      {"::1", 3, groups({0, 0, 0, 0, 0, 0, 0, 1})},
      {"1::", 3, groups({1, 0, 0, 0, 0, 0, 0, 0})},
      {"fe80::1", 7, groups({0xfe80, 0, 0, 0, 0, 0, 0, 1})},
      {"fe80::1%", 7, groups({0xfe80, 0, 0, 0, 0, 0, 0, 1})},
      {"fe80::1%eth0", 7, groups({0xfe80, 0, 0, 0, 0, 0, 0, 1})},
      {"2001:db8::8:800:200c:417a", 25, groups({0x2001, 0xdb8, 0, 0, 8, 0x800, 0x200c, 0x417a})},
      {"::ffff:abcd", 11, groups({0, 0, 0, 0, 0, 0, 0xffff, 0xabcd})},
      {"::12345", 7, groups({0, 0, 0, 0, 0, 0, 0, 0x2345})},
      // A third ":" right after "::" is not consumed.
      {":::", 2, zero},
      {"1:::2", 3, groups({1, 0, 0, 0, 0, 0, 0, 0})},
      // A trailing ":" without a group is not counted.
      {"::1:", 3, groups({0, 0, 0, 0, 0, 0, 0, 1})},
      {"::1:2:", 5, groups({0, 0, 0, 0, 0, 0, 1, 2})},
      {"::1:x", 3, groups({0, 0, 0, 0, 0, 0, 0, 1})},
      // IPv4 tails after "::".
      {"::1.2.3.4", 9, with_tail({0, 0, 0, 0, 0, 0}, 1, 2, 3, 4)},
      {"1:2:3:4:5:6::1.2.3.4", 20, with_tail({1, 2, 3, 4, 5, 6}, 1, 2, 3, 4)},
      {"1:2:3:4:5::1.2.3.4", 18, with_tail({1, 2, 3, 4, 5, 0}, 1, 2, 3, 4)},
      // No room for four bytes: the digits are a group and the "." ends the scan.
      {"1:2:3:4:5:6:7::1.2.3.4", 16, groups({1, 2, 3, 4, 5, 6, 7, 1})},
      // A failed IPv4 tail: the digits are a group and the "." ends the scan.
      {"::1.2.3", 3, groups({0, 0, 0, 0, 0, 0, 0, 1})},
      {"::1.2.3.256", 3, groups({0, 0, 0, 0, 0, 0, 0, 1})},
      // The gathered groups fill the address up to its last byte, then stop.
      {"1:2:3:4:5:6:7::", 15, groups({1, 2, 3, 4, 5, 6, 7, 0})},
      {"1:2:3:4:5:6:7::8", 16, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"1:2:3:4:5:6:7::8:9", 16, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"1:2:3:4:5:6::7:8", 16, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"::1:2:3:4:5:6:7:8", 17, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"::1:2:3:4:5:6:7:8:9", 17, groups({1, 2, 3, 4, 5, 6, 7, 8})},
      // The reader takes the valid start; the caller's end-of-text check
      // rejects the rest.
      {"1:2::3:::::", 6, groups({1, 2, 0, 0, 0, 0, 0, 3})},
  };
  for (const Ipv6Case& c : cases) check_ipv6(c);
}

TEST(ScanIpv6, Rejected) {
  const char* texts[] = {
      "",
      "1:2:3",
      "1:2:3:4:5:6:7",
      "1:2:3:4:5:6:7:",
      "g::1",
      ":",
      "x",
      "1:2:3:4:5:6:1.2.3.256",
      "1:2:3:4:5:6:a.1.1.1",
      "1:2:3:4:5:6:1.2.3",
      "1.2.3.256",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    uint8_t out[16];
    EXPECT_EQ(scan_ipv6(text, out), 0u);
  }
}

}  // namespace
