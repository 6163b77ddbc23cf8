// grow_str: a growable heap byte string (not NUL-terminated).
//
// A zero-initialised grow_str is a valid empty string. The owner releases it
// with grow_str_free (the bytes come from realloc). Every operation returns 1
// on success and 0 when memory cannot be had or a size overflows; on 0 the
// string is unchanged.
#ifndef FERROWYN_CORE_GROW_STR_H_
#define FERROWYN_CORE_GROW_STR_H_

#include <cstdint>

struct out_buffer;

struct grow_str {
  char* bytes;   // heap storage, null while nothing was reserved
  uint64_t len;  // bytes in use
  uint64_t cap;  // bytes allocated
};

// Room for n bytes in all; grows to n + n/8 + 30 so appends stay amortised.
int grow_str_reserve(grow_str* gs, uint64_t n);
// Room for n more bytes than len.
int grow_str_reserve_more(grow_str* gs, uint64_t n);
int grow_str_append_byte(grow_str* gs, const char* byte);
int grow_str_append(grow_str* gs, const char* bytes, uint64_t n);
// The content becomes exactly these bytes.
int grow_str_copy(grow_str* gs, const char* bytes, uint64_t n);
int grow_str_copy_text(grow_str* gs, const char* text);
// 1 if the content begins with the text's bytes.
int grow_str_starts_with(const grow_str* gs, const char* text);
// Appends bytes read with buf_get_byte until one equal to one of the k
// delimiters was appended (1), input ends (0) or reading fails (-1; also
// with errno ENOMEM when memory runs out).
int grow_str_read_until(out_buffer* b, grow_str* gs, const char* delimiters, uint64_t k);
// Empties gs, then reads one line; the "\n" is kept.
int grow_str_read_line(out_buffer* b, grow_str* gs);
// Frees the bytes and leaves a valid empty string.
void grow_str_free(grow_str* gs);

#endif  // FERROWYN_CORE_GROW_STR_H_
