// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks).
#ifndef FERROWYN_CORE_BASE64_H_
#define FERROWYN_CORE_BASE64_H_

#include <cstdint>

// Encodes n bytes; returns the number of characters. With a null dest only
// counts: 4 * ((n + 2) / 3), or -1 when n read as signed is negative.
int64_t base64_encode(char* dest, const char* bytes, uint64_t n);
// Decodes the alphabet characters at the start of the NUL-terminated text,
// consuming "=" padding. Returns the characters consumed and stores the bytes
// produced in *decoded_len (when not null). An incomplete last group whose
// leftover bits are not zero and that is not padded is not accepted.
// dest (may be null) needs room for 3 * (length of text) / 4 + 3 bytes.
uint64_t base64_decode(const char* text, char* dest, uint64_t* decoded_len);

#endif  // FERROWYN_CORE_BASE64_H_
