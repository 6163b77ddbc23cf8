// Which filters the parenthesised text form (filter_to_text) carries
// faithfully. That form is written without escaping, prints a substrings
// filter as one group per substring ("(cn=ab*)(cn=*yz)") and takes any
// bytes as attribute description; so only a filter without substrings,
// whose descriptions are names or numeric OIDs with options and whose
// values hold none of "(", ")", "*", "\" and NUL, reads back as itself.
#ifndef FERROWYN_FUZZ_FILTER_TEXT_FORM_H_
#define FERROWYN_FUZZ_FILTER_TEXT_FORM_H_

#include <cstdint>

#include "codec/filter.h"

namespace text_form {

inline bool is_alpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_keychar(char c) { return is_alpha(c) || is_digit(c) || c == '-'; }

// The rule of codec/filter_parse.h for attribute descriptions.
inline bool description(counted_str s) {
  const char* p = s.bytes;
  const char* end = s.bytes + s.len;
  if (s.len == 0) return false;
  if (is_alpha(*p)) {
    while (p < end && is_keychar(*p)) ++p;
  } else {
    int parts = 0;
    for (;;) {
      if (p == end || !is_digit(*p)) return false;
      while (p < end && is_digit(*p)) ++p;
      ++parts;
      if (p == end || *p != '.') break;
      ++p;
    }
    if (parts < 2) return false;
  }
  while (p < end && *p == ';') {
    ++p;
    if (p == end || !is_keychar(*p)) return false;
    while (p < end && is_keychar(*p)) ++p;
  }
  return p == end;
}

inline bool plain_value(counted_str s) {
  for (uint64_t i = 0; i < s.len; ++i) {
    const char c = s.bytes[i];
    if (c == '(' || c == ')' || c == '*' || c == '\\' || c == 0) return false;
  }
  return true;
}

}  // namespace text_form

// True when filter_to_text of the node and its siblings parses back with
// filter_from_text into the same tree.
inline bool text_form_is_faithful(const Filter* f) {
  for (; f != nullptr; f = f->next) {
    if (f->choice <= filter_not) {
      if (!text_form_is_faithful(f->children)) return false;
    } else if (f->choice == filter_substrings || !text_form::description(f->attribute) ||
               !text_form::plain_value(f->value)) {
      return false;
    }
  }
  return true;
}

#endif  // FERROWYN_FUZZ_FILTER_TEXT_FORM_H_
