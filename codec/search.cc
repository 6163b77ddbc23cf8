// SearchRequest and SearchResultEntry codecs.
//
// Encoders run twice (counting, then writing) into one caller buffer; the
// decoders allocate only the list nodes and the filter, and point every
// string into the decoded bytes.

#include "codec/search.h"

#include <cstdlib>

#include "codec/ber.h"

static uint64_t encode_string(char* dest, counted_str s) {
  return static_cast<uint64_t>(ber_encode_counted_str(dest, s));
}

static char* at(char* dest, uint64_t offset) { return dest ? dest + offset : nullptr; }

// ---- SearchRequest ----------------------------------------------------------

// An enumerated value below limit; negative values are refused too, since
// they would otherwise wrap into a large unsigned field.
static uint64_t decode_enumerated_below(const char* p, const char* end, uint64_t limit,
                                        uint32_t* out) {
  int64_t v;
  const uint64_t n = ber_decode_enumerated(p, end, &v);
  if (n == 0 || static_cast<uint64_t>(v) >= limit) return 0;
  *out = static_cast<uint32_t>(v);
  return n;
}

static uint64_t decode_non_negative(const char* p, const char* end, int64_t* out) {
  int64_t v;
  const uint64_t n = ber_decode_integer(p, end, &v);
  if (n == 0 || v < 0) return 0;
  *out = v;
  return n;
}

// Fills r from [start, end); false on any failure, with whatever was
// allocated reachable from r.
static bool decode_request(const char* start, const char* end, search_request* r,
                           uint64_t* consumed) {
  const char* p = start;
  uint64_t n;
  if ((n = ber_decode_string(p, end, &r->baseObject)) == 0) return false;
  p += n;
  if ((n = decode_enumerated_below(p, end, 3, &r->scope)) == 0) return false;
  p += n;
  if ((n = decode_enumerated_below(p, end, 4, &r->derefAliases)) == 0) return false;
  p += n;
  if ((n = decode_non_negative(p, end, &r->sizeLimit)) == 0) return false;
  p += n;
  if ((n = decode_non_negative(p, end, &r->timeLimit)) == 0) return false;
  p += n;
  if ((n = ber_decode_boolean(p, end, &r->typesOnly)) == 0) return false;
  p += n;
  if ((n = ldap_decode_filter(p, end, &r->filter)) == 0) return false;
  p += n;

  uint64_t list_len;
  if ((n = ber_decode_sequence(p, end, &list_len)) == 0) return false;
  p += n;
  const char* list_end = p + list_len;
  // Appended at the tail: the server answers in the order asked for.
  string_node** tail = &r->attributes;
  while (p < list_end) {
    auto* node = static_cast<string_node*>(std::calloc(1, sizeof(string_node)));
    if (!node) return false;
    *tail = node;
    tail = &node->next;
    if ((n = ber_decode_string(p, list_end, &node->str)) == 0) return false;
    p += n;
  }
  *consumed = static_cast<uint64_t>(p - start);
  return true;
}

uint64_t ldap_decode_search_request(const char* start, const char* end, search_request* r) {
  r->filter = nullptr;
  r->attributes = nullptr;
  uint64_t consumed;
  if (!decode_request(start, end, r, &consumed)) {
    free_search_request(r);
    return 0;
  }
  return consumed;
}

void free_search_request(search_request* r) {
  free_string_list(r->attributes);
  free_filter(r->filter);
  *r = search_request{};
}

uint64_t ldap_encode_search_request(char* dest, const search_request* r) {
  uint64_t n = encode_string(dest, r->baseObject);
  n += ber_encode_integer(at(dest, n), ber_universal, ber_primitive, ber_tag_enumerated, r->scope);
  n += ber_encode_integer(at(dest, n), ber_universal, ber_primitive, ber_tag_enumerated,
                          r->derefAliases);
  n += ber_encode_integer(at(dest, n), ber_universal, ber_primitive, ber_tag_integer,
                          static_cast<uint64_t>(r->sizeLimit));
  n += ber_encode_integer(at(dest, n), ber_universal, ber_primitive, ber_tag_integer,
                          static_cast<uint64_t>(r->timeLimit));
  n += ber_encode_integer(at(dest, n), ber_universal, ber_primitive, ber_tag_boolean,
                          static_cast<uint64_t>(r->typesOnly));
  n += ldap_encode_filter(at(dest, n), r->filter);
  return n + ber_encode_string_list(at(dest, n), r->attributes, string_list_sequence);
}

