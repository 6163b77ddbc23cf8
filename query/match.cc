// Filter matching and the search-scope tests.
//
// match_record runs for every candidate the indexes propose and for every
// record of a full scan, so it reads the record's words straight from the
// mapping, allocates nothing and makes one pass over the pairs per item.
// Every value comparison goes through the store's comparisons (cmp_value
// and its family, compare_values for counted values), so that what matches
// here is exactly what the sorted indexes order and find.
//
// Recursion follows the nesting of and/or/not only; the filter decoder
// bounds that nesting (filter_max_depth), and sibling lists are walked in
// loops.
#include "query/match.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"

// Record layout: pair count, reserved word, DN, first objectClass value,
// then (attribute, value) pairs of 8 bytes each.
static constexpr uint64_t kDnField = 8;
static constexpr uint64_t kObjectClassField = 12;
static constexpr uint64_t kFirstPair = 16;

// "A"-"Z" to "a"-"z"; every other byte stays as it is.
static constexpr unsigned char fold(unsigned char c) {
  return static_cast<unsigned>(c - 'A') < 26u ? static_cast<unsigned char>(c + 32) : c;
}

// approxMatch and extensibleMatch are never true. The note goes straight to
// the descriptor, unbuffered, once for every evaluation of such an item.
static void report_unsupported() {
  static constexpr char kText[] = "unsupported query type\n";
  const ssize_t ignored = write(2, kText, sizeof kText - 1);
  static_cast<void>(ignored);
}

static bool is_order_item(uint32_t choice) {
  return choice == filter_equality || choice == filter_greater_or_equal ||
         choice == filter_less_or_equal;
}

static bool names_dn(uint32_t attribute) {
  return attribute != 0 && attribute == data_store.dn_name;
}

// ---- Resolution -------------------------------------------------------------

static void resolve_item(Filter* f) {
  f->attribute_offset = 0;
  f->attribute_flags = 0;
  const uint32_t count = data_store.attribute_count;
  const uint64_t names = data_header_size + uint64_t{data_store.size_of_string_table};
  const uint64_t flags = names + 4 * uint64_t{count};
  if (const int64_t i = find_attribute_nocase(f->attribute); i >= 0) {
    f->attribute_offset = data_word(names + 4 * static_cast<uint64_t>(i));
    f->attribute_flags = data_word(flags + 4 * static_cast<uint64_t>(i));
    return;
  }
  static constexpr char kHead[] = "cannot find attribute \"";
  static constexpr char kTail[] = "\"!\n";
  buf_put(&std_err, kHead, sizeof kHead - 1);
  if (f->attribute.len != 0) buf_put(&std_err, f->attribute.bytes, f->attribute.len);
  buf_put_flush(&std_err, kTail, sizeof kTail - 1);
}

void resolve_filter_attributes(Filter* f) {
  for (; f != nullptr; f = f->next) {
    if (f->choice >= filter_equality && f->choice <= filter_approx) resolve_item(f);
    // extensibleMatch (and anything beyond) is left alone, children included.
    if (f->choice <= filter_approx) resolve_filter_attributes(f->children);
  }
}

// ---- Item tests ---------------------------------------------------------------

// The verdict of an ordering item from r, the assertion value compared with
// the entry's value (negative: the assertion value sorts first).
static bool order_holds(uint32_t choice, int32_t r) {
  if (choice == filter_equality) return r == 0;
  if (choice == filter_greater_or_equal) return r <= 0;
  return r >= 0;
}

// An ordering item against stored values: the comparison is chosen once per
// item, not once per value.
struct stored_value_test {
  counted_str key;
  value_cmp_fn cmp;
  uint32_t choice;

  explicit stored_value_test(const Filter* f)
      : key(f->value),
        cmp((f->attribute_flags & attribute_flag_nocase) != 0 ? cmp_value_nocase : cmp_value),
        choice(f->choice) {}

  bool operator()(const char* s) const { return order_holds(choice, cmp(key, s)); }
};

static bool counted_order_holds(const Filter* f, counted_str v) {
  const int32_t r = (f->attribute_flags & attribute_flag_nocase) != 0
                        ? compare_values_nocase(f->value.bytes, f->value.len, v.bytes, v.len)
                        : compare_values(f->value.bytes, f->value.len, v.bytes, v.len);
  return order_holds(f->choice, r);
}

