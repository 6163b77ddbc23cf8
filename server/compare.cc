// The compare operation (RFC 4511 4.10): does the entry hold the value?
// Apache's `Require ldap-group` asks this of group entries for every
// request it authorises.
//
// The value is matched as an equality filter on the entry alone, so a
// compare agrees with what a search for the same item finds: the same
// matching rules (case-insensitive attributes fold case) for records and
// journal entries alike. Access is the read right: a client that may not
// read the entry is told it does not exist (32), as a search would not
// show it, and one that may not read the attribute is refused (50), so
// that no answer says anything about a value the client may not see.
#include <unistd.h>

#include <cstdint>

#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "core/diag.h"
#include "core/dn.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/acl.h"
#include "query/dn_lookup.h"
#include "query/match.h"
#include "server/connection.h"
#include "server/operations.h"
#include "store/data_file.h"
#include "store/record.h"

namespace {

void answer(int fd, int64_t message_id, uint64_t code, const char* message) {
  char out[256];
  const uint64_t body = ldap_encode_result(nullptr, code, "", message);
  const uint64_t header = ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id),
                                                     ldap_compare_response, body);
  ldap_encode_result(out + header, code, "", message);
  ldap_encode_message_header(out, static_cast<uint64_t>(message_id), ldap_compare_response, body);
  if (write(fd, out, header + body) < 0) {
    // A client that has gone away notices nothing; the loop's next read
    // ends the connection.
  }
}

uint64_t compare(counted_str received, counted_str type, counted_str value) {
  char dn_bytes[receive_buffer_size];
  if (received.len == 0 || received.len > sizeof dn_bytes) return ldap_no_such_object;
  const int32_t n = canonical_dn(dn_bytes, received.bytes, static_cast<int32_t>(received.len));
  uint64_t number;
  journal_entry* j = nullptr;
  const int found = lookupdn(counted_str{static_cast<uint64_t>(n), dn_bytes}, &number, &j);
  if (found < 0) return ldap_operations_error;
  if (found == 0) return ldap_no_such_object;
  uint32_t record = 0;
  if (j == nullptr) {
    if (number >= data_store.record_count) return ldap_operations_error;
    record = record_offset(static_cast<uint32_t>(number));
  }

  if (acl_entry_count != 0) {
    acl_clear_targets();
    const char* dn_text = data_store.base + data_store.dn_name;
    const bool entry_readable =
        j != nullptr ? acl_check_journal(j, dn_text, cstr_length(dn_text)) == 1
                     : acl_check(record, data_store.dn_name, acl_read, nullptr) == 1;
    if (!entry_readable) return ldap_no_such_object;
    const bool attribute_readable =
        j != nullptr ? acl_check_journal_attribute(j, type.bytes, type.len, acl_read) == 1
                     : acl_check(record, attribute_type_offset(type), acl_read, nullptr) == 1;
    if (!attribute_readable) return ldap_insufficient_access_rights;
  }

  Filter present{};
  present.choice = filter_present;
  present.attribute = type;
  resolve_filter_attributes(&present);
  Filter equal{};
  equal.choice = filter_equality;
  equal.attribute = type;
  equal.value = value;
  resolve_filter_attributes(&equal);
  const auto matches = [&](const Filter* f) {
    return j != nullptr ? match_journal_entry(j, f) != 0 : match_record(record, f) != 0;
  };
  if (!matches(&present)) return ldap_no_such_attribute;
  return matches(&equal) ? ldap_compare_true : ldap_compare_false;
}

}  // namespace

void compare_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                       const char*) {
  counted_str dn, type, value;
  if (ldap_decode_compare_request(contents, contents + len, &dn, &type, &value) == 0) {
    answer(fd, message_id, ldap_protocol_error, "undecodable CompareRequest");
    return;
  }
  if (trace_enabled) {
    buf_put_str(&std_err, "compare request: dn \"");
    if (dn.len != 0) buf_put(&std_err, dn.bytes, dn.len);
    buf_put_str(&std_err, "\" attribute \"");
    buf_put(&std_err, type.bytes, type.len);
    buf_put_flush(&std_err, "\"\n", 2);
  }
  answer(fd, message_id, compare(dn, type, value), "");
}
