// Value comparisons and the string hash.
//
// Every sorted-table probe and every value match runs through these, so the
// common case, a short-form stored string (NUL-terminated, no length word),
// is compared in one pass without measuring its length first: the key is
// walked against the text and the text's NUL ends it. Long-form strings (the
// empty string and contents holding a NUL) take the counted path.
#include "store/compare.h"

#include <cstdint>
#include <cstring>

#include "core/bytes.h"

// "A"-"Z" to "a"-"z"; every other byte, those of 128 and more included,
// stays as it is.
static constexpr unsigned fold(unsigned char c) {
  return (c - unsigned{'A'}) < 26u ? c + 32u : c;
}

template <bool Fold>
static constexpr unsigned byte_at(const unsigned char* p, uint64_t i) {
  if constexpr (Fold) {
    return fold(p[i]);
  } else {
    return p[i];
  }
}

// The order of values over two counted byte strings: the first differing
// byte (unsigned, folded when asked) decides; when one is a prefix of the
// other the shorter one sorts first. With PrefixOk a b that begins with a
// compares equal instead (a is then a prefix key).
template <bool Fold, bool PrefixOk>
static int32_t compare_counted(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
  const uint64_t m = a_len < b_len ? a_len : b_len;
  if constexpr (Fold) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    for (uint64_t i = 0; i < m; ++i) {
      const unsigned fa = byte_at<true>(pa, i);
      const unsigned fb = byte_at<true>(pb, i);
      if (fa != fb) return static_cast<int32_t>(fa) - static_cast<int32_t>(fb);
    }
  } else {
    // memcmp reads its arguments as unsigned bytes; it must not see a null
    // pointer even for a length of 0.
    if (m != 0) {
      const int r = std::memcmp(a, b, m);
      if (r != 0) return r;
    }
  }
  if (a_len == b_len) return 0;
  if (a_len < b_len) return PrefixOk ? 0 : -1;
  return 1;
}

// A counted key against a stored string (never null here). A short-form
// string is walked as text: its NUL is a byte no key byte of a longer text
// can equal without the text having ended, so a NUL met while the bytes are
// still equal means the text is a proper prefix of the key (key after).
template <bool Fold, bool PrefixOk>
static int32_t compare_key(counted_str key, const char* s) {
  if (s[0] == '\0') {
    return compare_counted<Fold, PrefixOk>(key.bytes, key.len, s + 5, stored_str_len(s));
  }
  const auto* k = reinterpret_cast<const unsigned char*>(key.bytes);
  const auto* t = reinterpret_cast<const unsigned char*>(s);
  for (uint64_t i = 0; i < key.len; ++i) {
    const unsigned fk = byte_at<Fold>(k, i);
    const unsigned ft = byte_at<Fold>(t, i);
    if (fk != ft) return static_cast<int32_t>(fk) - static_cast<int32_t>(ft);
    if (t[i] == 0) return 1;
  }
  if (PrefixOk || t[key.len] == 0) return 0;
  return -1;
}

int32_t compare_values(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
  return compare_counted<false, false>(a, a_len, b, b_len);
}

int32_t compare_values_nocase(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
  return compare_counted<true, false>(a, a_len, b, b_len);
}

int32_t cmp_value(counted_str key, const char* s) {
  if (s == nullptr) return -1;
  return compare_key<false, false>(key, s);
}

int32_t cmp_value_nocase(counted_str key, const char* s) {
  if (s == nullptr) return -1;
  return compare_key<true, false>(key, s);
}

int32_t cmp_prefix(counted_str key, const char* s) {
  if (s == nullptr) return -1;
  return compare_key<false, true>(key, s);
}

// Reads the whole content of s, long form included, rather than stopping at
// a first NUL: the case-insensitive sorted tables are ordered by the
// folded content, and a search that saw a long-form value as the empty text
// would be steered to the wrong half of the table and miss short-form values
// that do begin with the key. For every short-form string, and for the empty
// string, this is exactly the text comparison.
int32_t cmp_prefix_nocase(counted_str key, const char* s) {
  if (s == nullptr) return -1;
  return compare_key<true, true>(key, s);
}

int32_t cmp_stored(const char* a, const char* b) {
  if (a[0] != '\0' && b[0] != '\0') return compare_text(a, b);
  const uint64_t a_len = stored_str_len(a);
  const uint64_t b_len = stored_str_len(b);
  const auto* pa = reinterpret_cast<const signed char*>(stored_str_data(a));
  const auto* pb = reinterpret_cast<const signed char*>(stored_str_data(b));
  const uint64_t m = a_len < b_len ? a_len : b_len;
  for (uint64_t i = 0; i < m; ++i) {
    if (pa[i] != pb[i]) return int32_t{pa[i]} - int32_t{pb[i]};
  }
  if (a_len == b_len) return 0;
  return a_len < b_len ? -1 : 1;
}

int32_t cmp_stored_counted(const char* s, counted_str key) {
  const uint64_t s_len = stored_str_len(s);
  const uint64_t m = s_len < key.len ? s_len : key.len;
  if (m != 0) {
    const int r = compare_bytes(stored_str_data(s), m, key.bytes);
    if (r != 0) return r;
  }
  if (s_len == key.len) return 0;
  return s_len > key.len ? 1 : -1;
}

uint32_t string_hash(const char* bytes, uint64_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  uint32_t h = 0;
  for (uint64_t i = 0; i < n; ++i) h = (h * 33u) ^ p[i];
  return h;
}

uint32_t string_hash_nocase(const char* bytes, uint64_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  uint32_t h = 0;
  for (uint64_t i = 0; i < n; ++i) h = (h * 33u) ^ fold(p[i]);
  return h;
}
