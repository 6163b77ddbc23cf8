// Decimal and hexadecimal number text, and IPv4/IPv6 address readers.
//
// Formatters write no NUL; with a null destination they only count. Readers
// return the number of characters consumed, 0 when nothing was recognised
// (and then whatever they stored must be ignored). Texts are NUL-terminated.
#ifndef FERROWYN_CORE_NUMBER_TEXT_H_
#define FERROWYN_CORE_NUMBER_TEXT_H_

#include <cstdint>

// Digits of value (1 to 20), most significant first; 0 is "0".
uint64_t format_decimal(char* dest, uint64_t value);
// Lowercase hex digits (1 to 16), no prefix, no leading zeros; 0 is "0".
uint64_t format_hex(char* dest, uint64_t value);

// Reads decimal digits; stops at a non-digit or before a digit that would
// overflow 64 bits (that digit is not consumed).
uint64_t scan_decimal(const char* text, uint64_t* value);
// Reads hex digits of either case; at most 16 significant digits.
uint64_t scan_hex(const char* text, uint64_t* value);
// 0-15 for a hex digit of either case, else -1.
int hex_digit_value(char c);
// "0"-"9", "a"-"f" for 0 to 15.
char hex_digit_char(unsigned v);

// Dotted quad, each part 0-255 (leading zeros are decimal); the character
// after the fourth part is not looked at.
uint64_t scan_ipv4(const char* text, uint8_t out[4]);
// IPv6 text (with "::" compression and an IPv4 tail), or an IPv4 address,
// which gives the IPv4-mapped address ::ffff:a.b.c.d. The caller checks that
// the whole text was consumed.
uint64_t scan_ipv6(const char* text, uint8_t out[16]);

#endif  // FERROWYN_CORE_NUMBER_TEXT_H_
