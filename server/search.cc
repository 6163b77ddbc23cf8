// The search operation: answers a SearchRequest from the data file as the
// journal changes it, in two passes.
//
// The data-file pass visits the candidates the indexes propose (or every
// record when the filter cannot be answered from them), tests each against
// baseObject, scope and filter, and answers a match with the record; a
// record whose DN the journal shadows is tested and answered through its
// journal entry instead. The journal pass then answers, in journal order,
// the matching journal entries the first pass has not dealt with. Each
// entry leaves as its own LDAPMessage, written at once, so memory does not
// grow with the number of results; SearchResultDone ends the answer.
//
// This runs for every read the server serves, so the per-entry path
// allocates nothing in the usual case: the attribute and value nodes of an
// entry and its encoding live on the stack, and only an entry too large for
// those arrays moves them to the heap for the time it is sent. Everything
// that depends on the request alone (the requested names, resolved against
// the attribute table) is worked out once per request.
#include "codec/search.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/ber.h"
#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/acl.h"
#include "query/index_eval.h"
#include "query/match.h"
#include "query/set_pool.h"
#include "server/operations.h"
#include "server/root_dse.h"
#include "store/candidate_set.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"

namespace {

// Record layout: pair count, reserved word, DN, first objectClass value,
// then (attribute, value) pairs of 8 bytes each.
constexpr uint64_t kDnField = 8;
constexpr uint64_t kObjectClassField = 12;
constexpr uint64_t kFirstPair = 16;

// The largest encoded entry that is sent; anything larger is left out.
constexpr uint64_t kMaxEntrySize = 1'048'576;
// An all-attributes answer lists the whole attribute table (records) or
// every distinct name of the entry (journal); beyond these sizes nothing
// is listed.
constexpr uint32_t kMaxTableNames = 32'768;
constexpr uint64_t kMaxJournalNames = 32'768;

// A search whose data-file pass stopped at sizeLimit tells the client so:
// success would claim the answer is complete when entries were left out.
constexpr uint64_t kSizeLimitExceeded = 4;

[[noreturn]] void out_of_memory() {
  static constexpr char kText[] = "out of virtual memory!\n";
  buf_put_flush(&std_err, kText, sizeof kText - 1);
  exit(1);
}

void put(const char* bytes, uint64_t n) {
  if (n != 0) buf_put(&std_err, bytes, n);
}

void put(counted_str s) { put(s.bytes, s.len); }

template <uint64_t N>
void put_literal(const char (&text)[N]) {
  buf_put(&std_err, text, N - 1);
}

bool equals_literal(counted_str s, const char* text) {
  const uint64_t n = cstr_length(text);
  return s.len == n && (n == 0 || std::memcmp(s.bytes, text, n) == 0);
}

counted_str stored_content(const char* s) {
  return counted_str{stored_str_len(s), stored_str_data(s)};
}

// An array that lives in the caller's frame up to N elements and moves to
// the heap when it outgrows them. Elements are plain records: growing moves
// them bytewise, so nothing may point into the array until it is complete.
template <typename T, uint64_t N>
struct small_array {
  T local[N];
  T* items = local;
  uint64_t count = 0;
  uint64_t capacity = N;

  // local is left uninitialised on purpose: it can be large, and only the
  // first count elements, which the caller fills through push, are read.
  // cppcheck-suppress uninitMemberVar
  small_array() = default;
  small_array(const small_array&) = delete;
  small_array& operator=(const small_array&) = delete;
  ~small_array() {
    if (items != local) std::free(items);
  }

  T* push() {
    if (count == capacity) grow(count + 1);
    return &items[count++];
  }

  // Makes room for n elements in all (the contents are kept).
  void reserve(uint64_t n) {
    if (n > capacity) grow(n);
  }

