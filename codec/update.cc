// ModifyRequest, AddRequest and DelRequest codecs.
//
// The decoders only allocate list nodes; every string points into the
// received bytes. Each new node is linked into the record before anything is
// decoded into it, so that on failure the free function reaches everything
// that was allocated and releases it exactly once.
#include "codec/update.h"

#include <cstdlib>
#include <cstring>

#include "codec/ber.h"

static string_node* new_string_node() {
  return static_cast<string_node*>(std::calloc(1, sizeof(string_node)));
}

static void free_nodes(string_node* list) {
  while (list) {
    string_node* next = list->next;
    std::free(list);
    list = next;
  }
}

// ---- ModifyRequest ---------------------------------------------------------

void free_modify_request(modify_request* r) {
  free_nodes(r->first.vals);
  r->first.vals = nullptr;
  modification* m = r->first.next;
  r->first.next = nullptr;
  while (m) {
    modification* next = m->next;
    free_nodes(m->vals);
    std::free(m);
    m = next;
  }
}

static uint64_t fail_modify(modify_request* r) {
  free_modify_request(r);
  std::memset(r, 0, sizeof *r);
  return 0;
}

uint64_t ldap_decode_modify_request(const char* start, const char* end, modify_request* r) {
  std::memset(r, 0, sizeof *r);
  const char* p = start;

  uint64_t n = ber_decode_string(p, end, &r->object);
  if (!n) return fail_modify(r);
  p += n;

  uint64_t changes_len;
  n = ber_decode_sequence(p, end, &changes_len);
  if (!n || changes_len == 0) return fail_modify(r);
  p += n;
  // The length was checked against end by the sequence decoder.
  const char* const c = p + changes_len;

  modification* change = nullptr;
  while (p < c) {
    if (!change) {
      change = &r->first;
    } else {
      auto* next = static_cast<modification*>(std::calloc(1, sizeof(modification)));
      if (!next) return fail_modify(r);
      change->next = next;
      change = next;
    }

    // The change SEQUENCE's own length is not used: its parts are bounded by
    // the changes SEQUENCE and the PartialAttribute's length.
    uint64_t unused_len;
    n = ber_decode_sequence(p, c, &unused_len);
    if (!n) return fail_modify(r);
    p += n;

    int64_t operation;
    n = ber_decode_enumerated(p, c, &operation);
    if (!n || operation < 0 || operation > static_cast<int64_t>(modify_replace))
      return fail_modify(r);
    change->operation = static_cast<uint32_t>(operation);
    p += n;

    uint64_t attribute_len;
    n = ber_decode_sequence(p, c, &attribute_len);
    if (!n) return fail_modify(r);
    p += n;
    const char* const m = p + attribute_len;

    n = ber_decode_string(p, m, &change->type);
    if (!n) return fail_modify(r);
    p += n;

    uint64_t vals_len;
    n = ber_decode_set(p, c, &vals_len);
    if (!n) return fail_modify(r);
    p += n;
    if (p + vals_len != m) return fail_modify(r);

    string_node* tail = nullptr;
    while (p < m) {
      string_node* node = new_string_node();
      if (!node) return fail_modify(r);
      if (tail)
        tail->next = node;
      else
        change->vals = node;
      tail = node;
      n = ber_decode_string(p, m, &node->str);
      if (!n) return fail_modify(r);
      p += n;
    }
  }
  return static_cast<uint64_t>(p - start);
}

// ---- AddRequest ------------------------------------------------------------

void free_add_request(add_request* r) {
  free_nodes(r->first.vals.next);
  r->first.vals.next = nullptr;
  add_attribute* a = r->first.next;
  r->first.next = nullptr;
  while (a) {
    add_attribute* next = a->next;
    free_nodes(a->vals.next);
    std::free(a);
    a = next;
  }
}

static uint64_t fail_add(add_request* r) {
  free_add_request(r);
  std::memset(r, 0, sizeof *r);
  return 0;
}

uint64_t ldap_decode_add_request(const char* start, const char* end, add_request* r) {
  std::memset(r, 0, sizeof *r);
  const char* p = start;

  uint64_t n = ber_decode_string(p, end, &r->entry);
  if (!n) return fail_add(r);
  p += n;

  uint64_t list_len;
  n = ber_decode_sequence(p, end, &list_len);
  if (!n || list_len == 0) return fail_add(r);
  p += n;
  const char* const a = p + list_len;

  add_attribute* attribute = nullptr;
  while (p < a) {
    if (!attribute) {
      attribute = &r->first;
    } else {
      auto* next = static_cast<add_attribute*>(std::calloc(1, sizeof(add_attribute)));
      if (!next) return fail_add(r);
      attribute->next = next;
      attribute = next;
    }

    uint64_t unused_len;
    n = ber_decode_sequence(p, a, &unused_len);
    if (!n) return fail_add(r);
    p += n;

    n = ber_decode_string(p, a, &attribute->type);
    if (!n) return fail_add(r);
    p += n;

    uint64_t vals_len;
    n = ber_decode_set(p, a, &vals_len);
    if (!n) return fail_add(r);
    p += n;
    // An empty SET leaves the built-in value node as the one empty value.
    const char* const set_end = p + vals_len;

    // Values are bounded by the attribute list, not by the SET, so the last
    // value may run past the SET's end; the loop then stops there.
    string_node* value = &attribute->vals;
    bool first_value = true;
    while (p < set_end) {
      if (!first_value) {
        string_node* node = new_string_node();
        if (!node) return fail_add(r);
        value->next = node;
        value = node;
      }
      first_value = false;
      n = ber_decode_string(p, a, &value->str);
      if (!n) return fail_add(r);
      p += n;
    }
  }
  return static_cast<uint64_t>(p - start);
}

// ---- DelRequest ------------------------------------------------------------

uint64_t ldap_decode_del_request(const char* start, const char* end, counted_str* dn) {
  if (start >= end) return 0;
  dn->bytes = start;
  dn->len = static_cast<uint64_t>(end - start);
  return dn->len;
}

uint64_t ldap_encode_del_request(char* dest, counted_str dn) {
  if (dest && dn.len) std::memcpy(dest, dn.bytes, dn.len);
  return dn.len;
}
