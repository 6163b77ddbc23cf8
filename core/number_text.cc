// Decimal and hexadecimal number text, and the IPv4/IPv6 address readers
// used for the server's listening address and the clients' server address.

#include "core/number_text.h"

#include <string.h>

#include <cstdint>

// ---- Formatting -----------------------------------------------------------

// Counts the digits first so that they can be written from the last
// position backwards without a scratch buffer.
static uint64_t format_base(char* dest, uint64_t value, uint64_t base) {
  uint64_t n = 1;
  for (uint64_t v = value; v >= base; v /= base) ++n;
  if (dest != nullptr) {
    uint64_t v = value;
    for (uint64_t i = n; i-- > 0;) {
      dest[i] = hex_digit_char(static_cast<unsigned>(v % base));
      v /= base;
    }
  }
  return n;
}

uint64_t format_decimal(char* dest, uint64_t value) {
  return format_base(dest, value, 10);
}

uint64_t format_hex(char* dest, uint64_t value) {
  return format_base(dest, value, 16);
}

// ---- Digits ---------------------------------------------------------------

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char hex_digit_char(unsigned v) {
  // Only 0 to 15 are meaningful; masking keeps any other value in the table.
  return "0123456789abcdef"[v & 15];
}

// ---- Number readers -------------------------------------------------------

uint64_t scan_decimal(const char* text, uint64_t* value) {
  uint64_t v = 0;
  uint64_t i = 0;
  while (text[i] >= '0' && text[i] <= '9') {
    uint64_t d = static_cast<uint64_t>(text[i] - '0');
    // Stop before the digit that would carry the value past 64 bits.
    if (v > (UINT64_MAX - d) / 10) break;
    v = v * 10 + d;
    ++i;
  }
  *value = v;
  return i;
}

uint64_t scan_hex(const char* text, uint64_t* value) {
  uint64_t v = 0;
  uint64_t i = 0;
  for (;;) {
    int d = hex_digit_value(text[i]);
    if (d < 0) break;
    uint64_t before = v;
    v = v * 16 + static_cast<uint64_t>(d);
    ++i;
    // A value of 2^56 or more already holds 15 significant digits; the one
    // just added is the 16th, and another would overflow.
    if (before >= (uint64_t{1} << 56)) break;
  }
  *value = v;
  return i;
}

// ---- Address readers ------------------------------------------------------

uint64_t scan_ipv4(const char* text, uint8_t out[4]) {
  uint64_t count = 0;
  for (int part = 0; part < 4; ++part) {
    uint64_t v;
    uint64_t digits = scan_decimal(text + count, &v);
    if (digits == 0 || v > 255) return 0;
    out[part] = static_cast<uint8_t>(v);
    count += digits;
    if (part < 3) {
      if (text[count] != '.') return 0;
      ++count;
    }
  }
  return count;
}

static void store_group(uint8_t* at, uint64_t group) {
  at[0] = static_cast<uint8_t>(group >> 8);
  at[1] = static_cast<uint8_t>(group);
}

uint64_t scan_ipv6(const char* text, uint8_t out[16]) {
  uint64_t v4_len = scan_ipv4(text, out + 12);
  if (v4_len != 0) {
    memset(out, 0, 10);
    out[10] = 0xff;
    out[11] = 0xff;
    return v4_len;
  }

  memset(out, 0, 16);
  uint64_t count = 0;
  uint64_t g = 0;
  // Groups before a "::" go straight to their place in out.
  for (; g < 8; ++g) {
    if (text[count] == ':') {
      if (text[count + 1] == ':') break;
      ++count;
    }
    uint64_t group;
    uint64_t digits = scan_hex(text + count, &group);
    if (digits == 0) return 0;
    if (g == 6 && text[count + digits] == '.') {
      uint64_t n = scan_ipv4(text + count, out + 12);
      return n != 0 ? count + n : 0;
    }
    store_group(out + 2 * g, group);
    count += digits;
  }
  if (g == 8) return count;

  // After "::" the number of groups is unknown until the scan ends, so they
  // are gathered first and then placed at the end of the address.
  count += 2;
  const uint64_t p = 2 * g;
  uint8_t scratch[16];
  uint64_t s = 0;
  // Invariant: p + s <= 16, since p is even and at most 14, s grows by 2,
  // the loop stops at 16 and the 4-byte IPv4 tail is taken only at <= 12.
  for (;;) {
    if (text[count] == ':') {
      if (s == 0) break;  // a third ":" right after "::"
      ++count;
    } else if (s > 0) {
      break;
    }
    uint64_t group;
    uint64_t digits = scan_hex(text + count, &group);
    if (digits == 0) {
      if (s > 0) --count;  // the ":" skipped above introduced nothing
      break;
    }
    if (p + s <= 12 && text[count + digits] == '.') {
      uint64_t n = scan_ipv4(text + count, scratch + s);
      if (n != 0) {
        s += 4;
        count += n;
        break;
      }
    }
    store_group(scratch + s, group);
    s += 2;
    count += digits;
    if (p + s == 16) break;
  }
  memcpy(out + 16 - s, scratch, s);
  return count;
}
