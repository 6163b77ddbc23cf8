// intern_pool: stores each distinct string once and answers the same
// offset for equal strings.
//
// The journal keeps attribute names and objectClass values this way, so a
// name's identity is its offset. Lookup is a linear scan, meant for the few
// distinct strings those pools hold. -1 means that memory could not be had;
// the pool is then as it was before the call.
#ifndef FERROWYN_JOURNAL_INTERN_POOL_H_
#define FERROWYN_JOURNAL_INTERN_POOL_H_

#include <cstdint>

#include "journal/arena.h"

// A zero-initialised pool is empty and valid.
struct intern_pool {
  arena offsets;  // one uint64_t per interned string, in interning order:
                  // its offset in strings
  arena strings;  // the interned strings, each a stored_str
};

void intern_pool_init(intern_pool* p);
// The offset in strings of the string equal to the n bytes, storing it
// first when it is new; the first string of an empty pool gets 0. Equality
// is exact and case-sensitive, and all n bytes are content (a trailing 0
// byte included), so equal offsets mean equal contents.
int64_t intern_bytes(intern_pool* p, const char* s, uint64_t n);
// intern_bytes of the text's bytes without its terminator.
int64_t intern_text(intern_pool* p, const char* text);
// Frees both arenas and leaves an empty pool.
void intern_pool_release(intern_pool* p);

#endif  // FERROWYN_JOURNAL_INTERN_POOL_H_
