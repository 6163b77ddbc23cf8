// Backslash-hex escaping of attribute values: bytes 0x00-0x1f and "(", ")",
// "*", "\" become "\" and two lowercase hex digits.
#ifndef FERROWYN_CORE_ESCAPE_H_
#define FERROWYN_CORE_ESCAPE_H_

#include <cstdint>

// Returns the output length (dest may be null), or -1 on count overflow.
int64_t escape_value(char* dest, const char* bytes, uint64_t n);
// Walks the NUL-terminated text, turning "\" + two hex digits (either case)
// into that byte. A "\" not followed by two hex digits ends the walk
// unconsumed. Returns the characters consumed; *decoded_len (when not null)
// gets the bytes produced. dest may be null.
uint64_t unescape_value(const char* text, char* dest, uint64_t* decoded_len);

#endif  // FERROWYN_CORE_ESCAPE_H_
