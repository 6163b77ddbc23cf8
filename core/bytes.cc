// Byte and text helpers. These sit on the hot paths of index lookups and
// filter matching, so they are plain loops over unsigned bytes that the
// compiler can unroll and vectorise.
#include "core/bytes.h"

#include <fcntl.h>

#include <cstdint>
#include <cstring>

// Folds "A"-"Z" to "a"-"z" and leaves every other byte alone (including
// bytes of 128 and more: no locale is consulted).
static constexpr unsigned fold(unsigned char c) {
  return (c - unsigned{'A'}) < 26u ? c + 32u : c;
}

// C-locale white space: space, \t, \n, \v, \f, \r.
static constexpr bool is_c_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

static constexpr uint64_t read_le32(const unsigned char* p) {
  return uint64_t{p[0]} | (uint64_t{p[1]} << 8) | (uint64_t{p[2]} << 16) |
         (uint64_t{p[3]} << 24);
}

void copy_bytes(void* dest, uint64_t count, const void* src) {
  auto* d = static_cast<unsigned char*>(dest);
  const auto* s = static_cast<const unsigned char*>(src);
  const auto da = reinterpret_cast<uintptr_t>(d);
  const auto sa = reinterpret_cast<uintptr_t>(s);
  // When the destination does not start inside the source range, a
  // front-to-back copy and memmove give the same bytes, so take the fast one.
  if (da <= sa || da - sa >= count) {
    if (count != 0) std::memmove(d, s, count);
    return;
  }
  // The destination starts inside the source: a front-to-back copy reads
  // bytes it has already written, and callers get exactly that.
  for (uint64_t i = 0; i < count; ++i) d[i] = s[i];
}

int compare_bytes(const void* a, uint64_t count, const void* b) {
  const auto* pa = static_cast<const unsigned char*>(a);
  const auto* pb = static_cast<const unsigned char*>(b);
  for (uint64_t i = 0; i < count; ++i) {
    if (pa[i] != pb[i]) return int{pa[i]} - int{pb[i]};
  }
  return 0;
}

void clear_bytes(void* dest, uint64_t count) {
  if (count != 0) std::memset(dest, 0, count);
}

uint64_t copy_text(char* dest, const char* text) {
  const uint64_t n = cstr_length(text);
  if (dest != nullptr && n != 0) std::memcpy(dest, text, n);
  return n;
}

uint64_t cstr_length(const char* text) {
  uint64_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

int compare_text(const char* a, const char* b) {
  const auto* pa = reinterpret_cast<const unsigned char*>(a);
  const auto* pb = reinterpret_cast<const unsigned char*>(b);
  // Stops at the first difference; equal bytes that are 0 mean both ended.
  while (*pa == *pb && *pa != 0) {
    ++pa;
    ++pb;
  }
  return int{*pa} - int{*pb};
}

int starts_with(const char* text, const char* prefix) {
  // A NUL in text differs from any prefix byte, so text is not read past it.
  for (uint64_t i = 0; prefix[i] != '\0'; ++i) {
    if (text[i] != prefix[i]) return 0;
  }
  return 1;
}

uint64_t index_of_char(const char* text, char c) {
  uint64_t i = 0;
  while (text[i] != '\0' && text[i] != c) ++i;
  return i;
}

uint64_t count_leading_space(const char* bytes, int64_t count) {
  if (count <= 0) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  const auto n = static_cast<uint64_t>(count);
  uint64_t i = 0;
  while (i < n && is_c_space(p[i])) ++i;
  return i;
}

int compare_bytes_nocase(const void* a, uint64_t count, const void* b) {
  const auto* pa = static_cast<const unsigned char*>(a);
  const auto* pb = static_cast<const unsigned char*>(b);
  for (uint64_t i = 0; i < count; ++i) {
    const unsigned fa = fold(pa[i]);
    const unsigned fb = fold(pb[i]);
    if (fa != fb) return static_cast<int>(fa) - static_cast<int>(fb);
  }
  return 0;
}

int compare_text_nocase(const char* a, const char* b) {
  const auto* pa = reinterpret_cast<const unsigned char*>(a);
  const auto* pb = reinterpret_cast<const unsigned char*>(b);
  // The end of a ends the walk; an earlier end of b shows up as a difference
  // (its NUL folds to 0, a's byte does not), so b is never read past its NUL.
  for (; *pa != 0; ++pa, ++pb) {
    const unsigned fa = fold(*pa);
    const unsigned fb = fold(*pb);
    if (fa != fb) return static_cast<int>(fa) - static_cast<int>(fb);
  }
  return 0 - static_cast<int>(fold(*pb));
}

int open_readonly(const char* path) { return open(path, O_RDONLY | O_NONBLOCK); }

uint64_t stored_str_len(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  if (u[0] != 0) return cstr_length(p);
  // The length sits at an arbitrary offset in the mapped file, so it is
  // assembled byte by byte rather than loaded through a misaligned pointer.
  return read_le32(u + 1);
}

const char* stored_str_data(const char* p) { return p[0] != '\0' ? p : p + 5; }

uint64_t stored_str_header(const char* p) { return p[0] != '\0' ? 0 : 5; }

uint64_t attribute_type_length(const char* description, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    if (description[i] == ';') return i;
  }
  return count;
}
