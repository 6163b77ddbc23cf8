// The Filter tree: BER decoder and encoder, the parenthesised text form and
// the trace form.
//
// Recursion follows the nesting of and/or/not only; lists (a parent's
// children, the nodes after a node through next) are walked with loops, so
// a flat filter with thousands of operands costs no stack. The decoder
// refuses nesting beyond filter_max_depth, which bounds the recursion of
// everything that walks a decoded tree.

#include "codec/filter.h"

#include <cstdlib>
#include <cstring>

#include "codec/ber.h"
#include "core/out_buffer.h"

// ---- Decoder ----------------------------------------------------------------

// Decodes one filter at [start, end) whose and/or/not ancestors number
// depth. Returns the bytes consumed, or 0 with *out null and nothing left
// allocated. *fatal is set for failures that must fail every enclosing
// filter too: running out of memory, and nesting too deep. An and/or keeps
// the operands decoded before a malformed one, but keeping them before one
// of these would turn a filter the server cannot handle into a different,
// smaller filter.
static uint64_t decode_filter(const char* start, const char* end, Filter** out, uint32_t depth,
                              bool* fatal);

static uint64_t decode_operands(Filter* f, const char* c, const char* e, uint32_t depth,
                                bool* fatal) {
  const char* p = c;
  while (p < e) {
    Filter* child;
    const uint64_t n = decode_filter(p, e, &child, depth, fatal);
    if (n == 0) {
      if (*fatal || !f->children) return 0;
      break;  // the operands so far stand; the size stops short of the element
    }
    // Front insertion: constant time, and the list ends up reversed.
    child->next = f->children;
    f->children = child;
    p += n;
  }
  return static_cast<uint64_t>(p - c);
}

static uint64_t decode_substrings(Filter* f, const char* c, const char* e, bool* fatal) {
  const uint64_t type_size = ber_decode_string(c, e, &f->attribute);
  if (type_size == 0) return 0;
  const char* p = c + type_size;
  uint64_t seq_len;
  const uint64_t seq_header = ber_decode_sequence(p, e, &seq_len);
  if (seq_header == 0) return 0;
  p += seq_header;
  if (seq_len != static_cast<uint64_t>(e - p)) return 0;
  while (p < e) {
    unsigned cls, constructed;
    uint64_t tag, content_len;
    const char* content;
    const uint64_t n = ber_decode_header(p, e, &cls, &constructed, &tag, &content, &content_len);
    // Class and form are not looked at: only the tag number tells the kind.
    if (n == 0 || tag > substring_final) return 0;
    auto* s = static_cast<filter_substring*>(std::calloc(1, sizeof(filter_substring)));
    if (!s) {
      *fatal = true;
      return 0;
    }
    s->kind = static_cast<uint32_t>(tag);
    s->value = counted_str{content_len, content};
    s->next = f->substrings;
    f->substrings = s;
    p += n;
  }
  return static_cast<uint64_t>(e - c);
}

static uint64_t decode_filter(const char* start, const char* end, Filter** out, uint32_t depth,
                              bool* fatal) {
  *out = nullptr;
  unsigned cls, constructed;
  uint64_t tag;
  const uint64_t tag_size = ber_decode_tag(start, end, &cls, &constructed, &tag);
  // extensibleMatch (9) is not supported and fails here with the rest.
  if (tag_size == 0 || cls != ber_context || tag > filter_approx) return 0;
  if (!constructed && tag != filter_present) return 0;
  uint64_t len;
  const uint64_t len_size = ber_decode_length(start + tag_size, end, &len);
  if (len_size == 0) return 0;
  const uint64_t h = tag_size + len_size;
  const char* c = start + h;
  const char* e = c + len;

  const bool is_operator = tag <= filter_not;
  if (is_operator && depth >= filter_max_depth) {
    *fatal = true;
    return 0;
  }
  auto* f = static_cast<Filter*>(std::calloc(1, sizeof(Filter)));
  if (!f) {
    *fatal = true;
    return 0;
  }
  f->choice = static_cast<uint32_t>(tag);

  uint64_t size = 0;
  switch (f->choice) {
    case filter_and:
    case filter_or: {
      if (len == 0) {
        size = h;
        break;
      }
      const uint64_t n = decode_operands(f, c, e, depth + 1, fatal);
      if (n != 0) size = h + n;
      break;
    }
    case filter_not: {
      const uint64_t n = decode_filter(c, e, &f->children, depth + 1, fatal);
      if (n != 0 && n == len) size = h + len;
      break;
    }
    case filter_equality:
    case filter_greater_or_equal:
    case filter_less_or_equal:
    case filter_approx: {
      const uint64_t a = ber_decode_string(c, e, &f->attribute);
      if (a == 0) break;
      const uint64_t v = ber_decode_string(c + a, e, &f->value);
      if (v == 0) break;
      // Anything the AVA holds behind the value is left where it is.
      size = h + a + v;
      break;
    }
    case filter_substrings: {
      const uint64_t n = decode_substrings(f, c, e, fatal);
      if (n != 0) size = h + n;
      break;
    }
    case filter_present:
      f->attribute = counted_str{len, c};
      size = h + len;
      break;
  }
  if (size == 0) {
    free_filter(f);
    return 0;
  }
  *out = f;
  return size;
}

