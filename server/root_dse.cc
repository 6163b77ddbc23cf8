#include "server/root_dse.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "journal/journal_store.h"
#include "query/dn_lookup.h"
#include "query/index_eval.h"
#include "query/match.h"
#include "store/data_file.h"
#include "store/record.h"

namespace {

constexpr char kVendorName[] = "ferrowyn";
constexpr char kVendorVersion[] = "0.3";

// More naming contexts than this are not listed: a directory has a few.
constexpr uint64_t kMaxContexts = 32;

counted_str text(const char* t) { return counted_str{cstr_length(t), t}; }

counted_str stored_content(const char* s) {
  return counted_str{stored_str_len(s), stored_str_data(s)};
}

bool same_nocase(counted_str a, counted_str b) {
  return a.len == b.len && (a.len == 0 || compare_bytes_nocase(a.bytes, a.len, b.bytes) == 0);
}

// The parent of a normalised DN: what follows its first RDN (after the
// first comma that no backslash escapes); empty for a DN of one RDN.
counted_str parent_of(counted_str dn) {
  for (uint64_t i = 0; i < dn.len; ++i) {
    if (dn.bytes[i] == '\\') {
      ++i;
    } else if (dn.bytes[i] == ',') {
      return counted_str{dn.len - i - 1, dn.bytes + i + 1};
    }
  }
  return counted_str{0, nullptr};
}

struct contexts {
  counted_str dns[kMaxContexts];
  uint64_t count = 0;
  bool index = false;         // DNs of the data file can be looked up
  counted_str last_parent{0, nullptr};
  bool last_parent_exists = false;

  bool exists(counted_str dn) {
    if (dn.len == 0) return false;
    // Siblings come one after another in most files: one lookup for all.
    if (last_parent.bytes != nullptr && same_nocase(dn, last_parent)) return last_parent_exists;
    uint64_t number;
    journal_entry* e = nullptr;
    bool found;
    if (index) {
      found = lookupdn(dn, &number, &e) == 1;
    } else {
      const journal_entry* j = journal_find(dn);
      found = j != nullptr && j->attribute_count != 0;
    }
    last_parent = dn;
    last_parent_exists = found;
    return found;
  }

  // Lists dn when its parent is no entry (and it is not listed yet).
  void consider(counted_str dn) {
    if (count == kMaxContexts || exists(parent_of(dn))) return;
    for (uint64_t i = 0; i < count; ++i) {
      if (same_nocase(dns[i], dn)) return;
    }
    dns[count++] = dn;
  }
};

void collect_contexts(contexts* c) {
  Filter node{};
  node.choice = filter_equality;
  node.attribute = counted_str{2, "dn"};
  node.value = counted_str{1, "x"};
  resolve_filter_attributes(&node);
  c->index = index_usable(&node) != 0;
  uint64_t r = data_header_size + uint64_t{data_store.size_of_string_table} +
               uint64_t{8} * data_store.attribute_count;
  for (uint32_t i = 0; i < data_store.record_count && c->index; ++i) {
    const uint32_t record = static_cast<uint32_t>(r);
    r += uint64_t{8} * data_word(record);
    const counted_str dn = stored_content(data_store.base + data_word(record + 8));
    // The journal's version decides: a deleted entry is no context.
    const journal_entry* j = journal_find(dn);
    if (j != nullptr && j->attribute_count == 0) continue;
    c->consider(dn);
  }
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    if (e->attribute_count != 0) c->consider(stored_content(e->dn));
  }
}

// ---- The entry ------------------------------------------------------------------

struct dse_attribute {
  const char* name;
  bool operational;
};

constexpr dse_attribute kAttributes[] = {
    {"objectClass", false},       {"namingContexts", true}, {"supportedLDAPVersion", true},
    {"supportedControl", true},   {"supportedExtension", true}, {"vendorName", true},
    {"vendorVersion", true},
};
constexpr uint64_t kAttributeCount = sizeof kAttributes / sizeof kAttributes[0];

// The values of attribute i, as string nodes in storage (linked).
uint64_t values_of(uint64_t i, const contexts& c, string_node* storage) {
  uint64_t n = 0;
  const auto add = [&](counted_str v) {
    storage[n] = string_node{v, 0, nullptr};
    if (n > 0) storage[n - 1].next = &storage[n];
    ++n;
  };
  switch (i) {
    case 0: add(text("top")); break;
    case 1:
      for (uint64_t k = 0; k < c.count; ++k) add(c.dns[k]);
      break;
    case 2: add(text("3")); break;
    case 3: add(text("1.2.840.113556.1.4.319")); break;  // simple paged results
    case 4:
      add(text(ldap_oid_password_modify));
      add(text(ldap_oid_who_am_i));
      break;
    case 5: add(text(kVendorName)); break;
    case 6: add(text(kVendorVersion)); break;
    default: break;
  }
  return n;
}

