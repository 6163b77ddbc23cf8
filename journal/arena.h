// arena: an append-only heap byte store addressed by offsets, and the
// writers that put strings into it in the stored_str encoding.
//
// An offset names the byte at base + offset and stays valid while the arena
// grows; pointers into the block do not. Nothing here writes a message: -1
// means that memory could not be had, and the arena then holds the same
// bytes as before the call (its block may have grown).
#ifndef FERROWYN_JOURNAL_ARENA_H_
#define FERROWYN_JOURNAL_ARENA_H_

#include <cstdint>

// A zero-initialised arena is empty and valid.
struct arena {
  char* base;         // the heap block, null while the arena has none
  uint64_t capacity;  // size of the block in bytes
  uint64_t used;      // bytes in use, from the start of the block
};

// Makes the arena empty, without a block (it does not free one).
void arena_init(arena* a);
// Appends n bytes and returns the offset of the first, or -1. Grows in
// multiples of 4096 (plus 16384 spare on every regrowth). The bytes must
// not lie inside the arena's own block, which may move.
int64_t arena_append(arena* a, const void* bytes, uint64_t n);
// Forgets the contents (used = 0) and keeps the block for reuse.
void arena_clear(arena* a);
// Frees the block and makes the arena empty.
void arena_release(arena* a);

// Writes n bytes as a stored_str and returns its offset, or -1. The long
// form is used for n = 0, for a single 0 byte and whenever a 0 byte lies
// before the last byte; otherwise the bytes are written as a text with
// exactly one terminator, so a text may be passed with or without it.
// A long form whose length does not fit its 32-bit word also gives -1.
int64_t store_stored_str(arena* a, const char* s, uint64_t n);
// Writes exactly the n content bytes as a stored_str: the short form (a
// terminator added) when they are not empty and hold no 0 byte, else the
// long form. Unlike store_stored_str, a trailing 0 byte stays content.
int64_t store_stored_exact(arena* a, const char* s, uint64_t n);

#endif  // FERROWYN_JOURNAL_ARENA_H_
