// Base64 with the RFC 4648 standard alphabet and "=" padding.
#include "core/base64.h"

#include <array>
#include <cstdint>

static constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in the alphabet, kNotBase64 for every byte outside it.
static constexpr uint8_t kNotBase64 = 0xff;
static constexpr std::array<uint8_t, 256> kDecodeTable = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kNotBase64;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  return t;
}();

int64_t base64_encode(char* dest, const char* bytes, uint64_t n) {
  if (dest == nullptr) {
    if (static_cast<int64_t>(n) < 0) return -1;
    const uint64_t chars = 4 * ((n + 2) / 3);
    // For counts near the top of the signed range the character count itself
    // no longer fits the signed result.
    if (chars > static_cast<uint64_t>(INT64_MAX)) return -1;
    return static_cast<int64_t>(chars);
  }
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  uint64_t o = 0;
  uint64_t i = 0;
  for (; n - i >= 3; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    dest[o++] = kAlphabet[v >> 18];
    dest[o++] = kAlphabet[(v >> 12) & 63];
    dest[o++] = kAlphabet[(v >> 6) & 63];
    dest[o++] = kAlphabet[v & 63];
  }
  const uint64_t rest = n - i;
  if (rest != 0) {
    // The missing low bits of the last group are zero.
    uint32_t v = uint32_t{in[i]} << 16;
    if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
    dest[o++] = kAlphabet[v >> 18];
    dest[o++] = kAlphabet[(v >> 12) & 63];
    dest[o++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    dest[o++] = '=';
  }
  return static_cast<int64_t>(o);
}

uint64_t base64_decode(const char* text, char* dest, uint64_t* decoded_len) {
  uint64_t pos = 0;         // characters looked at
  uint64_t out = 0;         // bytes produced
  uint32_t acc = 0;         // bits not yet turned into a byte
  unsigned bits = 0;        // how many bits acc holds (0 to 6)
  uint64_t whole_pos = 0;   // characters up to the last complete group
  uint64_t whole_out = 0;   // bytes produced by the complete groups
  for (;;) {
    const uint8_t v = kDecodeTable[static_cast<unsigned char>(text[pos])];
    if (v == kNotBase64) break;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      const auto byte = static_cast<char>(acc >> bits);
      if (dest != nullptr) dest[out] = byte;
      ++out;
      acc &= (1u << bits) - 1;
    }
    ++pos;
    if (pos % 4 == 0) {
      whole_pos = pos;
      whole_out = out;
    }
  }
  const bool padded = text[pos] == '=';
  if (padded) {
    // Padding only fills the current group up to 4 characters; an "=" at a
    // group boundary is not part of this value.
    while (pos % 4 != 0 && text[pos] == '=') ++pos;
  }
  if (padded || acc == 0) {
    if (decoded_len != nullptr) *decoded_len = out;
    return pos;
  }
  // Unpadded, and the last group left stray bits: it is not a valid ending,
  // so only the complete groups count.
  if (decoded_len != nullptr) *decoded_len = whole_out;
  return whole_pos;
}