template <bool Fold>
static bool same_bytes(const unsigned char* a, const unsigned char* b, uint64_t k) {
  if constexpr (Fold) {
    for (uint64_t i = 0; i < k; ++i) {
      if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
  } else {
    return k == 0 || std::memcmp(a, b, k) == 0;
  }
}

template <bool Fold>
static bool occurs_in(const unsigned char* v, uint64_t n, const unsigned char* e, uint64_t k) {
  if (k == 0) return true;
  if constexpr (!Fold) {
    return memmem(v, n, e, k) != nullptr;
  } else {
    const unsigned char first = fold(e[0]);
    for (uint64_t p = 0; p + k <= n; ++p) {
      if (fold(v[p]) == first && same_bytes<true>(v + p + 1, e + 1, k - 1)) return true;
    }
    return false;
  }
}

// Every element of the list is tested against the whole value on its own;
// neither their order nor overlaps between their matches are looked at. An
// empty list holds. The value is its whole content, long-form values with
// NUL bytes included, as the equality and prefix comparisons see it.
template <bool Fold>
static bool substrings_hold(const filter_substring* s, const char* value, uint64_t n) {
  const auto* v = reinterpret_cast<const unsigned char*>(value);
  for (; s != nullptr; s = s->next) {
    if (s->kind > substring_final) continue;
    const uint64_t k = s->value.len;
    if (k > n) return false;
    const auto* e = reinterpret_cast<const unsigned char*>(s->value.bytes);
    bool ok;
    if (s->kind == substring_initial) {
      ok = same_bytes<Fold>(v, e, k);
    } else if (s->kind == substring_final) {
      ok = same_bytes<Fold>(v + (n - k), e, k);
    } else {
      ok = occurs_in<Fold>(v, n, e, k);
    }
    if (!ok) return false;
  }
  return true;
}

static bool counted_substrings_hold(const Filter* f, counted_str v) {
  if ((f->attribute_flags & attribute_flag_nocase) != 0)
    return substrings_hold<true>(f->substrings, v.bytes, v.len);
  return substrings_hold<false>(f->substrings, v.bytes, v.len);
}

template <bool Fold>
struct stored_substrings_test {
  const filter_substring* list;
  bool operator()(const char* s) const {
    return substrings_hold<Fold>(list, stored_str_data(s), stored_str_len(s));
  }
};

// ---- Records ------------------------------------------------------------------

// 1 when some value of attribute a in the record passes the test: the DN
// alone for dn; the fixed objectClass field and then the pairs otherwise.
template <typename Test>
static int record_some_value(uint32_t r, uint32_t a, const Test& test) {
  if (a == 0) return 0;
  const char* base = data_store.base;
  if (a == data_store.dn_name) return test(base + data_word(r + kDnField)) ? 1 : 0;
  if (a == data_store.object_class_name && test(base + data_word(r + kObjectClassField))) return 1;
  const uint64_t end = r + 8 * uint64_t{data_word(r)};
  for (uint64_t p = r + kFirstPair; p < end; p += 8) {
    if (data_word(p) == a && test(base + data_word(p + 4))) return 1;
  }
  return 0;
}

int match_record(uint32_t r, const Filter* f) {
  // A chain of nots is a parity bit over its operand.
  int parity = 0;
  while (f != nullptr && f->choice == filter_not) {
    parity ^= 1;
    f = f->children;
  }
  // A not without operand never comes from the decoder; its missing operand
  // counts as false.
  if (f == nullptr) return parity;

  int result = 0;
  switch (f->choice) {
    case filter_and:
      result = 1;
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_record(r, c) == 0) {
          result = 0;
          break;
        }
      }
      break;
    case filter_or:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_record(r, c) != 0) {
          result = 1;
          break;
        }
      }
      break;
    case filter_equality:
    case filter_greater_or_equal:
    case filter_less_or_equal:
      result = record_some_value(r, f->attribute_offset, stored_value_test(f));
      break;
    case filter_substrings:
      if ((f->attribute_flags & attribute_flag_nocase) != 0) {
        result = record_some_value(r, f->attribute_offset,
                                   stored_substrings_test<true>{f->substrings});
      } else {
        result = record_some_value(r, f->attribute_offset,
                                   stored_substrings_test<false>{f->substrings});
      }
      break;
    case filter_present:
      result = f->attribute_offset != 0 && record_has_attribute(r, f->attribute_offset) != 0;
      break;
    default:
      report_unsupported();
      break;
  }
  return result ^ parity;
}

// ---- Journal entries ----------------------------------------------------------

// 1 when some attribute of the entry named exactly like the description (its
// letter case included) has a value that passes the test.
template <typename Test>
static int journal_some_value(const journal_entry* e, counted_str description, const Test& test) {
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    const journal_attribute& a = e->attributes[i];
    if (cmp_value(description, a.name) == 0 && test(a.value)) return 1;
  }
  return 0;
}

static int journal_has_name(const journal_entry* e, counted_str description) {
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    if (cmp_value(description, e->attributes[i].name) == 0) return 1;
  }
  return 0;
}

template <typename Test>
static int journal_item(const journal_entry* e, const Filter* f, const Test& test) {
  if (names_dn(f->attribute_offset)) return test(e->dn) ? 1 : 0;
  return journal_some_value(e, f->attribute, test);
}