// Whether the client asked for attribute i: none asked or "*" gives the
// user attribute, "+" every operational one, and names ask for themselves
// in any letter case ("1.1" asks for none).
bool asked(const search_request* q, uint64_t i) {
  if (q->attributes == nullptr) return !kAttributes[i].operational;
  for (const string_node* s = q->attributes; s != nullptr; s = s->next) {
    if (s->str.len == 1 && s->str.bytes[0] == (kAttributes[i].operational ? '+' : '*')) return true;
    if (same_nocase(s->str, text(kAttributes[i].name))) return true;
  }
  return false;
}

// The filter against the entry: presence of its attributes and equality
// with its values, both without regard to case, combined with and, or and
// not; any other item does not hold.
bool holds(const Filter* f, const contexts& c) {
  switch (f->choice) {
    case filter_and:
      for (const Filter* k = f->children; k != nullptr; k = k->next) {
        if (!holds(k, c)) return false;
      }
      return true;
    case filter_or:
      for (const Filter* k = f->children; k != nullptr; k = k->next) {
        if (holds(k, c)) return true;
      }
      return false;
    case filter_not:
      return f->children != nullptr && !holds(f->children, c);
    case filter_present:
    case filter_equality:
      for (uint64_t i = 0; i < kAttributeCount; ++i) {
        if (!same_nocase(f->attribute, text(kAttributes[i].name))) continue;
        if (f->choice == filter_present) return true;
        string_node values[kMaxContexts];
        const uint64_t n = values_of(i, c, values);
        for (uint64_t k = 0; k < n; ++k) {
          if (same_nocase(values[k].str, f->value)) return true;
        }
      }
      return false;
    default:
      return false;
  }
}

void write_all(int fd, const char* bytes, uint64_t n) {
  uint64_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<uint64_t>(w);
    } else if (!(w < 0 && errno == EINTR)) {
      return;  // a peer that is gone is noticed by the connection's next read
    }
  }
}

}  // namespace

bool is_root_dse_search(const search_request* q) {
  return q->baseObject.len == 0 && q->scope == scope_base_object;
}

void answer_root_dse(int fd, int64_t message_id, const search_request* q) {
  contexts c;
  collect_contexts(&c);

  // The entry, when the filter holds for it, then the SearchResultDone;
  // both go out with one write.
  string_node values[kAttributeCount][kMaxContexts];
  partial_attribute attributes[kAttributeCount];
  partial_attribute* first = nullptr;
  partial_attribute** link = &first;
  for (uint64_t i = 0; i < kAttributeCount; ++i) {
    if (!asked(q, i)) continue;
    const uint64_t n = values_of(i, c, values[i]);
    if (n == 0) continue;
    attributes[i] = partial_attribute{text(kAttributes[i].name), values[i], nullptr};
    *link = &attributes[i];
    link = &attributes[i].next;
  }
  const search_entry entry{counted_str{0, ""}, first};
  const bool send = q->filter != nullptr && holds(q->filter, c);
  const uint64_t entry_size = send ? ldap_encode_search_entry(nullptr, &entry) : 0;
  const uint64_t entry_header =
      send ? ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id),
                                        ldap_search_result_entry, entry_size)
           : 0;
  const uint64_t done_size = ldap_encode_result(nullptr, ldap_success, "", "");
  const uint64_t done_header = ldap_encode_message_header(
      nullptr, static_cast<uint64_t>(message_id), ldap_search_result_done, done_size);
  const uint64_t total = entry_header + entry_size + done_header + done_size;
  char* out = static_cast<char*>(std::malloc(total));
  if (out == nullptr) return;
  char* p = out;
  if (send) {
    p += ldap_encode_message_header(p, static_cast<uint64_t>(message_id), ldap_search_result_entry,
                                    entry_size);
    p += ldap_encode_search_entry(p, &entry);
  }
  p += ldap_encode_message_header(p, static_cast<uint64_t>(message_id), ldap_search_result_done,
                                  done_size);
  ldap_encode_result(p, ldap_success, "", "");
  write_all(fd, out, total);
  std::free(out);
}
