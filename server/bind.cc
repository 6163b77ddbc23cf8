// The simple bind: look the name up, verify the password against the
// entry's userPassword, and on success make that entry the identity the
// ACLs are evaluated for.
#include "server/bind.h"

#include <unistd.h>

#include <cstdint>

#include "codec/ber.h"
#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "core/diag.h"
#include "core/dn.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/acl.h"
#include "query/dn_lookup.h"
#include "server/connection.h"
#include "server/operations.h"
#include "server/password.h"
#include "store/data_file.h"
#include "store/record.h"

namespace {

// Every name that can be bound fits in one received message, so its DN
// (which compares equal to it, so is no longer) fits here too.
constexpr uint64_t dn_capacity = receive_buffer_size;

// The text bound_dn points at while someone is bound.
char bound_dn_text[dn_capacity + 1];
// data_store.generation when bound_record was set.
uint64_t bound_generation = 0;

constexpr char go_ahead[] = "go ahead";
constexpr char auth_failure[] = "authentication failure";
constexpr char unauthenticated[] = "unauthenticated bind (name without password) refused";
constexpr char no_sasl[] = "SASL is not supported; use a simple bind";

// The BindResponse: one LDAPMessage, one write.
void answer(int fd, int64_t message_id, uint64_t code, const char* message) {
  // resultCode, an empty matchedDN and a short fixed message, behind the
  // message header: far below this size.
  char out[128];
  const uint64_t body = ldap_encode_result(nullptr, code, "", message);
  const uint64_t header =
      ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id), ldap_bind_response, body);
  ldap_encode_result(out + header, code, "", message);
  ldap_encode_message_header(out, static_cast<uint64_t>(message_id), ldap_bind_response, body);
  if (write(fd, out, header + body) < 0) {
    // A client that has gone away notices nothing; the loop's next read
    // ends the connection.
  }
}

void trace_bind(int64_t version, counted_str name, uint64_t method) {
  buf_put_str(&std_err, "bind request: version ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(version));
  buf_put_str(&std_err, " for name \"");
  buf_put(&std_err, name.bytes, name.len);
  buf_put_str(&std_err, "\" with method ");
  buf_put_decimal(&std_err, method);
  buf_put_flush(&std_err, ".\n", 2);
}

// Makes (record, dn) the bound identity; false, changing nothing, when the
// DN text does not fit the copy.
bool adopt_identity(uint32_t record, const char* dn) {
  const uint64_t n = cstr_length(dn);
  if (n > dn_capacity) return false;
  copy_bytes(bound_dn_text, n, dn);
  bound_dn_text[n] = '\0';
  bound_record = record;
  bound_dn = bound_dn_text;
  bound_generation = data_store.generation;
  return true;
}

const char* record_dn(uint32_t record) {
  return data_store.base + record_value(record, data_store.dn_name);
}

// The value of the first attribute named exactly "userPassword", or null.
const char* journal_password(const journal_entry* e) {
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    if (compare_text(e->attributes[i].name, "userPassword") == 0) return e->attributes[i].value;
  }
  return nullptr;
}

}  // namespace