int match_journal_entry(const journal_entry* e, const Filter* f) {
  // A deleted DN matches nothing, under a not as well.
  if (e->attribute_count == 0) return 0;
  if (f == nullptr) return 0;
  switch (f->choice) {
    case filter_and:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_journal_entry(e, c) == 0) return 0;
      }
      return 1;
    case filter_or:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_journal_entry(e, c) != 0) return 1;
      }
      return 0;
    case filter_not:
      return 1 - match_journal_entry(e, f->children);
    case filter_equality:
    case filter_greater_or_equal:
    case filter_less_or_equal:
      return journal_item(e, f, stored_value_test(f));
    case filter_substrings:
      if ((f->attribute_flags & attribute_flag_nocase) != 0)
        return journal_item(e, f, stored_substrings_test<true>{f->substrings});
      return journal_item(e, f, stored_substrings_test<false>{f->substrings});
    case filter_present:
      if (names_dn(f->attribute_offset)) return 1;
      return journal_has_name(e, f->attribute);
    default:
      report_unsupported();
      return 0;
  }
}

// ---- Request entries ----------------------------------------------------------

static bool same_type(counted_str type, counted_str description) {
  return type.len == description.len &&
         (type.len == 0 || std::memcmp(type.bytes, description.bytes, type.len) == 0);
}

// The item against the entry's DN, or against the values of the first
// attribute whose type is spelled exactly like the description.
static int request_item(const request_entry* q, const Filter* f) {
  const bool order = is_order_item(f->choice);
  if (names_dn(f->attribute_offset))
    return (order ? counted_order_holds(f, q->dn) : counted_substrings_hold(f, q->dn)) ? 1 : 0;
  for (const request_attribute* a = q->attributes; a != nullptr; a = a->next) {
    if (!same_type(a->type, f->attribute)) continue;
    for (const string_node* v = a->vals; v != nullptr; v = v->next) {
      if (order ? counted_order_holds(f, v->str) : counted_substrings_hold(f, v->str)) return 1;
    }
    return 0;
  }
  return 0;
}

int match_request_entry(const request_entry* q, const Filter* f) {
  if (f == nullptr) return 0;
  switch (f->choice) {
    case filter_and:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_request_entry(q, c) == 0) return 0;
      }
      return 1;
    case filter_or:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (match_request_entry(q, c) != 0) return 1;
      }
      return 0;
    case filter_not:
      return 1 - match_request_entry(q, f->children);
    case filter_equality:
    case filter_greater_or_equal:
    case filter_less_or_equal:
    case filter_substrings:
      return request_item(q, f);
    case filter_present:
      for (const request_attribute* a = q->attributes; a != nullptr; a = a->next) {
        if (same_type(a->type, f->attribute)) return 1;
      }
      return 0;
    default:
      report_unsupported();
      return 0;
  }
}

// ---- Search scope -------------------------------------------------------------

// The index of the next byte to take going backwards from i (> 0): spaces
// are passed over, except the string's first byte, which is always taken.
static uint64_t previous_byte(const unsigned char* s, uint64_t i) {
  do {
    --i;
  } while (i > 0 && s[i] == ' ');
  return i;
}

int dn_suffix_match(counted_str base, counted_str dn) {
  if (dn.len == 0) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(base.bytes);
  const auto* d = reinterpret_cast<const unsigned char*>(dn.bytes);
  uint64_t i = base.len;
  uint64_t j = dn.len;
  while (i > 0) {
    // The DN ran out while the base still has bytes to match: it cannot end
    // with the base.
    if (j == 0) return 0;
    i = previous_byte(b, i);
    j = previous_byte(d, j);
    if (fold(b[i]) != fold(d[j])) return 0;
  }
  return 1;
}

// baseObject and scope for an entry whose DN reads as text (empty for a
// long-form string) and whose DN content has length len.
static bool in_scope(const search_request* q, counted_str text, const char* content,
                     uint64_t len) {
  const uint64_t b = q->baseObject.len;
  if (len < b) return false;
  if (b > 0 && dn_suffix_match(q->baseObject, text) == 0) return false;
  if (q->scope == scope_whole_subtree) return true;
  if (q->scope == scope_base_object) return len == b;
  // singleLevel: the first RDN and one separator of up to two bytes must
  // cover everything in front of the base; the base entry itself passes.
  const void* comma = len != 0 ? std::memchr(content, ',', len) : nullptr;
  const uint64_t c = comma != nullptr ? static_cast<uint64_t>(static_cast<const char*>(comma) - content)
                                      : len;
  return c + 2 >= len - b;
}

int record_in_scope(uint32_t record, const search_request* r) {
  const char* dn = data_store.base + data_word(record + kDnField);
  const uint64_t len = cstr_length(dn);
  return in_scope(r, counted_str{len, dn}, dn, len) ? 1 : 0;
}

int record_matches_search(uint32_t record, const search_request* r) {
  if (record_in_scope(record, r) == 0) return 0;
  return match_record(record, r->filter);
}

int journal_matches_search(const journal_entry* e, const search_request* q) {
  const char* dn = e->dn;
  const uint64_t len = stored_str_len(dn);
  const counted_str text = dn[0] != '\0' ? counted_str{len, dn} : counted_str{0, dn};
  if (!in_scope(q, text, stored_str_data(dn), len)) return 0;
  return match_journal_entry(e, q->filter);
}
