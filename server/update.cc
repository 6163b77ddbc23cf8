// The update operations: ModifyRequest, AddRequest and DelRequest.
//
// None of them changes anything in memory. Each builds the complete new
// contents of one entry as a request_entry (a DN alone for a delete), asks
// the access control lists whether the bound client may make the change,
// finds the DN, and appends the entry as one record to the journal. The
// change check before the next request reads that record back, and from
// then on every request sees the change.
//
// Every connection is a process of its own, and any of them may change the
// same entry at the same moment. So the whole read-decide-write runs under
// the journal's exclusive lock: the change check that brings this process
// up to date with every record appended so far, the lookup, the access
// checks, the build of the new entry and the append. Two modifies of one
// entry then build one on the other, two adds of one DN cannot both
// succeed, and a modify never brings back an entry deleted meanwhile. The
// answer is sent only once the record is on stable storage.
//
// Rights are asked per attribute: a modify needs the write right on every
// attribute it changes, an add the add right on every attribute it gives
// (both judged against the entry as stored, or for an add as it will be);
// a delete needs the delete right on the entry as a whole.
//
// Two refusals protect the journal itself, whose records every later start
// has to read: an attribute description that is "dn" or holds anything but
// letters, digits, "-", "." and ";" (a "dn" line inside a record would
// move the entry to another DN behind the access check's back, and other
// bytes would not read back as the same name), and a record of more value
// lines than the journal reader accepts.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "codec/ldap_message.h"
#include "codec/update.h"
#include "core/bytes.h"
#include "core/diag.h"
#include "core/dn.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "journal/journal_writer.h"
#include "query/acl.h"
#include "query/dn_lookup.h"
#include "server/bind.h"
#include "server/connection.h"
#include "server/operations.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"

namespace {

// The most value lines one record may hold: the journal reader refuses
// (and stops the server on) a record with more.
constexpr uint64_t max_record_values = ldif_max_pairs;

// Record layout: pair count, reserved word, DN, first objectClass value,
// then (attribute, value) pairs of 8 bytes each.
constexpr uint64_t record_dn_field = 8;
constexpr uint64_t record_object_class_field = 12;
constexpr uint64_t record_first_pair = 16;

// A DN comes from one received message, so it fits here, and
// canonical_dn never makes it longer.
constexpr uint64_t dn_capacity = receive_buffer_size;

// The LDAPResult with an empty matchedDN and errorMessage behind its
// envelope, sent with one write.
void answer(int fd, int64_t message_id, uint64_t response, uint64_t code) {
  char out[64];
  const uint64_t body = ldap_encode_result(nullptr, code, "", "");
  const uint64_t header =
      ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id), response, body);
  ldap_encode_result(out + header, code, "", "");
  ldap_encode_message_header(out, static_cast<uint64_t>(message_id), response, body);
  if (write(fd, out, header + body) < 0) {
    // A client that has gone away notices nothing; the loop's next read
    // ends the connection.
  }
}

void put(out_buffer* b, counted_str s) {
  if (s.len != 0) buf_put(b, s.bytes, s.len);
}

counted_str stored_content(const char* s) {
  return counted_str{stored_str_len(s), stored_str_data(s)};
}

// Normalises dn into dest (dn_capacity bytes); false when it does not fit.
bool normalise(counted_str dn, char* dest, counted_str* out) {
  if (dn.len > dn_capacity) return false;
  const int32_t n = dn.len == 0 ? 0 : canonical_dn(dest, dn.bytes, static_cast<int32_t>(dn.len));
  *out = counted_str{static_cast<uint64_t>(n), dest};
  return true;
}

