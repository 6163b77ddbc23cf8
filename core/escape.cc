// Backslash-hex escaping of attribute values, as used in filter text.
#include "core/escape.h"

#include <cstdint>

#include "core/number_text.h"

// Control bytes and the four bytes that have a meaning in filter text.
static constexpr bool needs_escape(unsigned char c) {
  return c <= 0x1f || c == '(' || c == ')' || c == '*' || c == '\\';
}

int64_t escape_value(char* dest, const char* bytes, uint64_t n) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  uint64_t o = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const unsigned char c = in[i];
    const uint64_t width = needs_escape(c) ? 3 : 1;
    if (o > static_cast<uint64_t>(INT64_MAX) - width) return -1;
    if (dest != nullptr) {
      if (width == 3) {
        dest[o] = '\\';
        dest[o + 1] = hex_digit_char(c >> 4);
        dest[o + 2] = hex_digit_char(c & 15u);
      } else {
        dest[o] = static_cast<char>(c);
      }
    }
    o += width;
  }
  return static_cast<int64_t>(o);
}

uint64_t unescape_value(const char* text, char* dest, uint64_t* decoded_len) {
  uint64_t pos = 0;
  uint64_t out = 0;
  while (text[pos] != '\0') {
    char c = text[pos];
    if (c == '\\') {
      // The second digit is read only when the first one is a digit, so a
      // text ending right after the backslash is not read past its NUL.
      const int hi = hex_digit_value(text[pos + 1]);
      if (hi < 0) break;
      const int lo = hex_digit_value(text[pos + 2]);
      if (lo < 0) break;
      c = static_cast<char>((hi << 4) | lo);
      pos += 3;
    } else {
      ++pos;
    }
    if (dest != nullptr) dest[out] = c;
    ++out;
  }
  if (decoded_len != nullptr) *decoded_len = out;
  return pos;
}
