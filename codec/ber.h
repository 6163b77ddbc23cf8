// BER primitives (X.690), restricted to what LDAPv3 needs.
//
// Decoders take [start, end), never read at or beyond end, and return the
// number of bytes consumed; 0 means failure. They are strict where BER
// allows choice (no indefinite lengths, no redundant leading integer octets,
// booleans only 0x00/0x01) and lenient in two places that peers rely on
// (long-form tag numbers below 31, long-form lengths of 127).
//
// Encoders take a destination that may be null, write exactly the returned
// number of bytes when it is not, and only count when it is.
#ifndef FERROWYN_CODEC_BER_H_
#define FERROWYN_CODEC_BER_H_

#include <cstdint>

#include "core/counted_str.h"

// Identifier classes, kept in place as the top two bits of the octet.
constexpr unsigned ber_universal = 0x00;
constexpr unsigned ber_application = 0x40;
constexpr unsigned ber_context = 0x80;
constexpr unsigned ber_private = 0xC0;
// Constructed flag.
constexpr unsigned ber_primitive = 0x00;
constexpr unsigned ber_constructed = 0x20;
// Universal tag numbers.
constexpr uint64_t ber_tag_boolean = 1;
constexpr uint64_t ber_tag_integer = 2;
constexpr uint64_t ber_tag_octet_string = 4;
constexpr uint64_t ber_tag_enumerated = 10;
constexpr uint64_t ber_tag_sequence = 16;
constexpr uint64_t ber_tag_set = 17;

// ---- Decoders -----------------------------------------------------------
uint64_t ber_decode_tag(const char* start, const char* end, unsigned* cls,
                        unsigned* constructed, uint64_t* tag);
// The length must fit in the bytes that follow the length octets.
uint64_t ber_decode_length(const char* start, const char* end, uint64_t* length);
// Returns the whole element size (identifier + length octets + content).
uint64_t ber_decode_header(const char* start, const char* end, unsigned* cls,
                           unsigned* constructed, uint64_t* tag,
                           const char** content, uint64_t* content_len);
// Any class, form and tag; value is sign-extended two's complement.
uint64_t ber_decode_integer_element(const char* start, const char* end, unsigned* cls,
                                    unsigned* constructed, uint64_t* tag, int64_t* value);
// Universal primitive INTEGER. *value may be written even when this fails.
uint64_t ber_decode_integer(const char* start, const char* end, int64_t* value);
// Universal primitive ENUMERATED; *value written only on success.
uint64_t ber_decode_enumerated(const char* start, const char* end, int64_t* value);
// Universal primitive BOOLEAN of content 0x00 or 0x01; written only on success.
uint64_t ber_decode_boolean(const char* start, const char* end, int64_t* value);
// Universal primitive OCTET STRING. *out is set as soon as identifier and
// length decode, even if the tag then turns out wrong and the call fails.
uint64_t ber_decode_string(const char* start, const char* end, counted_str* out);
// Universal constructed SEQUENCE / SET: return identifier + length octets
// only, so the caller goes on at the first content octet.
uint64_t ber_decode_sequence(const char* start, const char* end, uint64_t* content_len);
uint64_t ber_decode_set(const char* start, const char* end, uint64_t* content_len);

// Reads an identifier and length header without requiring the content to be
// present: 1 with *total = header + content length, 0 when more bytes are
// needed to know, -1 when the header is malformed (same rules as
// ber_decode_tag / ber_decode_length). For framing a byte stream.
int ber_peek_element_size(const char* start, const char* end, unsigned* cls,
                          unsigned* constructed, uint64_t* tag, uint64_t* total);

// ---- Encoders -----------------------------------------------------------
// Tag numbers must be below 2^49.
uint64_t ber_encode_tag(char* dest, unsigned cls, unsigned constructed, uint64_t tag);
uint64_t ber_encode_length(char* dest, uint64_t length);
uint64_t ber_encode_header(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                           uint64_t length);
// The value as unsigned, fewest octets, with a 0x00 octet in front when the
// top bit is set (never a negative encoding).
uint64_t ber_encode_integer(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                            uint64_t value);
// -1 when count is above 2^64 - 101.
int64_t ber_encode_string(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                          const char* bytes, uint64_t count);
// Universal primitive OCTET STRING.
int64_t ber_encode_counted_str(char* dest, counted_str s);

#endif  // FERROWYN_CODEC_BER_H_
