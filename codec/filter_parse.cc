// The RFC 4515 string form of a filter, read into a Filter tree.
//
// A recursive descent over the text: one call per parenthesised filter,
// recursion only for the operands of and/or/not, whose nesting is bounded
// like the decoder's. Strings are copied to the caller's storage as they
// are read (values unescaped on the way), so the storage needs no more
// bytes than the text has.
#include "codec/filter_parse.h"

#include <cstdlib>

namespace {

struct parser {
  const char* p;  // next byte to read
  const char* end;
  const char* start;  // for error offsets
  char* out;          // next free byte of the storage
  filter_parse_error* error;
};

Filter* fail(parser* ps, const char* at, const char* message) {
  ps->error->offset = static_cast<uint64_t>(at - ps->start);
  ps->error->message = message;
  return nullptr;
}

constexpr bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_keychar(unsigned char c) { return is_alpha(c) || is_digit(c) || c == '-'; }

constexpr int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

bool peek(const parser* ps, char c) { return ps->p < ps->end && *ps->p == c; }

Filter* new_node(parser* ps, uint32_t choice) {
  auto* f = static_cast<Filter*>(std::calloc(1, sizeof(Filter)));
  if (f == nullptr) return fail(ps, ps->p, "out of memory");
  f->choice = choice;
  return f;
}

// An attribute description: a name or a numeric OID, then ";option"s.
// Returns false (with the error set) when there is none.
bool read_description(parser* ps, counted_str* out) {
  const char* begin = ps->p;
  const char* p = begin;
  const char* end = ps->end;
  if (p < end && is_alpha(static_cast<unsigned char>(*p))) {
    while (p < end && is_keychar(static_cast<unsigned char>(*p))) ++p;
  } else if (p < end && is_digit(static_cast<unsigned char>(*p))) {
    uint32_t parts = 0;
    for (;;) {
      if (p == end || !is_digit(static_cast<unsigned char>(*p))) {
        fail(ps, p, "a numeric OID needs digits between its dots");
        return false;
      }
      while (p < end && is_digit(static_cast<unsigned char>(*p))) ++p;
      ++parts;
      if (p == end || *p != '.') break;
      ++p;
    }
    if (parts < 2) {
      fail(ps, begin, "an attribute description starts with a letter or is a numeric OID");
      return false;
    }
  } else {
    fail(ps, p, "missing attribute description");
    return false;
  }
  while (p < end && *p == ';') {
    ++p;
    if (p == end || !is_keychar(static_cast<unsigned char>(*p))) {
      fail(ps, p, "empty attribute option");
      return false;
    }
    while (p < end && is_keychar(static_cast<unsigned char>(*p))) ++p;
  }
  const auto len = static_cast<uint64_t>(p - begin);
  for (uint64_t i = 0; i < len; ++i) ps->out[i] = begin[i];
  *out = counted_str{len, ps->out};
  ps->out += len;
  ps->p = p;
  return true;
}

// Ends the current piece of a substrings value: a non-empty piece becomes
// an element of the given kind at the end of the list.
bool add_substring(parser* ps, filter_substring*** tail, uint32_t kind, const char* piece,
                   uint64_t len) {
  auto* s = static_cast<filter_substring*>(std::calloc(1, sizeof(filter_substring)));
  if (s == nullptr) {
    fail(ps, ps->p, "out of memory");
    return false;
  }
  s->kind = kind;
  s->value = counted_str{len, piece};
  **tail = s;
  *tail = &s->next;
  return true;
}

// The value of an item up to its closing parenthesis (consumed), for the
// item node f. With "=", unescaped asterisks make it present or substrings.
Filter* read_value(parser* ps, Filter* f) {
  const bool stars_allowed = f->choice == filter_equality;
  char* piece = ps->out;  // start of the current piece in the storage
  uint32_t stars = 0;
  bool first_piece_empty = true;
  filter_substring** tail = &f->substrings;
  for (;;) {
    if (ps->p == ps->end) return fail(ps, ps->p, "unexpected end of text, expected \")\"");
    const unsigned char c = static_cast<unsigned char>(*ps->p);
    if (c == ')') break;
    if (c == '(') return fail(ps, ps->p, "\"(\" in a value must be written \\28");
    if (c == '\0') return fail(ps, ps->p, "a NUL byte in a value must be written \\00");
    if (c == '*') {
      if (!stars_allowed) return fail(ps, ps->p, "\"*\" in a value must be written \\2a");
      const auto len = static_cast<uint64_t>(ps->out - piece);
      if (stars == 0) {
        first_piece_empty = len == 0;
        if (len != 0 && !add_substring(ps, &tail, substring_initial, piece, len)) return nullptr;
      } else {
        if (len == 0) return fail(ps, ps->p, "two \"*\" with nothing between them");
        if (!add_substring(ps, &tail, substring_any, piece, len)) return nullptr;
      }
      ++stars;
      ++ps->p;
      piece = ps->out;
      continue;
    }
    if (c == '\\') {
      const int hi = ps->end - ps->p > 1 ? hex_value(static_cast<unsigned char>(ps->p[1])) : -1;
      const int lo = ps->end - ps->p > 2 ? hex_value(static_cast<unsigned char>(ps->p[2])) : -1;
      if (hi < 0 || lo < 0)
        return fail(ps, ps->p, "\"\\\" must be followed by two hexadecimal digits");
      *ps->out++ = static_cast<char>(hi << 4 | lo);
      ps->p += 3;
      continue;
    }
    *ps->out++ = static_cast<char>(c);
    ++ps->p;
  }
  const auto len = static_cast<uint64_t>(ps->out - piece);
  if (stars == 0) {
    f->value = counted_str{len, piece};
  } else if (stars == 1 && first_piece_empty && len == 0) {
    f->choice = filter_present;
  } else {
    f->choice = filter_substrings;
    if (len != 0 && !add_substring(ps, &tail, substring_final, piece, len)) return nullptr;
  }
  ++ps->p;  // the closing parenthesis
  return f;
}

Filter* parse_filter(parser* ps, uint32_t depth);

// The operands of and/or: filters up to the closing parenthesis.
Filter* parse_operands(parser* ps, Filter* f, uint32_t depth) {
  Filter** tail = &f->children;
  while (peek(ps, '(')) {
    Filter* child = parse_filter(ps, depth + 1);
    if (child == nullptr) return nullptr;
    *tail = child;
    tail = &child->next;
  }
  if (!peek(ps, ')')) {
    return fail(
        ps, ps->p,
        ps->p == ps->end ? "unexpected end of text, expected \")\"" : "expected \"(\" or \")\"");
  }
  ++ps->p;
  return f;
}

Filter* parse_not(parser* ps, Filter* f, uint32_t depth) {
  if (!peek(ps, '(')) {
    return fail(ps, ps->p,
                ps->p == ps->end ? "unexpected end of text, expected \"(\""
                                 : "\"!\" must be followed by a filter");
  }
  f->children = parse_filter(ps, depth + 1);
  if (f->children == nullptr) return nullptr;
  if (peek(ps, '(')) return fail(ps, ps->p, "\"!\" takes exactly one filter");
  if (!peek(ps, ')')) {
    return fail(ps, ps->p,
                ps->p == ps->end ? "unexpected end of text, expected \")\"" : "expected \")\"");
  }
  ++ps->p;
  return f;
}

Filter* parse_item(parser* ps) {
  counted_str attribute;
  if (!read_description(ps, &attribute)) return nullptr;
  uint32_t choice;
  const char* op = ps->p;
  const uint64_t left = static_cast<uint64_t>(ps->end - op);
  if (left >= 1 && op[0] == '=') {
    choice = filter_equality;
  } else if (left >= 2 && op[1] == '=' && (op[0] == '~' || op[0] == '>' || op[0] == '<')) {
    choice = op[0] == '~'   ? filter_approx
             : op[0] == '>' ? filter_greater_or_equal
                            : filter_less_or_equal;
  } else if (left >= 1 && op[0] == ':') {
    return fail(ps, op, "extensible match filters are not supported");
  } else {
    return fail(ps, op, "expected \"=\", \"~=\", \">=\" or \"<=\" after the attribute");
  }
  ps->p += choice == filter_equality ? 1 : 2;
  Filter* f = new_node(ps, choice);
  if (f == nullptr) return nullptr;
  f->attribute = attribute;
  if (read_value(ps, f) == nullptr) {
    // The substrings read before the failure belong to the node only once
    // it is one.
    if (f->substrings != nullptr) f->choice = filter_substrings;
    free_filter(f);
    return nullptr;
  }
  return f;
}

Filter* parse_filter(parser* ps, uint32_t depth) {
  if (!peek(ps, '(')) {
    return fail(ps, ps->p,
                ps->p == ps->end ? "unexpected end of text, expected \"(\"" : "expected \"(\"");
  }
  ++ps->p;
  if (ps->p == ps->end) return fail(ps, ps->p, "unexpected end of text");
  const char c = *ps->p;
  if (c != '&' && c != '|' && c != '!') return parse_item(ps);
  // The decoder refuses an operator below filter_max_depth others; so does
  // the parser, so that every tree it builds encodes to one that decodes.
  if (depth >= filter_max_depth) return fail(ps, ps->p, "filters nested too deeply");
  Filter* f = new_node(ps, c == '&' ? filter_and : c == '|' ? filter_or : filter_not);
  if (f == nullptr) return nullptr;
  ++ps->p;
  Filter* done = c == '!' ? parse_not(ps, f, depth) : parse_operands(ps, f, depth);
  if (done == nullptr) free_filter(f);
  return done;
}

}  // namespace

uint64_t filter_from_text(const char* start, const char* end, char* storage, Filter** out,
                          filter_parse_error* error) {
  parser ps{start, end, start, storage, error};
  *out = parse_filter(&ps, 0);
  if (*out == nullptr) return 0;
  return static_cast<uint64_t>(ps.p - start);
}
