// The string form of an LDAP filter (RFC 4515) read into a Filter tree:
// "(&(objectClass=person)(uid=a*))", "(!(cn=x))", "(cn=\2a)".
//
// Accepted: and "&", or "|" (also with no operands, RFC 4526: "(&)" is
// true, "(|)" false), not "!" with exactly one operand, equality "=",
// present "=*", substrings "=a*b*c", ">=", "<=" and "~=". Attribute
// descriptions are a name (a letter, then letters, digits and "-") or a
// numeric OID, each with ";option"s. In values "\" must be followed by two
// hexadecimal digits (the byte they name), and "(", ")", "*" (except as
// the substring separator), "\" and NUL must be written that way; other
// bytes, those above 0x7F included, stand for themselves. No white space
// is allowed between the parts. Extensible matches ("(cn:dn:=x)") are
// refused, as the decoder refuses them.
//
// The tree keeps the written order: the children of and/or and the
// substrings are listed as written, so ldap_encode_filter writes them in
// that order. (A tree decoded from BER lists them in reverse.)
#ifndef FERROWYN_CODEC_FILTER_PARSE_H_
#define FERROWYN_CODEC_FILTER_PARSE_H_

#include <cstdint>

#include "codec/filter.h"

// Why a text did not parse.
struct filter_parse_error {
  uint64_t offset;      // position in the text where the problem was found
  const char* message;  // a fixed English text, no newline
};

// Parses the one parenthesised filter that starts at `start`; text after
// its closing parenthesis is not looked at. The attribute descriptions and
// the unescaped values are copied to `storage`, which must hold at least
// end - start bytes and must outlive the tree (the tree's strings point
// into it, not into the text). Nodes are allocated like the decoder's and
// released with free_filter. Nesting of and/or/not is bounded by
// filter_max_depth exactly as in the decoder.
// Returns the bytes of text consumed, or 0 with *out null and *error set.
uint64_t filter_from_text(const char* start, const char* end, char* storage, Filter** out,
                          filter_parse_error* error);

#endif  // FERROWYN_CODEC_FILTER_PARSE_H_