uint64_t ldap_decode_filter(const char* start, const char* end, Filter** out) {
  bool fatal = false;
  return decode_filter(start, end, out, 0, &fatal);
}

// ---- Release ------------------------------------------------------------------

// Without recursion, so that a tree of any depth (a client may build one)
// is released in constant stack: the children of a node are spliced into
// the list still to be freed, in front of the node's successors. Each
// children list is walked once to find its tail.
void free_filter(Filter* f) {
  while (f) {
    Filter* rest = f->next;
    if (f->choice <= filter_not && f->children) {
      Filter* last = f->children;
      while (last->next) last = last->next;
      last->next = rest;
      rest = f->children;
    }
    if (f->choice == filter_substrings) {
      filter_substring* s = f->substrings;
      while (s) {
        filter_substring* next = s->next;
        std::free(s);
        s = next;
      }
    }
    std::free(f);
    f = rest;
  }
}

// ---- Encoder ----------------------------------------------------------------

static uint64_t encode_list(char* dest, const Filter* f);

static uint64_t encode_string(char* dest, counted_str s) {
  return static_cast<uint64_t>(ber_encode_counted_str(dest, s));
}

static uint64_t encode_substring_elements(char* dest, const filter_substring* s) {
  uint64_t n = 0;
  for (; s; s = s->next)
    n += static_cast<uint64_t>(ber_encode_string(dest ? dest + n : nullptr, ber_context,
                                                 ber_primitive, s->kind, s->value.bytes,
                                                 s->value.len));
  return n;
}

// The content of a constructed node, written at dest.
static uint64_t encode_content(char* dest, const Filter* f) {
  switch (f->choice) {
    case filter_and:
    case filter_or:
    case filter_not:
      return encode_list(dest, f->children);
    case filter_substrings: {
      uint64_t n = encode_string(dest, f->attribute);
      // The element list is cheap to count, so its header goes first and
      // nothing has to move.
      const uint64_t elements = encode_substring_elements(nullptr, f->substrings);
      n += ber_encode_header(dest ? dest + n : nullptr, ber_universal, ber_constructed,
                             ber_tag_sequence, elements);
      return n + encode_substring_elements(dest ? dest + n : nullptr, f->substrings);
    }
    default: {  // the AttributeValueAssertion choices
      const uint64_t n = encode_string(dest, f->attribute);
      return n + encode_string(dest ? dest + n : nullptr, f->value);
    }
  }
}

static uint64_t encode_node(char* dest, const Filter* f) {
  if (f->choice == filter_present)
    return static_cast<uint64_t>(ber_encode_string(dest, ber_context, ber_primitive,
                                                   filter_present, f->attribute.bytes,
                                                   f->attribute.len));
  // The content's size is known only once it is written, so it is written
  // first and then moved behind the header that its size determines.
  const uint64_t content = encode_content(dest, f);
  const uint64_t h = ber_encode_header(nullptr, ber_context, ber_constructed, f->choice, content);
  if (dest) {
    std::memmove(dest + h, dest, content);
    ber_encode_header(dest, ber_context, ber_constructed, f->choice, content);
  }
  return h + content;
}

// The node and its successors through next, up to the first node of an
// unknown choice, which ends the encoding.
static uint64_t encode_list(char* dest, const Filter* f) {
  uint64_t total = 0;
  for (; f && f->choice <= filter_approx; f = f->next)
    total += encode_node(dest ? dest + total : nullptr, f);
  return total;
}

