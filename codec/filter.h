// The LDAP Filter tree (RFC 4511) shared by the server, the ACL code, the
// query engine and the clients, with its BER codec and its two text forms.
//
// Nodes are heap-allocated zero-filled by the decoder (or built by a
// client) and freed with free_filter. Their strings point into the bytes the
// filter was decoded from. Lists built by the decoder (children and
// substrings) are in the REVERSE of the order of the encoding; everything
// that walks them (matching, printing, re-encoding) sees that order.
#ifndef FERROWYN_CODEC_FILTER_H_
#define FERROWYN_CODEC_FILTER_H_

#include <cstdint>

#include "core/counted_str.h"

// Filter CHOICE alternatives: the context-specific tag numbers.
constexpr uint32_t filter_and = 0;
constexpr uint32_t filter_or = 1;
constexpr uint32_t filter_not = 2;
constexpr uint32_t filter_equality = 3;
constexpr uint32_t filter_substrings = 4;
constexpr uint32_t filter_greater_or_equal = 5;
constexpr uint32_t filter_less_or_equal = 6;
constexpr uint32_t filter_present = 7;
constexpr uint32_t filter_approx = 8;

// Substring kinds: the element's tag number.
constexpr uint32_t substring_initial = 0;
constexpr uint32_t substring_any = 1;
constexpr uint32_t substring_final = 2;

struct filter_substring {
  uint32_t kind;           // substring_initial, _any or _final
  counted_str value;
  filter_substring* next;  // the following substring
};

struct Filter {
  uint32_t choice;             // filter_and ... filter_approx
  counted_str attribute;       // description of AVA choices, substrings, present
  counted_str value;           // assertion value of AVA choices
  uint32_t attribute_offset;   // 0 when decoded; the attribute's name offset once resolved
  uint32_t attribute_flags;    // 0 when decoded; the attribute's flag word once resolved
  filter_substring* substrings;  // of substrings
  Filter* children;            // operands of and, or, not
  Filter* next;                // next node of the parent's children list
};

// Decodes one Filter at [start, end); returns the bytes consumed, or 0 with
// *out null. Filters nested more deeply than filter_max_depth fail.
uint64_t ldap_decode_filter(const char* start, const char* end, Filter** out);
// Frees the node, its next list and everything below (null allowed).
void free_filter(Filter* f);
// Size of the encoding of f and of every node after it through next.
uint64_t ldap_encode_filter(char* dest, const Filter* f);
// The parenthesised text form; dest may be null (count only); -1 on failure.
int64_t filter_to_text(char* dest, const Filter* f);
// The trace form on std_err (callers check trace_enabled).
void trace_filter(const Filter* f);

// Deepest nesting of and/or/not the decoder accepts: recursion in the
// decoder, the matchers and the printers stays bounded.
constexpr uint32_t filter_max_depth = 100;

#endif  // FERROWYN_CODEC_FILTER_H_
