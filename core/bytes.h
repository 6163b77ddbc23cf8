// Byte and text helpers, plain and ASCII case-insensitive, and the accessors
// of the stored_str encoding.
//
// Texts are NUL-terminated and never read past their NUL. Case-insensitive
// means folding "A" to "Z" only; no locale is consulted. Nothing allocates.
#ifndef FERROWYN_CORE_BYTES_H_
#define FERROWYN_CORE_BYTES_H_

#include <cstdint>

// Copies count bytes front to back (so an overlapping forward move is safe
// when dest < src).
void copy_bytes(void* dest, uint64_t count, const void* src);
// 0 if equal, else (unsigned a) - (unsigned b) at the first difference.
int compare_bytes(const void* a, uint64_t count, const void* b);
void clear_bytes(void* dest, uint64_t count);
// Writes the text's bytes without the NUL (dest may be null); returns its length.
uint64_t copy_text(char* dest, const char* text);
uint64_t cstr_length(const char* text);
int compare_text(const char* a, const char* b);
// 1 if text begins with prefix (an empty prefix always matches), else 0.
int starts_with(const char* text, const char* prefix);
// Index of the first c in text, or the text's length.
uint64_t index_of_char(const char* text, char c);
// Leading C-locale white space bytes among the first count; 0 if count <= 0.
uint64_t count_leading_space(const char* bytes, int64_t count);
// As compare_bytes / compare_text with "A"-"Z" folded on both sides.
int compare_bytes_nocase(const void* a, uint64_t count, const void* b);
int compare_text_nocase(const char* a, const char* b);
// The length of an attribute description's type: the bytes before its
// first ";" (the options), or all count bytes.
uint64_t attribute_type_length(const char* description, uint64_t count);
// open(2) with O_RDONLY | O_NONBLOCK; the descriptor or -1.
int open_readonly(const char* path);

// stored_str: a NUL-terminated text whose first byte is not 0, or a 0 byte,
// a 32-bit little-endian length and that many bytes.
// REQUIRES: p points at a whole encoded string (at least 5 readable bytes
// when the first byte is 0).
uint64_t stored_str_len(const char* p);
const char* stored_str_data(const char* p);
uint64_t stored_str_header(const char* p);  // 0 or 5

#endif  // FERROWYN_CORE_BYTES_H_
