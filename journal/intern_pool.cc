// intern_pool: string interning over two arenas.
//
// The strings are kept with store_stored_exact rather than the
// terminator-tolerant store_stored_str: a pool compares contents, and a
// string whose last byte is 0 must not be stored as the shorter text
// without it, or it would never be found again and be stored anew on every
// call.

#include "journal/intern_pool.h"

#include <cstdint>

#include "core/bytes.h"
#include "core/counted_str.h"
#include "journal/arena.h"
#include "store/compare.h"

void intern_pool_init(intern_pool* p) {
  arena_init(&p->offsets);
  arena_init(&p->strings);
}

int64_t intern_bytes(intern_pool* p, const char* s, uint64_t n) {
  const counted_str key = {n, s};
  const uint64_t count = p->offsets.used / sizeof(uint64_t);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t o;
    copy_bytes(&o, sizeof o, p->offsets.base + i * sizeof o);
    if (cmp_stored_counted(p->strings.base + o, key) == 0) return static_cast<int64_t>(o);
  }
  const uint64_t before = p->strings.used;
  const int64_t o = store_stored_exact(&p->strings, s, n);
  if (o < 0) return -1;
  const uint64_t entry = static_cast<uint64_t>(o);
  if (arena_append(&p->offsets, &entry, sizeof entry) < 0) {
    p->strings.used = before;  // the string is dropped again
    return -1;
  }
  return o;
}

int64_t intern_text(intern_pool* p, const char* text) {
  return intern_bytes(p, text, cstr_length(text));
}

void intern_pool_release(intern_pool* p) {
  arena_release(&p->offsets);
  arena_release(&p->strings);
}