void bind_operation(int fd, int64_t message_id, const char* contents, uint64_t, const char* end) {
  int64_t version;
  counted_str name;
  uint64_t method;
  const uint64_t name_end = ldap_decode_bind_request(contents, end, &version, &name, &method);
  // Every bind starts from anonymous (RFC 4511 4.2.1): one that fails (one
  // that does not decode included), and an anonymous one, leave the
  // connection anonymous, so that a client that checks a user's password by
  // binding as the user never goes on with the rights of whoever was bound
  // before.
  reset_bound_identity();
  if (name_end == 0) {
    // No SASL mechanism is offered. Saying so at once matters: a client
    // that started one waits for the server's next step for ever.
    if (ldap_decode_sasl_bind_request(contents, end, &version, &name) != 0) {
      if (trace_enabled) trace_bind(version, name, ldap_auth_sasl);
      answer(fd, message_id, ldap_auth_method_not_supported, no_sasl);
    } else {
      // Every request is answered: the client learns why, and may go on.
      answer(fd, message_id, ldap_protocol_error, "undecodable BindRequest");
    }
    return;
  }
  if (trace_enabled) trace_bind(version, name, method);

  // The credentials are the contents of the authentication element,
  // whatever its tag: the decoder sets them once identifier and length have
  // decoded and then refuses the non-OCTET STRING tag, which is expected.
  // When the length runs past the message they are never set, and there is
  // nothing to compare.
  counted_str password{0, nullptr};
  ber_decode_string(contents + name_end, end, &password);
  if (password.bytes == nullptr) {
    answer(fd, message_id, ldap_invalid_credentials, auth_failure);
    return;
  }

  // Anonymous: nothing is looked up. A password without a name is no anonymous bind (RFC 4513 5.1.1 sends
  // neither) but a client that lost the name on the way; answering success
  // would tell it that it authenticated.
  if (name.len == 0) {
    if (password.len == 0) {
      answer(fd, message_id, ldap_success, go_ahead);
    } else {
      answer(fd, message_id, ldap_invalid_credentials, auth_failure);
    }
    return;
  }
  // A name without a password is an unauthenticated bind (RFC 4513
  // 5.1.2): clients send it when a user just pressed Enter at the
  // password prompt, and taking it as success would treat a typo as a
  // login. It is refused before the name is looked at, so the answer
  // tells nothing about which names exist.
  if (password.len == 0) {
    answer(fd, message_id, ldap_unwilling_to_perform, unauthenticated);
    return;
  }
  if (name.len > dn_capacity) {
    answer(fd, message_id, ldap_invalid_credentials, auth_failure);
    return;
  }

  // From here on every failure, unknown name or wrong password alike, is
  // the same answer, so that a client cannot tell which names exist.
  char dn[dn_capacity];
  const int32_t dn_len = canonical_dn(dn, name.bytes, static_cast<int32_t>(name.len));
  uint64_t number;
  journal_entry* entry = nullptr;
  if (lookupdn(counted_str{static_cast<uint64_t>(dn_len), dn}, &number, &entry) != 1) {
    answer(fd, message_id, ldap_invalid_credentials, auth_failure);
    return;
  }

  uint32_t record = 0;
  const char* stored;
  const char* entry_dn;
  if (entry != nullptr) {
    stored = journal_password(entry);
    entry_dn = entry->dn;
    if (stored == nullptr) {
      answer(fd, message_id, ldap_invalid_credentials, auth_failure);
      return;
    }
  } else {
    record = record_offset(static_cast<uint32_t>(number));
    const uint32_t value =
        data_store.user_password_name != 0 ? record_value(record, data_store.user_password_name) : 0;
    if (value == 0) {
      static constexpr char no_password[] = "no userPassword attribute found, bind failed!\n";
      buf_put_flush(&std_err, no_password, sizeof no_password - 1);
      answer(fd, message_id, ldap_invalid_credentials, auth_failure);
      return;
    }
    stored = data_store.base + value;
    entry_dn = record_dn(record);
  }

  if (check_password(stored, password) == 0 || !adopt_identity(record, entry_dn)) {
    answer(fd, message_id, ldap_invalid_credentials, auth_failure);
    return;
  }
  acl_refresh_subjects(entry);
  answer(fd, message_id, ldap_success, go_ahead);
}

void reset_bound_identity() {
  bound_record = 0;
  bound_dn = nullptr;
  bound_generation = data_store.generation;
  acl_refresh_subjects(nullptr);
}

void refresh_bound_identity() {
  if (bound_dn == nullptr || bound_generation == data_store.generation) return;

  // bound_record is an offset into the file that was unmapped; the DN text
  // is the bind's own copy and still tells who the client is.
  uint64_t number;
  journal_entry* entry = nullptr;
  const int found =
      lookupdn(counted_str{cstr_length(bound_dn_text), bound_dn_text}, &number, &entry);
  bool bound = false;
  if (found == 1 && entry != nullptr) {
    bound = adopt_identity(0, entry->dn);
  } else if (found == 1) {
    const uint32_t record = record_offset(static_cast<uint32_t>(number));
    bound = adopt_identity(record, record_dn(record));
  }
  if (!bound) {
    reset_bound_identity();
    return;
  }
  acl_refresh_subjects(entry);
}

int entry_password_matches(counted_str dn, counted_str password) {
  if (dn.len == 0) return 0;
  uint64_t number;
  journal_entry* entry = nullptr;
  if (lookupdn(dn, &number, &entry) != 1) return 0;
  const char* stored = nullptr;
  if (entry != nullptr) {
    stored = journal_password(entry);
  } else if (number < data_store.record_count && data_store.user_password_name != 0) {
    const uint32_t value =
        record_value(record_offset(static_cast<uint32_t>(number)), data_store.user_password_name);
    if (value != 0) stored = data_store.base + value;
  }
  return stored != nullptr && check_password(stored, password) != 0 ? 1 : 0;
}
