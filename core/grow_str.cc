// grow_str: a growable heap byte string.

#include "core/grow_str.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>

#include "core/out_buffer.h"

int grow_str_reserve(grow_str* gs, uint64_t n) {
  if (gs->bytes != nullptr && gs->cap >= n) return 1;
  // One eighth more plus a little keeps a run of appends amortised without
  // doubling the memory of large strings; near the top of the range the
  // exact size is asked for instead.
  uint64_t m;
  if (__builtin_add_overflow(n, n / 8, &m) || __builtin_add_overflow(m, uint64_t{30}, &m)) {
    m = n;
  }
  char* p = static_cast<char*>(realloc(gs->bytes, m));
  if (p == nullptr) return 0;
  gs->bytes = p;
  gs->cap = m;
  return 1;
}

int grow_str_reserve_more(grow_str* gs, uint64_t n) {
  if (gs->bytes == nullptr) return grow_str_reserve(gs, n);
  uint64_t want;
  if (__builtin_add_overflow(gs->len, n, &want)) return 0;
  return grow_str_reserve(gs, want);
}

int grow_str_append_byte(grow_str* gs, const char* byte) {
  if (!grow_str_reserve_more(gs, 1)) return 0;
  gs->bytes[gs->len++] = *byte;
  return 1;
}

int grow_str_append(grow_str* gs, const char* bytes, uint64_t n) {
  if (!grow_str_reserve_more(gs, n)) return 0;
  if (n > 0) memcpy(gs->bytes + gs->len, bytes, n);
  gs->len += n;
  return 1;
}

int grow_str_copy(grow_str* gs, const char* bytes, uint64_t n) {
  if (!grow_str_reserve(gs, n)) return 0;
  if (n > 0) memcpy(gs->bytes, bytes, n);
  gs->len = n;
  return 1;
}

int grow_str_copy_text(grow_str* gs, const char* text) {
  return grow_str_copy(gs, text, strlen(text));
}

int grow_str_starts_with(const grow_str* gs, const char* text) {
  uint64_t n = strlen(text);
  if (gs->len < n) return 0;
  return n == 0 || memcmp(gs->bytes, text, n) == 0 ? 1 : 0;
}

int grow_str_read_until(out_buffer* b, grow_str* gs, const char* delimiters, uint64_t k) {
  for (;;) {
    if (!grow_str_reserve_more(gs, 1)) {
      errno = ENOMEM;
      return -1;
    }
    char c;
    int r = buf_get_byte(b, &c);
    if (r <= 0) return r;
    gs->bytes[gs->len++] = c;
    for (uint64_t i = 0; i < k; ++i) {
      if (c == delimiters[i]) return 1;
    }
  }
}

int grow_str_read_line(out_buffer* b, grow_str* gs) {
  gs->len = 0;
  return grow_str_read_until(b, gs, "\n", 1);
}

void grow_str_free(grow_str* gs) {
  free(gs->bytes);
  gs->bytes = nullptr;
  gs->len = 0;
  gs->cap = 0;
}