// An attribute description the journal can carry: only letters, digits,
// "-", "." and ";", and a name before the first ";" (the options) that is
// neither empty nor "dn" in any letter case.
bool acceptable_type(counted_str type) {
  uint64_t name_end = type.len;
  for (uint64_t i = 0; i < type.len; ++i) {
    const char c = type.bytes[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == ';';
    if (!ok) return false;
    if (c == ';' && name_end == type.len) name_end = i;
  }
  if (name_end == 0) return false;
  return !(name_end == 2 && compare_bytes_nocase(type.bytes, 2, "dn") == 0);
}

uint64_t count_values(const string_node* n) {
  uint64_t count = 0;
  for (; n != nullptr; n = n->next) ++count;
  return count;
}

// Builds a request_entry's attribute list at its tail.
struct attribute_list {
  request_entry* entry;
  request_attribute** tail;
  uint64_t values;  // value lines of the record so far

  explicit attribute_list(request_entry* e) : entry(e), tail(&e->attributes), values(0) {}

  // A new attribute of the given type without values, or null when memory
  // is short.
  request_attribute* append(counted_str type) {
    auto* a = static_cast<request_attribute*>(std::calloc(1, sizeof(request_attribute)));
    if (a == nullptr) return nullptr;
    a->type = type;
    *tail = a;
    tail = &a->next;
    return a;
  }

  // An attribute holding one value (the bytes are shared): false when
  // memory is short.
  bool append_pair(counted_str type, counted_str value) {
    request_attribute* a = append(type);
    if (a == nullptr) return false;
    auto* v = static_cast<string_node*>(std::calloc(1, sizeof(string_node)));
    if (v == nullptr) return false;
    v->str = value;
    a->vals = v;
    ++values;
    return true;
  }

  // An attribute with a copy of the list (the bytes are shared).
  bool append_list(counted_str type, const string_node* vals) {
    request_attribute* a = append(type);
    if (a == nullptr) return false;
    values += count_values(vals);
    return copy_value_list(&a->vals, vals) == 0;
  }
};

// ---- Access -------------------------------------------------------------

// The entry a right is asked on: what lookupdn found (record number and
// journal entry), judged as stored, not as the request describes it. A DN
// that is not there is judged by the DN alone, so a client without the
// right learns nothing about which entries exist.
struct stored_target {
  int found;
  uint64_t number;
  const journal_entry* entry;
  counted_str dn;
};

// Whether the client has `right` on the attribute of the target (attribute
// 0 with type empty: on the entry as a whole). Only a granting ACL entry
// lets an update go on: none applying refuses as a denial does. The caller
// clears the target bytes once per target.
bool granted_on(const stored_target& t, uint16_t right, counted_str type, uint32_t attribute) {
  if (t.found == 1 && t.entry != nullptr) {
    if (type.len == 0) return acl_check_journal_entry(t.entry, right) == 1;
    return acl_check_journal_attribute(t.entry, type.bytes, type.len, right) == 1;
  }
  if (t.found == 1 && t.number < data_store.record_count)
    return acl_check(record_offset(static_cast<uint32_t>(t.number)), attribute, right, nullptr) ==
           1;
  const request_entry alone{t.dn, nullptr};
  return acl_check(0, attribute, right, &alone) == 1;
}

// A modify needs the write right on every attribute it changes.
bool modify_granted(const stored_target& t, const modify_request& r) {
  acl_clear_targets();
  for (const modification* m = &r.first; m != nullptr; m = m->next) {
    if (!granted_on(t, acl_write, m->type, attribute_type_offset(m->type))) return false;
  }
  return true;
}

// An add needs the add right on every attribute it gives, judged against
// the entry it would create.
bool add_granted(const request_entry* change) {
  acl_clear_targets();
  for (const request_attribute* a = change->attributes; a != nullptr; a = a->next) {
    if (acl_check(0, attribute_type_offset(a->type), acl_add, change) != 1) return false;
  }
  return true;
}

// Takes the journal's exclusive hold and brings this process up to date
// with everything appended so far: false when the journal cannot be held.
bool hold_current(journal_hold* hold) {
  if (journal_hold_exclusive(hold) != 0) return false;
  change_check_held(hold);
  // A reload of the data file moves the bound identity's record.
  refresh_bound_identity();
  return true;
}

// ---- ModifyRequest --------------------------------------------------------

void trace_modify(const modify_request& r) {
  buf_put_str(&std_out, "modify request: dn \"");
  put(&std_out, r.object);
  buf_put_flush(&std_out, "\"\n", 2);
  const modification& m = r.first;
  static constexpr const char* kinds[] = {"Add\n", "Delete\n", "Replace\n"};
  buf_put_str(&std_out, kinds[m.operation <= modify_replace ? m.operation : 0]);
  put(&std_out, m.type);
  if (m.vals == nullptr) {
    // No value line follows to carry the header out.
    buf_put_flush(&std_out, "\n", 1);
    return;
  }
  buf_put(&std_out, "\n", 1);
  for (const string_node* v = m.vals; v != nullptr; v = v->next) {
    buf_put_str(&std_out, " -> \"");
    put(&std_out, v->str);
    buf_put_flush(&std_out, "\"\n", 2);
  }
}

// Whether a modification's type names the stored attribute: its type (the
// part before any ";" options) equals the name, ignoring ASCII case.
bool names_attribute(counted_str type, const char* name) {
  type.len = attribute_type_length(type.bytes, type.len);
  const counted_str stored = stored_content(name);
  return type.len == stored.len && compare_bytes_nocase(type.bytes, type.len, stored.bytes) == 0;
}

// Whether some modification, in request order, drops the pair (name, value).
bool dropped(const modify_request& r, const char* name, const char* value) {
  for (const modification* m = &r.first; m != nullptr; m = m->next) {
    if (!names_attribute(m->type, name)) continue;
    if (m->operation == modify_replace) return true;
    if (m->operation != modify_delete) continue;
    if (m->vals == nullptr) return true;
    for (const string_node* v = m->vals; v != nullptr; v = v->next) {
      if (cmp_value(v->str, value) == 0) return true;
    }
  }
  return false;
}

// Keeps the pair as an attribute of its own unless a modification drops
// it: false when memory is short.
bool keep_pair(const modify_request& r, attribute_list* out, const char* name, const char* value) {
  if (dropped(r, name, value)) return true;
  return out->append_pair(stored_content(name), stored_content(value));
}

// Every added or replacing value list, in request order.
bool append_new_values(const modify_request& r, attribute_list* out) {
  for (const modification* m = &r.first; m != nullptr; m = m->next) {
    if (m->operation == modify_delete || m->vals == nullptr) continue;
    if (!out->append_list(m->type, m->vals)) return false;
  }
  return true;
}

bool build_from_journal(const modify_request& r, const journal_entry* j, attribute_list* out) {
  for (uint64_t i = 0; i < j->attribute_count; ++i) {
    if (!keep_pair(r, out, j->attributes[i].name, j->attributes[i].value)) return false;
  }
  return append_new_values(r, out);
}

// A record that no journal entry shadows: its first objectClass value under
// the attribute table's objectClass name, then its pairs.
bool build_from_record(const modify_request& r, uint32_t record, attribute_list* out) {
  const char* base = data_store.base;
  const char* object_class = base + data_store.object_class_name;
  if (!keep_pair(r, out, object_class, base + data_word(record + record_object_class_field)))
    return false;
  const uint64_t end = record + uint64_t{8} * data_word(record);
  for (uint64_t p = record + record_first_pair; p < end; p += 8) {
    if (!keep_pair(r, out, base + data_word(p), base + data_word(p + 4))) return false;
  }
  return append_new_values(r, out);
}

// Whether the entry being built still has an objectClass value. Every
// entry must: a modify that removes them all would otherwise delete the
// entry (a record of its DN alone) with no more than the write right.
bool has_object_class(const request_entry& e) {
  for (const request_attribute* a = e.attributes; a != nullptr; a = a->next) {
    const uint64_t n = attribute_type_length(a->type.bytes, a->type.len);
    if (a->vals != nullptr && n == 11 && compare_bytes_nocase(a->type.bytes, n, "objectClass") == 0)
      return true;
  }
  return false;
}

// The modify's steps under the hold; the caller answers with the result.
uint64_t modify_held(const modify_request* r, counted_str dn, journal_hold* hold) {
  uint64_t number;
  journal_entry* j = nullptr;
  const int found = lookupdn(dn, &number, &j);
  if (!modify_granted(stored_target{found, number, j, dn}, *r))
    return ldap_insufficient_access_rights;
  if (found == 0) return ldap_no_such_object;
  if (found < 0) return ldap_operations_error;

  const char* entry_dn;
  if (j != nullptr) {
    entry_dn = j->dn;
  } else {
    if (number >= data_store.record_count) return ldap_operations_error;
    const uint32_t record = record_offset(static_cast<uint32_t>(number));
    entry_dn = data_store.base + data_word(record + record_dn_field);
  }
  request_entry change{stored_content(entry_dn), nullptr};
  attribute_list list(&change);
  const bool built = j != nullptr
              ? build_from_journal(*r, j, &list)
              : build_from_record(*r, record_offset(static_cast<uint32_t>(number)), &list);
  // The change is appended only when it was built, is not too large and
  // leaves an entry.
  uint64_t result = ldap_success;
  if (built && !has_object_class(change)) {
    result = ldap_object_class_violation;
  } else if (!built || list.values > max_record_values ||
             journal_append_held(hold, &change) != 0) {
    result = ldap_operations_error;
  }
  release_request_entry(&change);
  return result;
}

// Steps after the decode; the caller answers with the result and frees the
// request.
uint64_t modify(const modify_request* r) {
  char dn_bytes[dn_capacity];
  counted_str dn;
  if (!normalise(r->object, dn_bytes, &dn)) return ldap_operations_error;
  for (const modification* m = &r->first; m != nullptr; m = m->next) {
    if (!acceptable_type(m->type)) return ldap_unwilling_to_perform;
  }
  if (acl_entry_count == 0) return ldap_insufficient_access_rights;
  journal_hold hold;
  if (!hold_current(&hold)) return ldap_operations_error;
  const uint64_t result = modify_held(r, dn, &hold);
  journal_release(&hold);
  return result;
}

// ---- AddRequest -----------------------------------------------------------

// The add's change owns copies of its DN, types and values.
void release_add_change(request_entry* e) {
  for (request_attribute* a = e->attributes; a != nullptr; a = a->next) {
    std::free(const_cast<char*>(a->type.bytes));
    for (string_node* v = a->vals; v != nullptr; v = v->next)
      std::free(const_cast<char*>(v->str.bytes));
  }
  release_request_entry(e);
  std::free(const_cast<char*>(e->dn.bytes));
  e->dn = counted_str{0, nullptr};
}

// Copies the request into the change: false when memory is short (what was
// made stays linked for release_add_change).
bool build_add(const add_request& r, counted_str dn, request_entry* change, uint64_t* values) {
  if (copy_counted_str(&change->dn, dn) != 0) return false;
  change->dn.len = dn.len;
  request_attribute** tail = &change->attributes;
  for (const add_attribute* a = &r.first; a != nullptr; a = a->next) {
    auto* copy = static_cast<request_attribute*>(std::calloc(1, sizeof(request_attribute)));
    if (copy == nullptr) return false;
    *tail = copy;
    tail = &copy->next;
    if (copy_counted_str(&copy->type, a->type) != 0) return false;
    copy->type.len = a->type.len;
    string_node** vtail = &copy->vals;
    for (const string_node* v = &a->vals; v != nullptr; v = v->next) {
      auto* n = static_cast<string_node*>(std::calloc(1, sizeof(string_node)));
      if (n == nullptr) return false;
      *vtail = n;
      vtail = &n->next;
      if (copy_counted_str(&n->str, v->str) != 0) return false;
      n->str.len = v->str.len;
      ++*values;
    }
  }
  return true;
}

uint64_t add(const add_request& r, counted_str dn, request_entry* change) {
  for (const add_attribute* a = &r.first; a != nullptr; a = a->next) {
    if (!acceptable_type(a->type)) return ldap_unwilling_to_perform;
  }
  uint64_t values = 0;
  if (!build_add(r, dn, change, &values) || values > max_record_values)
    return ldap_operations_error;
  if (acl_entry_count == 0) return ldap_insufficient_access_rights;
  journal_hold hold;
  if (!hold_current(&hold)) return ldap_operations_error;
  uint64_t result = ldap_insufficient_access_rights;
  if (add_granted(change)) {
    uint64_t number;
    journal_entry* j = nullptr;
    const int found = lookupdn(change->dn, &number, &j);
    if (found == 1) {
      result = ldap_entry_already_exists;
    } else if (found < 0) {
      result = ldap_operations_error;
    } else {
      result = journal_append_held(&hold, change) == 0 ? ldap_success : ldap_operations_error;
    }
  }
  journal_release(&hold);
  return result;
}

// ---- DelRequest -----------------------------------------------------------

// The delete's steps under the hold. The record deletes the DN as stored,
// not as the client spelt it, so that it shadows exactly the entry found.
uint64_t delete_held(counted_str dn, journal_hold* hold) {
  uint64_t number;
  journal_entry* j = nullptr;
  const int found = lookupdn(dn, &number, &j);
  acl_clear_targets();
  if (!granted_on(stored_target{found, number, j, dn}, acl_delete, counted_str{0, nullptr}, 0))
    return ldap_insufficient_access_rights;
  if (found == 0) return ldap_no_such_object;
  if (found < 0) return ldap_operations_error;
  const char* stored_dn;
  if (j != nullptr) {
    stored_dn = j->dn;
  } else {
    if (number >= data_store.record_count) return ldap_operations_error;
    stored_dn = data_store.base +
                data_word(record_offset(static_cast<uint32_t>(number)) + record_dn_field);
  }
  const request_entry change{stored_content(stored_dn), nullptr};
  return journal_append_held(hold, &change) == 0 ? ldap_success : ldap_operations_error;
}

uint64_t delete_entry(counted_str dn) {
  if (acl_entry_count == 0) return ldap_insufficient_access_rights;
  journal_hold hold;
  if (!hold_current(&hold)) return ldap_operations_error;
  const uint64_t result = delete_held(dn, &hold);
  journal_release(&hold);
  return result;
}

void trace_add(const add_request& r, counted_str dn) {
  put(&std_out, dn);
  buf_put_flush(&std_out, "\n", 1);
  if (!trace_enabled) return;
  for (const add_attribute* a = &r.first; a != nullptr; a = a->next) {
    for (const string_node* v = &a->vals; v != nullptr; v = v->next) {
      put(&std_out, a->type);
      buf_put(&std_out, ": ", 2);
      put(&std_out, v->str);
      buf_put_flush(&std_out, "\n", 1);
    }
  }
}

}  // namespace

