// arena: append-only byte stores addressed by offsets.
//
// The journal parser keeps every string of the entry it reads in these
// stores and refers to them by offset, so a store may move when it grows.

#include "journal/arena.h"

#include <stdlib.h>

#include <cstdint>

#include "core/bytes.h"

static constexpr uint64_t kGrain = 4096;     // blocks are multiples of this
static constexpr uint64_t kSpare = 16384;    // extra room on every regrowth

// The smallest multiple of kGrain greater than n; false on overflow.
static bool grain_above(uint64_t n, uint64_t* out) {
  return !__builtin_add_overflow(n | (kGrain - 1), uint64_t{1}, out);
}

void arena_init(arena* a) {
  a->base = nullptr;
  a->capacity = 0;
  a->used = 0;
}

int64_t arena_append(arena* a, const void* bytes, uint64_t n) {
  // Offsets are reported as signed values, so the store stops below 2^63.
  uint64_t end;
  if (__builtin_add_overflow(a->used, n, &end) || end > static_cast<uint64_t>(INT64_MAX)) {
    return -1;
  }
  if (a->capacity - a->used < n) {
    uint64_t capacity;
    if (a->base == nullptr) {
      if (!grain_above(n, &capacity)) return -1;
    } else {
      // Generous regrowth keeps reallocations rare for the many small
      // appends of a parse.
      if (!grain_above(end, &capacity) || __builtin_add_overflow(capacity, kSpare, &capacity)) {
        return -1;
      }
    }
    char* block = static_cast<char*>(realloc(a->base, capacity));
    if (block == nullptr) return -1;
    a->base = block;
    a->capacity = capacity;
  }
  const uint64_t at = a->used;
  if (n > 0) copy_bytes(a->base + at, n, bytes);
  a->used = end;
  return static_cast<int64_t>(at);
}

void arena_clear(arena* a) { a->used = 0; }

void arena_release(arena* a) {
  free(a->base);
  arena_init(a);
}

// The long form: a 0 byte, the length as a 32-bit little-endian word, the
// bytes. On failure the arena is set back to where it was.
static int64_t store_long_form(arena* a, const char* s, uint64_t n) {
  if (n > UINT32_MAX) return -1;
  const uint64_t before = a->used;
  const unsigned char header[5] = {0, static_cast<unsigned char>(n),
                                   static_cast<unsigned char>(n >> 8),
                                   static_cast<unsigned char>(n >> 16),
                                   static_cast<unsigned char>(n >> 24)};
  const int64_t at = arena_append(a, header, sizeof header);
  if (at < 0 || arena_append(a, s, n) < 0) {
    a->used = before;
    return -1;
  }
  return at;
}

// The short form: the bytes, then a terminator unless add_terminator is
// false (the last byte already is one).
static int64_t store_short_form(arena* a, const char* s, uint64_t n, bool add_terminator) {
  const uint64_t before = a->used;
  const int64_t at = arena_append(a, s, n);
  if (at < 0) return -1;
  if (add_terminator) {
    const char zero = 0;
    if (arena_append(a, &zero, 1) < 0) {
      a->used = before;
      return -1;
    }
  }
  return at;
}

// True when one of the n bytes is 0.
static bool holds_zero(const char* s, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (s[i] == 0) return true;
  }
  return false;
}

int64_t store_stored_str(arena* a, const char* s, uint64_t n) {
  if (n == 0 || holds_zero(s, n - 1) || (n == 1 && s[0] == 0)) return store_long_form(a, s, n);
  return store_short_form(a, s, n, s[n - 1] != 0);
}

int64_t store_stored_exact(arena* a, const char* s, uint64_t n) {
  if (n == 0 || holds_zero(s, n)) return store_long_form(a, s, n);
  return store_short_form(a, s, n, true);
}