uint64_t ldap_encode_filter(char* dest, const Filter* f) { return encode_list(dest, f); }

// ---- Text form --------------------------------------------------------------

namespace {

// Appends to dest when there is one; counts either way.
struct text_writer {
  char* dest;
  uint64_t n;

  void put(const char* bytes, uint64_t len) {
    if (dest && len) std::memcpy(dest + n, bytes, len);
    n += len;
  }
  void put(counted_str s) { put(s.bytes, s.len); }
  void put(char ch) {
    if (dest) dest[n] = ch;
    ++n;
  }
};

}  // namespace

static bool write_text(text_writer* w, const Filter* f) {
  w->put('(');
  switch (f->choice) {
    case filter_and:
    case filter_or:
    case filter_not: {
      static constexpr char op[] = {'&', '|', '!'};
      w->put(op[f->choice]);
      for (const Filter* child = f->children; child; child = child->next)
        if (!write_text(w, child)) return false;
      break;
    }
    case filter_equality:
      w->put(f->attribute);
      w->put('=');
      w->put(f->value);
      break;
    case filter_greater_or_equal:
    case filter_less_or_equal:
    case filter_approx:
      w->put(f->attribute);
      w->put(f->choice == filter_greater_or_equal ? '>'
             : f->choice == filter_less_or_equal  ? '<'
                                                  : '~');
      w->put('=');
      w->put(f->value);
      break;
    case filter_present:
      w->put(f->attribute);
      w->put("=*", 2);
      break;
    case filter_substrings:
      // One parenthesised group per substring, each repeating the attribute.
      for (const filter_substring* s = f->substrings; s; s = s->next) {
        w->put(f->attribute);
        w->put('=');
        if (s->kind != substring_initial) w->put('*');
        w->put(s->value);
        if (s->kind != substring_final) w->put('*');
        if (s->next) w->put(")(", 2);
      }
      break;
    default:
      return false;
  }
  w->put(')');
  return true;
}

int64_t filter_to_text(char* dest, const Filter* f) {
  text_writer w{dest, 0};
  if (!write_text(&w, f)) return -1;
  return static_cast<int64_t>(w.n);
}

// ---- Trace form ---------------------------------------------------------------

static void trace_put(const char* text) { buf_put(&std_err, text, std::strlen(text)); }
static void trace_put(counted_str s) { buf_put(&std_err, s.bytes, s.len); }

static void trace_node(const Filter* f) {
  switch (f->choice) {
    case filter_and:
    case filter_or:
    case filter_not: {
      static constexpr const char* open[] = {"&(", "|(", "!("};
      trace_put(open[f->choice]);
      if (f->children) trace_filter(f->children);
      trace_put(")\n");
      return;
    }
    case filter_equality:
    case filter_greater_or_equal:
    case filter_less_or_equal:
    case filter_present:
    case filter_approx: {
      const char* op = f->choice == filter_equality            ? "=="
                       : f->choice == filter_greater_or_equal ? ">="
                       : f->choice == filter_less_or_equal    ? "<="
                       : f->choice == filter_present          ? "\\exist"
                                                              : "\\approx";
      trace_put("[");
      trace_put(f->attribute);
      trace_put(" ");
      trace_put(op);
      trace_put(" ");
      trace_put(f->value);
      trace_put("]");
      return;
    }
    case filter_substrings:
      trace_put(f->attribute);
      trace_put(" has ");
      for (const filter_substring* s = f->substrings; s; s = s->next) {
        trace_put(s->kind == substring_initial ? "prefix \""
                  : s->kind == substring_any   ? "substr \""
                                               : "suffix \"");
        trace_put(s->value);
        trace_put("\"");
        if (s->next) trace_put(" and ");
      }
      return;
    case 9:  // extensibleMatch: only a client-built tree can hold one
      trace_put("[extensible]");
      return;
    default:
      return;
  }
}

// The nodes of a list are separated by commas. Walking the list with a loop
// writes the same bytes as a call per node would, and flushes once.
void trace_filter(const Filter* f) {
  for (; f; f = f->next) {
    trace_node(f);
    if (f->next) trace_put(",");
  }
  buf_flush(&std_err);
}