uint64_t apply_modify(const modify_request* r) { return modify(r); }

void modify_operation(int fd, int64_t message_id, const char* contents, uint64_t,
                      const char* end) {
  static constexpr char kReceived[] = "modifyrequest!\n";
  buf_put_flush(&std_err, kReceived, sizeof kReceived - 1);
  modify_request r;
  if (ldap_decode_modify_request(contents, end, &r) == 0) {
    static constexpr char kUndecodable[] = "could not parse modifyRequest!\n";
    buf_put_flush(&std_err, kUndecodable, sizeof kUndecodable - 1);
    answer(fd, message_id, ldap_modify_response, ldap_protocol_error);
    return;
  }
  if (trace_enabled) trace_modify(r);
  const uint64_t result = modify(&r);
  free_modify_request(&r);
  answer(fd, message_id, ldap_modify_response, result);
}

void add_operation(int fd, int64_t message_id, const char* contents, uint64_t, const char* end) {
  add_request r;
  if (ldap_decode_add_request(contents, end, &r) == 0) {
    answer(fd, message_id, ldap_add_response, ldap_protocol_error);
    return;
  }
  char dn_bytes[dn_capacity];
  counted_str dn;
  request_entry change{counted_str{0, nullptr}, nullptr};
  uint64_t result = ldap_operations_error;
  if (normalise(r.entry, dn_bytes, &dn)) {
    result = add(r, dn, &change);
    trace_add(r, dn);
  }
  free_add_request(&r);
  release_add_change(&change);
  answer(fd, message_id, ldap_add_response, result);
}

void delete_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                      const char*) {
  counted_str received;
  if (ldap_decode_del_request(contents, contents + len, &received) == 0) {
    answer(fd, message_id, ldap_del_response, ldap_protocol_error);
    return;
  }
  if (trace_enabled) {
    buf_put_str(&std_err, "Delete Request for DN \"");
    put(&std_err, received);
    buf_put_flush(&std_err, "\".\n", 3);
  }
  char dn_bytes[dn_capacity];
  counted_str dn;
  if (!normalise(received, dn_bytes, &dn)) {
    answer(fd, message_id, ldap_del_response, ldap_operations_error);
    return;
  }
  answer(fd, message_id, ldap_del_response, delete_entry(dn));
}