  void grow(uint64_t n) {
    uint64_t want = capacity * 2;
    if (want < n) want = n;
    if (want > UINT64_MAX / sizeof(T)) out_of_memory();
    T* p;
    if (items == local) {
      p = static_cast<T*>(std::malloc(want * sizeof(T)));
      if (p != nullptr) std::memcpy(p, local, count * sizeof(T));
    } else {
      p = static_cast<T*>(std::realloc(items, want * sizeof(T)));
    }
    if (p == nullptr) out_of_memory();
    items = p;
    capacity = want;
  }
};

// One bit of a 64-bit summary per attribute name offset. A record's summary
// ORs the bits of its pairs' attributes, so a name whose bit is missing
// certainly has no pair in the record and is passed over without a scan.
uint64_t attribute_bit(uint32_t attribute) {
  return uint64_t{1} << ((attribute * 0x9E3779B1u) >> 26);
}

enum name_kind : uint8_t { name_other, name_dn, name_object_class };

// One name to answer for records, resolved once per request.
struct answer_name {
  counted_str type;    // as requested, or the attribute table's name
  uint32_t attribute;  // name offset in the attribute table, 0 when unknown
  name_kind kind;      // the exact names "dn" and "objectClass" take the
                       // record's own DN and first objectClass value
  uint64_t bit;        // attribute_bit of attribute
};

// Which journal entries the search in progress has already dealt with,
// kept aside by their creation sequence. The marks belong to the search,
// not to the entries: a connection's process shares the journal's pages
// with the listening process until it writes to them, and a mark written
// into every entry would copy the whole journal into each connection.
// The bits are allocated when the first entry is marked, so a search that
// meets no journal replacement allocates nothing.
struct search_marks {
  uint64_t* words = nullptr;  // bit s % 64 of word s / 64: sequence s is marked
  uint64_t word_count = 0;
  // An entry the data-file pass found matching and visible when it had
  // reached sizeLimit: the unlimited journal pass sends it, untested.
  const journal_entry* held_over = nullptr;

  search_marks() = default;
  search_marks(const search_marks&) = delete;
  search_marks& operator=(const search_marks&) = delete;
  ~search_marks() { std::free(words); }

  bool marked(const journal_entry* e) const {
    const uint64_t w = e->sequence / 64;
    return w < word_count && (words[w] >> (e->sequence % 64) & 1) != 0;
  }
  // Bounded by the journal: a sequence is below the number of entries
  // ever created, so the bits never outgrow one per entry (doubled).
  void mark(const journal_entry* e) {
    const uint64_t w = e->sequence / 64;
    if (w >= word_count) {
      uint64_t want = word_count * 2;
      if (want <= w) want = w + 1;
      if (want > UINT64_MAX / sizeof(uint64_t)) out_of_memory();
      auto* p = static_cast<uint64_t*>(std::realloc(words, want * sizeof(uint64_t)));
      if (p == nullptr) out_of_memory();
      std::memset(p + word_count, 0, (want - word_count) * sizeof(uint64_t));
      words = p;
      word_count = want;
    }
    words[w] |= uint64_t{1} << (e->sequence % 64);
  }
};

// Simple paged results (RFC 2696): the page of the answer this request
// sends. The cookie handed to the client is self-contained (where the page
// ends, and a fingerprint of the request and of the data it was answered
// from), so the server keeps no state between pages.
struct page_state {
  bool active = false;
  uint64_t first = 0;  // entries of the earlier pages: where this page starts
  uint64_t skip = 0;   // of those, still to pass over
  uint64_t size = 0;   // entries this page may hold
  uint64_t sent = 0;   // entries this page holds so far
  bool more = false;   // an entry beyond this page was found

  // Whether the entry found next goes into this page.
  bool take() {
    if (!active) return true;
    if (skip > 0) {
      --skip;
      return false;
    }
    if (sent == size) {
      more = true;
      return false;
    }
    ++sent;
    return true;
  }
};

// What every answer of one request shares.
struct search_context {
  const search_request* request;
  int64_t message_id;
  int fd;
  bool acl;                  // the data file has ACL entries: check every read
  bool all_attributes;       // no names requested (or "*"): every attribute
  bool records_hidden;       // all attributes of a table too large to list:
                             // records are not sent at all
  const answer_name* names;  // the names for records, in answer order
  uint64_t name_count;
  counted_str dn_name_text;  // the attribute table's text of "dn"
  search_marks* marks;       // the journal entries this search has dealt with
  page_state* page;          // the page being sent, when the client pages
};

// The attributes of the entry being sent. Values are appended attribute by
// attribute, so each attribute's values are a run of `values`; the lists
// the encoder walks are linked only once everything is in place.
struct entry_builder {
  small_array<partial_attribute, 64> attributes;
  small_array<uint64_t, 64> value_ends;  // per attribute: end of its run of values
  small_array<string_node, 256> values;

