// Access control lists: the loader of the ACL block, the process-wide ACL
// state with its subject and target caches, and the checks.
//
// The store's check of the data file stops at the ACL block, so the loader
// is the only reader that validates it: every count, offset and string it
// follows is checked against the file before it is read, and a check that
// fails ends the process. Everything the checks read afterwards (filter
// indices, name strings) is known to lie inside the file.
//
// The filter trees are decoded from the mapped file and point into it, so
// they are rebuilt by every load; the state of the previous load is
// released only after the new one is complete (its trees point into the
// old, already unmapped file and are freed without being read).
#include "query/acl.h"

#include <cstdlib>
#include <cstring>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/match.h"
#include "store/data_file.h"

acl_filter* acl_filters = nullptr;
uint32_t acl_filter_count = 0;
acl_entry* acl_entries = nullptr;
uint32_t acl_entry_count = 0;
uint32_t any_attribute = 0;
uint8_t* subject_bytes = nullptr;
uint8_t* target_bytes = nullptr;

uint32_t bound_record = 0;
const char* bound_dn = nullptr;

namespace {

// Target byte values.
constexpr uint8_t target_unknown = 0;
constexpr uint8_t target_applies = 1;
constexpr uint8_t target_does_not_apply = 255;

// One load's worth of ACL state, built aside and then installed.
struct acl_state {
  acl_filter* filters = nullptr;
  uint32_t filter_count = 0;  // filters built so far (and to be freed)
  acl_entry* entries = nullptr;
  uint32_t entry_count = 0;  // entries built so far
  uint32_t any = 0;
  uint8_t* subjects = nullptr;
  uint8_t* targets = nullptr;
};

void release(acl_state* s) {
  for (uint32_t i = 0; i < s->filter_count; ++i) free_filter(s->filters[i].tree);
  for (uint32_t j = 0; j < s->entry_count; ++j) std::free(s->entries[j].names);
  std::free(s->filters);
  std::free(s->entries);
  std::free(s->subjects);
  std::free(s->targets);
  *s = acl_state{};
}

// A malformed block (or no memory to hold it). What was built is freed
// first, so that the process ends without anything left allocated.
[[noreturn]] void broken(acl_state* s) {
  release(s);
  static constexpr char text[] = "broken data file!\n";
  buf_put_flush(&std_out, text, sizeof text - 1);
  exit(1);
}

// Zero-filled room for n items; never null for n = 0, so that null
// always means out of memory.
template <typename T>
T* allocate(acl_state* s, uint64_t n) {
  void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
  if (p == nullptr) broken(s);
  return static_cast<T*>(p);
}

// The word at off, which must lie whole inside the file.
uint32_t word_at(acl_state* s, uint64_t off) {
  const data_view v{data_store.base, data_store.size};
  uint32_t w;
  if (!view_word(&v, off, &w)) broken(s);
  return w;
}

uint16_t half_at(uint64_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(data_store.base + off);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool bytes_at(uint64_t off, const char* text, uint64_t n) {
  return data_store.size - off >= n && std::memcmp(data_store.base + off, text, n) == 0;
}

// Filter i, from its offset o in the block's table.
void load_filter(acl_state* s, uint64_t block, uint32_t o) {
  const uint64_t size = data_store.size;
  if (o < block + 12 || o > size) broken(s);
  acl_filter& f = s->filters[s->filter_count];
  if (bytes_at(o, "self", 4)) {
    f.kind = acl_filter_self;
  } else if (bytes_at(o, "*", 2)) {  // "*" and its NUL
    f.kind = acl_filter_any;
  } else {
    f.kind = acl_filter_tree;
    if (ldap_decode_filter(data_store.base + o, data_store.base + size, &f.tree) == 0) broken(s);
    resolve_filter_attributes(f.tree);
  }
  ++s->filter_count;
}

// Entry j at offset a: its filter indices must name filters of the table,
// and each name must be a whole string of the file stored before it.
void load_entry(acl_state* s, uint32_t a) {
  const uint64_t size = data_store.size;
  if (a > size || size - a < 16) broken(s);
  const data_view v{data_store.base, size};
  acl_entry& e = s->entries[s->entry_count];
  e.subject = data_word(a);
  e.target = data_word(a + 4);
  e.grant = half_at(a + 8);
  e.deny = half_at(a + 10);
  if (e.subject >= s->filter_count || e.target >= s->filter_count) broken(s);
  uint64_t count = 0;
  for (uint64_t p = static_cast<uint64_t>(a) + 12; size - p >= 4; p += 4) {
    const uint32_t name = data_word(p);
    if (name == 0) break;
    if (name > p || !view_stored_str(&v, name)) broken(s);
    ++count;
  }
  e.names = allocate<uint32_t>(s, count);
  ++s->entry_count;  // from here on release() frees the names
  e.name_count = static_cast<uint32_t>(count);
  for (uint64_t k = 0; k < count; ++k) {
    const uint32_t name = data_word(uint64_t{a} + 12 + 4 * k);
    e.names[k] = name;
    if (s->any == 0 && bytes_at(name, "*", 2)) s->any = name;
  }
}

void build(acl_state* s, uint64_t block) {
  const uint64_t size = data_store.size;
  const uint64_t f_count = word_at(s, block + 8);
  const uint64_t table = block + 12;
  // The table and the word behind it (the list offset) lie in the file,
  // and the table's end is a 32-bit offset.
  if (table + 4 * f_count + 1 > UINT32_MAX || table + 4 * f_count + 4 > size) broken(s);
  s->filters = allocate<acl_filter>(s, f_count);
  s->subjects = allocate<uint8_t>(s, f_count);
  s->targets = allocate<uint8_t>(s, f_count);
  for (uint64_t i = 0; i < f_count; ++i) load_filter(s, block, data_word(table + 4 * i));

  const uint64_t list = data_word(table + 4 * f_count);
  if (list < table || list > size - 4) broken(s);
  const uint64_t a_count = data_word(list);
  if ((size - list - 4) / 4 < a_count) broken(s);
  s->entries = allocate<acl_entry>(s, a_count);
  for (uint64_t j = 0; j < a_count; ++j) load_entry(s, data_word(list + 4 + 4 * j));

  for (uint32_t i = 0; i < s->filter_count; ++i)
    s->subjects[i] = s->filters[i].kind == acl_filter_any ? 1 : 0;
}

// ---- Attribute names -----------------------------------------------------------

// Whether the name stored at offset `name` (an ACL entry's) and the
// description (bytes, length) name the same attribute type. The matchers
// find values by the type in every spelling a client may send, so a
// narrower comparison here would let a filter select entries by values
// that the ACLs are meant to hide.
bool same_type(uint32_t name, const char* bytes, uint64_t len) {
  const char* text = data_store.base + name;
  const char* a = stored_str_data(text);
  const uint64_t a_len = attribute_type_length(a, stored_str_len(text));
  return a_len == attribute_type_length(bytes, len) &&
         compare_bytes_nocase(a, a_len, bytes) == 0;
}

// The same for two names of the file; equal offsets are the common case
// and cost no comparison.
bool same_type(uint32_t name, uint32_t attribute) {
  if (name == attribute) return true;
  if (attribute == 0) return false;
  const char* text = data_store.base + attribute;
  return same_type(name, stored_str_data(text), stored_str_len(text));
}

// ---- Target decisions --------------------------------------------------------

bool same_text(const char* text, const char* bytes, uint64_t len) {
  return cstr_length(text) == len && compare_bytes(text, len, bytes) == 0;
}

bool self_is_record(uint32_t r) {
  if (bound_record != 0) return bound_record == r;
  return bound_dn != nullptr &&
         compare_text(data_store.base + data_word(uint64_t{r} + 8), bound_dn) == 0;
}

// Whether the target filter applies to record r, or for r = 0 to the
// request entry q.
bool target_applies_to(const acl_filter& f, uint32_t r, const request_entry* q) {
  switch (f.kind) {
    case acl_filter_any:
      return true;
    case acl_filter_self:
      if (r != 0) return self_is_record(r);
      return q != nullptr && bound_dn != nullptr && same_text(bound_dn, q->dn.bytes, q->dn.len);
    case acl_filter_tree:
      if (r != 0) return match_record(r, f.tree) != 0;
      return q != nullptr && match_request_entry(q, f.tree) != 0;
  }
  return false;
}

bool target_applies_to_journal(const acl_filter& f, const journal_entry* e) {
  switch (f.kind) {
    case acl_filter_any:
      return true;
    case acl_filter_self:
      return bound_dn != nullptr &&
             same_text(bound_dn, stored_str_data(e->dn), stored_str_len(e->dn));
    case acl_filter_tree:
      return match_journal_entry(e, f.tree) != 0;
  }
  return false;
}

// The target byte of an entry's target filter, decided now when unknown.
template <typename Decide>
bool target_holds(const acl_entry& e, Decide decide) {
  uint8_t& t = target_bytes[e.target];
  if (t == target_unknown)
    t = decide(acl_filters[e.target]) ? target_applies : target_does_not_apply;
  return t == target_applies;
}

}  // namespace

void load_acl_block(uint32_t block) {
  acl_state fresh;
  if (block != 0) build(&fresh, block);
  acl_state old{acl_filters,   acl_filter_count, acl_entries, acl_entry_count,
                any_attribute, subject_bytes,    target_bytes};
  acl_filters = fresh.filters;
  acl_filter_count = fresh.filter_count;
  acl_entries = fresh.entries;
  acl_entry_count = fresh.entry_count;
  any_attribute = fresh.any;
  subject_bytes = fresh.subjects;
  target_bytes = fresh.targets;
  release(&old);
}

void acl_clear_targets() {
  if (acl_filter_count != 0) std::memset(target_bytes, 0, acl_filter_count);
}

void acl_refresh_subjects(const journal_entry* bound_entry) {
  if (acl_entry_count == 0) return;
  for (uint32_t i = 0; i < acl_filter_count; ++i)
    subject_bytes[i] = acl_filters[i].kind == acl_filter_any ? 1 : 0;
  // Each subject filter is matched once, however many entries share it:
  // 2 marks one matched that does not apply, until the end.
  constexpr uint8_t matched_no = 2;
  for (uint32_t j = 0; j < acl_entry_count; ++j) {
    const uint32_t s = acl_entries[j].subject;
    if (subject_bytes[s] != 0 || acl_filters[s].kind != acl_filter_tree) continue;
    int result = 0;
    if (bound_record != 0) {
      result = match_record(bound_record, acl_filters[s].tree);
    } else if (bound_entry != nullptr) {
      result = match_journal_entry(bound_entry, acl_filters[s].tree);
    }
    subject_bytes[s] = result != 0 ? 1 : matched_no;
  }
  for (uint32_t i = 0; i < acl_filter_count; ++i)
    if (subject_bytes[i] == matched_no) subject_bytes[i] = 0;
}

int acl_check(uint32_t record, uint32_t attribute, uint16_t right, const request_entry* q) {
  for (uint32_t j = 0; j < acl_entry_count; ++j) {
    const acl_entry& e = acl_entries[j];
    if (subject_bytes[e.subject] == 0) continue;
    if (((e.grant | e.deny) & right) == 0) continue;
    if (!target_holds(e, [&](const acl_filter& f) { return target_applies_to(f, record, q); }))
      continue;
    for (uint32_t k = 0; k < e.name_count; ++k) {
      if (e.names[k] == any_attribute || same_type(e.names[k], attribute))
        return (e.grant & right) != 0 ? 1 : -1;
    }
  }
  return 0;
}

int acl_check_journal_attribute(const journal_entry* entry, const char* name, uint64_t name_len,
                                uint16_t right) {
  for (uint32_t j = 0; j < acl_entry_count; ++j) {
    const acl_entry& e = acl_entries[j];
    if (subject_bytes[e.subject] == 0 || ((e.grant | e.deny) & right) == 0) continue;
    if (!target_holds(e, [&](const acl_filter& f) { return target_applies_to_journal(f, entry); }))
      continue;
    for (uint32_t k = 0; k < e.name_count; ++k) {
      if (e.names[k] == any_attribute || same_type(e.names[k], name, name_len))
        return (e.grant & right) != 0 ? 1 : -1;
    }
  }
  return 0;
}

int acl_check_journal(const journal_entry* entry, const char* name, uint64_t name_len) {
  return acl_check_journal_attribute(entry, name, name_len, acl_read);
}

int acl_check_journal_entry(const journal_entry* entry, uint16_t right) {
  for (uint32_t j = 0; j < acl_entry_count; ++j) {
    const acl_entry& e = acl_entries[j];
    if (subject_bytes[e.subject] == 0 || ((e.grant | e.deny) & right) == 0) continue;
    if (!target_holds(e, [&](const acl_filter& f) { return target_applies_to_journal(f, entry); }))
      continue;
    for (uint32_t k = 0; k < e.name_count; ++k) {
      if (e.names[k] == 0 || e.names[k] == any_attribute) return (e.grant & right) != 0 ? 1 : -1;
    }
  }
  return 0;
}