// ---- Lists of strings ---------------------------------------------------------

static uint64_t encode_strings(char* dest, const string_node* list) {
  uint64_t n = 0;
  for (; list; list = list->next) n += encode_string(at(dest, n), list->str);
  return n;
}

uint64_t ber_encode_string_list(char* dest, const string_node* list, unsigned form) {
  const uint64_t content = encode_strings(nullptr, list);
  const uint64_t h = ber_encode_header(dest, ber_universal, ber_constructed, form, content);
  if (dest) encode_strings(dest + h, list);
  return h + content;
}

void free_string_list(string_node* list) {
  while (list) {
    string_node* next = list->next;
    std::free(list);
    list = next;
  }
}

// ---- SearchResultEntry ----------------------------------------------------------

uint64_t ldap_encode_partial_attributes(char* dest, const partial_attribute* list) {
  uint64_t n = 0;
  for (; list; list = list->next) {
    const uint64_t type = encode_string(nullptr, list->type);
    const uint64_t vals = ber_encode_string_list(nullptr, list->vals, string_list_set);
    n += ber_encode_header(at(dest, n), ber_universal, ber_constructed, ber_tag_sequence,
                           type + vals);
    if (dest) {
      encode_string(dest + n, list->type);
      ber_encode_string_list(dest + n + type, list->vals, string_list_set);
    }
    n += type + vals;
  }
  return n;
}

uint64_t ldap_encode_search_entry(char* dest, const search_entry* e) {
  uint64_t n = encode_string(dest, e->objectName);
  const uint64_t attrs = ldap_encode_partial_attributes(nullptr, e->attributes);
  n += ber_encode_header(at(dest, n), ber_universal, ber_constructed, ber_tag_sequence, attrs);
  if (dest) ldap_encode_partial_attributes(dest + n, e->attributes);
  return n + attrs;
}

// One PartialAttribute at [p, list_end), appended at *tail. Its values are
// bounded by the attribute's own end: a value that ran past it would take
// its bytes from the next attribute.
static uint64_t decode_partial_attribute(const char* p, const char* list_end,
                                         partial_attribute*** tail) {
  const char* start = p;
  uint64_t attr_len, n;
  if ((n = ber_decode_sequence(p, list_end, &attr_len)) == 0) return 0;
  p += n;
  const char* attr_end = p + attr_len;
  counted_str type;
  if ((n = ber_decode_string(p, attr_end, &type)) == 0) return 0;
  p += n;
  auto* a = static_cast<partial_attribute*>(std::calloc(1, sizeof(partial_attribute)));
  if (!a) return 0;
  a->type = type;
  **tail = a;
  *tail = &a->next;
  uint64_t set_len;
  if ((n = ber_decode_set(p, list_end, &set_len)) == 0) return 0;
  p += n;
  if (set_len != static_cast<uint64_t>(attr_end - p)) return 0;
  while (p < attr_end) {
    counted_str value;
    if ((n = ber_decode_string(p, attr_end, &value)) == 0) return 0;
    p += n;
    auto* v = static_cast<string_node*>(std::calloc(1, sizeof(string_node)));
    if (!v) return 0;
    v->str = value;
    // Front insertion: the values come out in reverse message order.
    v->next = a->vals;
    a->vals = v;
  }
  return static_cast<uint64_t>(p - start);
}

uint64_t ldap_decode_search_entry(const char* start, const char* end, search_entry* e) {
  e->attributes = nullptr;
  const char* p = start;
  uint64_t n, list_len;
  if ((n = ber_decode_string(p, end, &e->objectName)) == 0) return 0;
  p += n;
  if ((n = ber_decode_sequence(p, end, &list_len)) == 0) return 0;
  p += n;
  const char* list_end = p + list_len;
  partial_attribute** tail = &e->attributes;
  while (p < list_end) {
    if ((n = decode_partial_attribute(p, list_end, &tail)) == 0) {
      free_partial_attributes(e->attributes);
      e->attributes = nullptr;
      return 0;
    }
    p += n;
  }
  return static_cast<uint64_t>(p - start);
}

void free_partial_attributes(partial_attribute* list) {
  while (list) {
    partial_attribute* next = list->next;
    free_string_list(list->vals);
    std::free(list);
    list = next;
  }
}