  void add_value(counted_str v) {
    string_node* n = values.push();
    n->str = v;
    n->attribute_offset = 0;
    n->next = nullptr;
  }
  // Ends the attribute whose values were added since the previous one.
  void end_attribute(counted_str type) {
    partial_attribute* a = attributes.push();
    a->type = type;
    a->vals = nullptr;
    a->next = nullptr;
    *value_ends.push() = values.count;
  }
  // Links the nodes; nothing may be added afterwards.
  partial_attribute* link() {
    uint64_t start = 0;
    for (uint64_t i = 0; i < attributes.count; ++i) {
      const uint64_t end = value_ends.items[i];
      for (uint64_t j = start; j + 1 < end; ++j) values.items[j].next = &values.items[j + 1];
      attributes.items[i].vals = &values.items[start];
      if (i + 1 < attributes.count) attributes.items[i].next = &attributes.items[i + 1];
      start = end;
    }
    return attributes.count != 0 ? attributes.items : nullptr;
  }
};

// The answer to a search is gathered here and goes out with as few writes
// as it takes: a search answered with one entry and its SearchResultDone
// (the common case) is one write, and so one TCP segment. An entry that
// does not fit what is left is preceded by a write of what is gathered.
char answer_bytes[16384];
uint64_t answer_used;

// Writes every gathered byte. A peer that is gone is noticed by the
// connection's next read, so failures end the writing and nothing more.
void flush_answer(int fd) {
  uint64_t done = 0;
  while (done < answer_used) {
    const ssize_t n = write(fd, answer_bytes + done, answer_used - done);
    if (n > 0) {
      done += static_cast<uint64_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  answer_used = 0;
}

// Encodes the entry with the LDAPMessage header in front into the answer,
// unless its encoding reaches `too_large` bytes. An entry larger than the
// answer area is written on its own with one write.
void send_entry(const search_context* ctx, counted_str dn, entry_builder* b, uint64_t too_large) {
  search_entry entry{dn, b->link()};
  const uint64_t size = ldap_encode_search_entry(nullptr, &entry);
  if (size >= too_large) return;
  if (trace_enabled) {
    put_literal("sre len ");
    buf_put_decimal(&std_err, size);
    buf_put_flush(&std_err, ".\n", 2);
  }
  const uint64_t header = ldap_encode_message_header(
      nullptr, static_cast<uint64_t>(ctx->message_id), ldap_search_result_entry, size);
  const uint64_t total = header + size;
  if (total > sizeof answer_bytes - answer_used) flush_answer(ctx->fd);
  char* buf = answer_bytes + answer_used;
  // An entry larger than the whole buffer is encoded on the heap and
  // written at once.
  const bool on_heap = total > sizeof answer_bytes;
  if (on_heap) {
    buf = static_cast<char*>(std::malloc(total));
    if (buf == nullptr) out_of_memory();
  }
  ldap_encode_message_header(buf, static_cast<uint64_t>(ctx->message_id), ldap_search_result_entry,
                             size);
  ldap_encode_search_entry(buf + header, &entry);
  if (on_heap) {
    // A peer that is gone is noticed by the connection's next read.
    const ssize_t ignored = write(ctx->fd, buf, total);
    static_cast<void>(ignored);
    std::free(buf);
    return;
  }
  answer_used += total;
}

// ---- Journal entries ------------------------------------------------------------

// The values of name s in e: for the exact name "dn" the entry's DN first,
// then every attribute whose name is exactly s, in order.
void add_journal_attribute(const search_context* ctx, const journal_entry* e, counted_str s,
                           entry_builder* b) {
  const uint64_t first = b->values.count;
  if (equals_literal(s, "dn")) b->add_value(stored_content(e->dn));
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    if (cmp_value(s, e->attributes[i].name) == 0)
      b->add_value(stored_content(e->attributes[i].value));
  }
  if (b->values.count == first) return;
  // Access is asked only for names the entry has: the answer depends on
  // the entry and the name alone, so asking less often changes nothing.
  if (ctx->acl && acl_check_journal(e, s.bytes, s.len) != 1) {
    b->values.count = first;
    return;
  }
  b->end_attribute(s);
}

void send_journal_entry(const search_context* ctx, const journal_entry* e) {
  // An entry without attributes is a deleted DN.
  if (e->attribute_count == 0) return;
  if (ctx->acl) {
    acl_clear_targets();
    if (acl_check_journal(e, ctx->dn_name_text.bytes, ctx->dn_name_text.len) != 1) return;
  }
  entry_builder b;
  if (!ctx->all_attributes) {
    for (const string_node* s = ctx->request->attributes; s != nullptr; s = s->next)
      add_journal_attribute(ctx, e, s->str, &b);
  } else if (e->attribute_count < kMaxJournalNames) {
    // Every distinct name, in the order of its first appearance.
    for (uint64_t i = 0; i < e->attribute_count; ++i) {
      const char* name = e->attributes[i].name;
      bool seen = false;
      for (uint64_t j = 0; j < i && !seen; ++j) {
        const char* other = e->attributes[j].name;
        seen = other == name || compare_text(other, name) == 0;
      }
      if (!seen) add_journal_attribute(ctx, e, stored_content(name), &b);
    }
  }
  send_entry(ctx, stored_content(e->dn), &b, kMaxEntrySize);
}

// ---- Data-file records ----------------------------------------------------------

void trace_record(uint32_t r) {
  const char* base = data_store.base;
  const uint32_t pairs = data_word(r);
  buf_put_decimal(&std_err, pairs);
  put_literal(" attributes:\n  dn: ");
  buf_put_str(&std_err, base + data_word(r + kDnField));
  put_literal("\n  objectClass: ");
  buf_put_str(&std_err, base + data_word(r + kObjectClassField));
  put_literal("\n");
  const uint64_t end = r + uint64_t{8} * pairs;
  for (uint64_t p = r + kFirstPair; p < end; p += 8) {
    put_literal("  ");
    buf_put_str(&std_err, base + data_word(p));
    put_literal(": ");
    buf_put_str(&std_err, base + data_word(p + 4));
    put_literal("\n");
  }
  buf_flush(&std_err);
}

// The journal entry that shadows the record's DN, or null.
journal_entry* shadowing_entry(const char* dn) { return journal_find(stored_content(dn)); }

// REQUIRES: no journal entry shadows r (the data-file pass answers those
// with the entry).
void send_record(const search_context* ctx, uint32_t r) {
  const char* base = data_store.base;
  const char* dn = base + data_word(r + kDnField);
  if (trace_enabled) trace_record(r);
  if (ctx->acl) {
    acl_clear_targets();
    if (acl_check(r, data_store.dn_name, acl_read, nullptr) != 1) return;
  }
  if (ctx->records_hidden) return;

  const uint64_t pairs_end = r + uint64_t{8} * data_word(r);
  uint64_t summary = 0;
  for (uint64_t p = r + kFirstPair; p < pairs_end; p += 8) summary |= attribute_bit(data_word(p));

  entry_builder b;
  for (uint64_t i = 0; i < ctx->name_count; ++i) {
    const answer_name& s = ctx->names[i];
    if (s.kind == name_other && (summary & s.bit) == 0) continue;
    const uint64_t first = b.values.count;
    if (s.kind == name_dn) b.add_value(stored_content(dn));
    if (s.kind == name_object_class)
      b.add_value(stored_content(base + data_word(r + kObjectClassField)));
    for (uint64_t p = r + kFirstPair; p < pairs_end; p += 8) {
      if (data_word(p) == s.attribute) b.add_value(stored_content(base + data_word(p + 4)));
    }
    if (b.values.count == first) continue;  // not in this entry
    // As for journal entries, access is asked only for what is there.
    if (ctx->acl && acl_check(r, s.attribute, acl_read, nullptr) != 1) {
      b.values.count = first;
      continue;
    }
    b.end_attribute(s.type);
  }
  send_entry(ctx, stored_content(dn), &b, kMaxEntrySize + 1);
}

// ---- What the client is shown ---------------------------------------------------

// Whether readable(node) holds for every attribute item of the filter. An
// entry selected by a filter on an attribute the client may not read
// would tell, one search at a time, what that attribute holds; such an
// entry is treated as not matching. (Nesting is bounded by the decoder.)
template <typename Readable>
bool filter_readable(const Filter* f, const Readable& readable) {
  if (f->choice == filter_and || f->choice == filter_or || f->choice == filter_not) {
    for (const Filter* c = f->children; c != nullptr; c = c->next) {
      if (!filter_readable(c, readable)) return false;
    }
    return true;
  }
  return readable(f);
}

// Whether a journal entry that matched is shown to the client: it is not
// a deleted DN, and the client may read it and every attribute the filter
// names in it. Entries not shown count towards no size limit.
bool journal_visible(const search_context* ctx, const journal_entry* e) {
  if (e->attribute_count == 0) return false;
  if (!ctx->acl) return true;
  acl_clear_targets();
  if (acl_check_journal(e, ctx->dn_name_text.bytes, ctx->dn_name_text.len) != 1) return false;
  return filter_readable(ctx->request->filter, [e](const Filter* f) {
    return acl_check_journal(e, f->attribute.bytes, f->attribute.len) == 1;
  });
}

// The same for a record that matched and that no journal entry shadows.
// An attribute the table does not name is in no record, so a filter on it
// tells nothing; one it names is decided by its type, as the ACLs compare
// names (userPassword;binary and USERPASSWORD are userPassword).
bool record_visible(const search_context* ctx, uint32_t r) {
  if (!ctx->acl) return true;
  acl_clear_targets();
  if (acl_check(r, data_store.dn_name, acl_read, nullptr) != 1) return false;
  return filter_readable(ctx->request->filter, [r](const Filter* f) {
    return f->attribute_offset == 0 || acl_check(r, f->attribute_offset, acl_read, nullptr) == 1;
  });
}

// ---- The request ------------------------------------------------------------------

void trace_request(const search_request* q) {
  static const char* const kScopes[] = {"baseObject", "singleLevel", "wholeSubtree"};
  static const char* const kDerefs[] = {"neverDerefAliases", "derefInSearching",
                                        "derefFindingBaseObj", "derefAlways"};
  put_literal("search request: baseObject \"");
  put(q->baseObject);
  put_literal("\", scope ");
  buf_put_str(&std_err, kScopes[q->scope]);
  put_literal(", ");
  buf_put_str(&std_err, kDerefs[q->derefAliases]);
  put_literal("\nsize limit ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(q->sizeLimit));
  put_literal(", time limit ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(q->timeLimit));
  put_literal("\n");
  trace_filter(q->filter);
  put_literal("attributes: ");
  for (const string_node* s = q->attributes; s != nullptr; s = s->next) {
    if (s != q->attributes) put_literal(",");
    put(s->str);
  }
  buf_put_flush(&std_err, "\n\n", 2);
}

bool is_all_attributes(counted_str s) { return equals_literal(s, "*"); }

// Offset of the attribute table's names and its number of entries.
uint64_t table_names() { return data_header_size + uint64_t{data_store.size_of_string_table}; }

// Sets each requested description's attribute_offset to the first table
// name equal to it without regard to case; reports those that name none.
// "*" asks for every attribute and names none by design.
void resolve_requested(search_request* q) {
  const uint64_t names = table_names();
  for (string_node* s = q->attributes; s != nullptr; s = s->next) {
    s->attribute_offset = 0;
    if (is_all_attributes(s->str)) continue;
    if (const int64_t i = find_attribute_nocase(s->str); i >= 0)
      s->attribute_offset = data_word(names + uint64_t{4} * static_cast<uint64_t>(i));
    if (s->attribute_offset == 0) {
      put_literal("cannot find attribute \"");
      put(s->str);
      buf_put_flush(&std_err, "\"!\n", 3);
    }
  }
}

answer_name make_name(counted_str type, uint32_t attribute) {
  name_kind kind = name_other;
  if (equals_literal(type, "dn"))
    kind = name_dn;
  else if (equals_literal(type, "objectClass"))
    kind = name_object_class;
  return answer_name{type, attribute, kind, attribute_bit(attribute)};
}

// The names answered for records: the requested ones in request order, or
// for all attributes every table entry but the first (the DN's), in table
// order. A table of only dn and objectClass gives none.
void collect_record_names(const search_request* q, bool all, small_array<answer_name, 64>* out) {
  if (!all) {
    for (const string_node* s = q->attributes; s != nullptr; s = s->next)
      *out->push() = make_name(s->str, s->attribute_offset);
    return;
  }
  const uint32_t count = data_store.attribute_count;
  if (count < 3 || count > kMaxTableNames) return;
  out->reserve(count - 1);
  const uint64_t names = table_names();
  for (uint32_t i = 1; i < count; ++i) {
    const uint32_t name = data_word(names + uint64_t{4} * i);
    const char* text = data_store.base + name;
    *out->push() = make_name(counted_str{cstr_length(text), text}, name);
  }
}

// The data-file pass over its candidates, in order, counting what it
// answers against sizeLimit.
struct data_file_answers {
  const search_context* ctx;
  const search_request* q;
  uint64_t limit;
  uint64_t n = 0;

  // Answers record r if it matches and is visible; false when that would
  // exceed sizeLimit, which ends the pass.
  //
  // A record whose DN has a journal entry is matched through that entry
  // only: the record's values are what the entry held before it changed,
  // and they must neither select it (a filter on an old value, or on an
  // attribute the client may not read) nor leave it out. The entry is
  // marked whatever the outcome, so the journal pass does not test it
  // again. Out of scope, the record is passed over unmarked: the journal
  // pass then decides for the entry by its own DN.
  bool offer(uint32_t r) {
    if (record_in_scope(r, q) == 0) return true;
    journal_entry* e = shadowing_entry(data_store.base + data_word(r + kDnField));
    if (e != nullptr) {
      // Marked already: a second record whose DN differs from the first
      // only in letter case, which the journal files as the same DN.
      if (ctx->marks->marked(e)) return true;
      ctx->marks->mark(e);
      if (journal_matches_search(e, q) == 0 || !journal_visible(ctx, e)) return true;
    } else if (match_record(r, q->filter) == 0 || !record_visible(ctx, r)) {
      return true;
    }
    if (limit != 0 && n == limit) {
      if (e != nullptr) ctx->marks->held_over = e;
      return false;
    }
    ++n;
    if (!ctx->page->take()) return true;
    if (e != nullptr) {
      send_journal_entry(ctx, e);
    } else {
      send_record(ctx, r);
    }
    return true;
  }
};

// The data-file pass; false when it stopped at sizeLimit.
bool data_file_pass(const search_context* ctx, const search_request* q) {
  data_file_answers pass{ctx, q, static_cast<uint64_t>(q->sizeLimit)};
  uint64_t* words = index_usable(q->filter) ? set_pool_words(set_pool_result) : nullptr;
  if (words != nullptr) {
    if (trace_enabled) buf_put_flush(&std_err, "query can be answered with index!\n", 34);
    candidate_set set{words, 0, 0};
    evaluate_index(q->filter, &set);
    for (int64_t i = set_next(&set, set.lowest); i >= 0;
         i = set_next(&set, static_cast<uint64_t>(i) + 1)) {
      if (!pass.offer(record_offset(static_cast<uint32_t>(i)))) return false;
    }
    return true;
  }
  // Not answerable from the indexes (or no memory for the set, where a
  // scan gives the same answer): every record, in file order.
  if (trace_enabled) buf_put_flush(&std_err, "query can NOT be answered with index!\n", 38);
  uint64_t r = table_names() + uint64_t{8} * data_store.attribute_count;
  for (uint32_t i = 0; i < data_store.record_count; ++i) {
    const uint32_t record = static_cast<uint32_t>(r);
    r += uint64_t{8} * data_word(record);
    if (!pass.offer(record)) return false;
  }
  return true;
}

// Appends the SearchResultDone to the answer and writes it all.
// An equality item every match of the filter must pass: the filter itself,
// or an operand of a top-level and. Items on dn test the entry's DN, not a
// value, and are passed over. Null when there is none.
const Filter* required_equality(const Filter* f) {
  const auto usable = [](const Filter* g) {
    return g->choice == filter_equality &&
           !(g->attribute_offset != 0 && g->attribute_offset == data_store.dn_name) &&
           !equals_literal(g->attribute, "dn");
  };
  if (usable(f)) return f;
  if (f->choice != filter_and) return nullptr;
  for (const Filter* c = f->children; c != nullptr; c = c->next) {
    if (usable(c)) return c;
  }
  return nullptr;
}

// Answers entry e in the journal pass, which meets every entry once.
void answer_journal_entry(const search_context* ctx, const search_request* q,
                          const journal_entry* e) {
  if (ctx->marks->marked(e)) {
    // Dealt with by the data-file pass; one it could not send for the size
    // limit is sent here, as every matching journal entry is.
    if (e == ctx->marks->held_over && ctx->page->take()) send_journal_entry(ctx, e);
    return;
  }
  if (journal_matches_search(e, q) && journal_visible(ctx, e) && ctx->page->take())
    send_journal_entry(ctx, e);
}

// Every journal entry the data-file pass has not dealt with that matches,
// in journal order (the order of creation). With an equality item that
// every match must pass, only the entries that may hold its value are
// looked at (journal_value_table); its buckets hold them most recently
// written first, and an entry once per value, so they are put in order
// and each is taken once.
void journal_pass(const search_context* ctx, const search_request* q) {
  if (const Filter* item = required_equality(q->filter); item != nullptr) {
    const uint32_t key = journal_value_key(item->attribute.bytes, item->attribute.len,
                                           item->value.bytes, item->value.len);
    struct found_entry {
      uint64_t sequence;
      const journal_entry* entry;
    };
    small_array<found_entry, 64> found;
    for (const journal_value_node* n = journal_value_table[key % journal_value_buckets];
         n != nullptr; n = n->next) {
      if (n->key == key) *found.push() = found_entry{n->entry->sequence, n->entry};
    }
    found_entry* first = found.items;
    found_entry* last = found.items + found.count;
    std::sort(first, last,
              [](const found_entry& a, const found_entry& b) { return a.sequence < b.sequence; });
    last = std::unique(first, last, [](const found_entry& a, const found_entry& b) {
      return a.sequence == b.sequence;
    });
    for (const found_entry* f = first; f != last; ++f) answer_journal_entry(ctx, q, f->entry);
    return;
  }
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next)
    answer_journal_entry(ctx, q, e);
}

// The paged results control's OID.
constexpr char kPagedResults[] = "1.2.840.113556.1.4.319";
constexpr uint64_t kCookieSize = 16;

// The response control of a page: SEQUENCE { size 0 (no estimate),
// cookie }, as controls [0] to follow the SearchResultDone. Returns its
// size; writes when dest is not null.
uint64_t encode_page_control(char* dest, const char* cookie, uint64_t cookie_len) {
  const uint64_t oid = static_cast<uint64_t>(ber_encode_string(
      nullptr, ber_universal, ber_primitive, ber_tag_octet_string, kPagedResults, sizeof kPagedResults - 1));
  const uint64_t number = ber_encode_integer(nullptr, ber_universal, ber_primitive, ber_tag_integer, 0);
  const uint64_t cookie_field = static_cast<uint64_t>(
      ber_encode_string(nullptr, ber_universal, ber_primitive, ber_tag_octet_string, cookie, cookie_len));
  const uint64_t inner = number + cookie_field;
  const uint64_t inner_seq = ber_encode_header(nullptr, ber_universal, ber_constructed, ber_tag_sequence, inner) + inner;
  const uint64_t value = ber_encode_header(nullptr, ber_universal, ber_primitive, ber_tag_octet_string, inner_seq) + inner_seq;
  const uint64_t control = oid + value;
  const uint64_t control_seq = ber_encode_header(nullptr, ber_universal, ber_constructed, ber_tag_sequence, control) + control;
  const uint64_t total = ber_encode_header(nullptr, ber_context, ber_constructed, 0, control_seq) + control_seq;
  if (dest == nullptr) return total;
  char* p = dest;
  p += ber_encode_header(p, ber_context, ber_constructed, 0, control_seq);
  p += ber_encode_header(p, ber_universal, ber_constructed, ber_tag_sequence, control);
  p += ber_encode_string(p, ber_universal, ber_primitive, ber_tag_octet_string, kPagedResults,
                         sizeof kPagedResults - 1);
  p += ber_encode_header(p, ber_universal, ber_primitive, ber_tag_octet_string, inner_seq);
  p += ber_encode_header(p, ber_universal, ber_constructed, ber_tag_sequence, inner);
  p += ber_encode_integer(p, ber_universal, ber_primitive, ber_tag_integer, 0);
  ber_encode_string(p, ber_universal, ber_primitive, ber_tag_octet_string, cookie, cookie_len);
  return total;
}

// The SearchResultDone, with the page's control when the client pages
// (cookie null otherwise), appended to the answer and written with it.
void send_done(int fd, int64_t message_id, uint64_t result_code, const char* cookie = nullptr,
               uint64_t cookie_len = 0) {
  constexpr uint64_t kDoneRoom = 128;
  if (sizeof answer_bytes - answer_used < kDoneRoom) flush_answer(fd);
  char* buf = answer_bytes + answer_used;
  const uint64_t size = ldap_encode_result(nullptr, result_code, "", "");
  const uint64_t controls = cookie != nullptr ? encode_page_control(nullptr, cookie, cookie_len) : 0;
  // SEQUENCE { messageID, protocolOp, controls }: the header counts the
  // controls behind the protocolOp.
  const uint64_t id = ber_encode_integer(nullptr, ber_universal, ber_primitive, ber_tag_integer,
                                         static_cast<uint64_t>(message_id));
  const uint64_t op = ber_encode_header(nullptr, ber_application, ber_constructed,
                                        ldap_search_result_done, size);
  char* p = buf;
  p += ber_encode_header(p, ber_universal, ber_constructed, ber_tag_sequence, id + op + size + controls);
  p += ber_encode_integer(p, ber_universal, ber_primitive, ber_tag_integer,
                          static_cast<uint64_t>(message_id));
  p += ber_encode_header(p, ber_application, ber_constructed, ldap_search_result_done, size);
  p += ldap_encode_result(p, result_code, "", "");
  if (cookie != nullptr) p += encode_page_control(p, cookie, cookie_len);
  answer_used += static_cast<uint64_t>(p - buf);
  flush_answer(fd);
}

// ---- Paging -------------------------------------------------------------------------

// A fingerprint of the request (its protocolOp's bytes, so the same search
// on every page) and of the data it is answered from: a cookie is honoured
// only while both are unchanged.
uint64_t page_fingerprint(const char* contents, uint64_t len) {
  uint64_t h = 14695981039346656037ull;
  const auto mix = [&h](uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h = (h ^ (v & 0xff)) * 1099511628211ull;
      v >>= 8;
    }
  };
  for (uint64_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(contents[i])) * 1099511628211ull;
  mix(data_store.generation);
  mix(static_cast<uint64_t>(journal_status.st_size));
  mix(static_cast<uint64_t>(journal_status.st_ino));
  return h;
}

void put_u64(char* dest, uint64_t v) {
  for (int i = 0; i < 8; ++i) dest[i] = static_cast<char>(v >> (8 * i));
}

uint64_t get_u64(const char* src) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(src[i]);
  return v;
}

// What the request's paged results control asks for.
enum class paging { none, page, abandon, bad_value, stale_cookie };

paging read_page_request(const char* controls, const char* end, const char* contents, uint64_t len,
                         page_state* page) {
  ldap_control list[ldap_max_controls];
  const int64_t n = ldap_decode_controls(controls, end, list);
  for (int64_t i = 0; i < n; ++i) {
    const ldap_control& c = list[i];
    if (c.type.len != sizeof kPagedResults - 1 ||
        compare_bytes(c.type.bytes, c.type.len, kPagedResults) != 0)
      continue;
    // realSearchControlValue ::= SEQUENCE { size INTEGER, cookie OCTET STRING }
    if (c.value.bytes == nullptr) return paging::bad_value;
    const char* v_end = c.value.bytes + c.value.len;
    uint64_t seq_len = 0;
    const uint64_t s = ber_decode_sequence(c.value.bytes, v_end, &seq_len);
    if (s == 0 || c.value.len - s != seq_len) return paging::bad_value;
    int64_t size = 0;
    const uint64_t k = ber_decode_integer(c.value.bytes + s, v_end, &size);
    if (k == 0 || size < 0) return paging::bad_value;
    counted_str cookie{0, nullptr};
    const uint64_t m = ber_decode_string(c.value.bytes + s + k, v_end, &cookie);
    if (m == 0 || c.value.bytes + s + k + m != v_end) return paging::bad_value;
    if (cookie.len != 0) {
      if (cookie.len != kCookieSize || get_u64(cookie.bytes + 8) != page_fingerprint(contents, len))
        return paging::stale_cookie;
      page->first = get_u64(cookie.bytes);
      page->skip = page->first;
    }
    if (size == 0) return paging::abandon;
    page->active = true;
    page->size = static_cast<uint64_t>(size);
    return paging::page;
  }
  return paging::none;
}

}  // namespace

void search_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                      const char* end) {
  search_request q;
  if (ldap_decode_search_request(contents, end, &q) == 0) {
    // One client's bad request (a filter nested too deeply, a truncated
    // one) is answered protocolError; the connection and the server go on.
    static constexpr char kText[] = "couldn't parse search request!\n";
    buf_put_flush(&std_err, kText, sizeof kText - 1);
    send_done(fd, message_id, ldap_protocol_error);
    return;
  }
  if (trace_enabled) trace_request(&q);
  resolve_filter_attributes(q.filter);
  if (is_root_dse_search(&q)) {
    answer_root_dse(fd, message_id, &q);
    free_search_request(&q);
    return;
  }
  resolve_requested(&q);

  bool all = q.attributes == nullptr;
  for (const string_node* s = q.attributes; s != nullptr && !all; s = s->next)
    all = is_all_attributes(s->str);
  small_array<answer_name, 64> names;
  collect_record_names(&q, all, &names);
  const char* dn_text = data_store.base + data_store.dn_name;

  search_context ctx{};
  ctx.request = &q;
  ctx.message_id = message_id;
  ctx.fd = fd;
  ctx.acl = acl_entry_count != 0;
  ctx.all_attributes = all;
  ctx.records_hidden = all && data_store.attribute_count > kMaxTableNames;
  ctx.names = names.items;
  ctx.name_count = names.count;
  ctx.dn_name_text = counted_str{cstr_length(dn_text), dn_text};
  search_marks marks;
  ctx.marks = &marks;
  page_state page;
  ctx.page = &page;
  const paging paged = read_page_request(contents + len, end, contents, len, &page);
  if (paged == paging::bad_value || paged == paging::stale_cookie || paged == paging::abandon) {
    free_search_request(&q);
    // An abandoned paging ends with an empty cookie; a cookie that no
    // longer fits the data (a reload, a change to the journal) or the
    // request ends the paging: the client starts again.
    if (paged == paging::abandon) {
      send_done(fd, message_id, ldap_success, "", 0);
    } else if (paged == paging::stale_cookie) {
      send_done(fd, message_id, ldap_unwilling_to_perform, "", 0);
    } else {
      send_done(fd, message_id, ldap_protocol_error);
    }
    return;
  }
  // While paging, the pages are the limit: the client's sizeLimit is not
  // applied to each page.
  if (page.active) q.sizeLimit = 0;

  const bool complete = data_file_pass(&ctx, &q);
  // The journal pass is not limited: it holds the entries changed since
  // the data file was built, and they are always answered.
  journal_pass(&ctx, &q);
  free_search_request(&q);
  if (!page.active) {
    send_done(fd, message_id, complete ? ldap_success : kSizeLimitExceeded);
    return;
  }
  char cookie[kCookieSize];
  uint64_t cookie_len = 0;
  if (page.more) {
    put_u64(cookie, page.first + page.sent);
    put_u64(cookie + 8, page_fingerprint(contents, len));
    cookie_len = kCookieSize;
  }
  send_done(fd, message_id, ldap_success, cookie, cookie_len);
}
