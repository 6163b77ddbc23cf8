// Extended operations: "Who am I?" (RFC 4532) is answered, StartTLS is
// refused until the server has TLS, and any other request name gets
// protocolError with the connection kept, as RFC 4511 4.12 asks.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "query/acl.h"
#include "server/connection.h"
#include "server/operations.h"

namespace {

// The answer goes out as one LDAPMessage with one write. A WhoAmI value is
// "dn:" and a DN that fits one received message, so a fixed buffer holds
// every answer.
constexpr uint64_t kAnswerRoom = receive_buffer_size + 256;

void answer(int fd, int64_t message_id, uint64_t code, const char* message, const char* name,
            const char* value, uint64_t value_len) {
  char out[kAnswerRoom];
  const uint64_t body =
      ldap_encode_extended_response(nullptr, code, message, name, value, value_len);
  const uint64_t header = ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id),
                                                     ldap_extended_response, body);
  if (header + body > sizeof out) return;  // cannot happen: see kAnswerRoom
  ldap_encode_extended_response(out + header, code, message, name, value, value_len);
  ldap_encode_message_header(out, static_cast<uint64_t>(message_id), ldap_extended_response,
                             body);
  if (write(fd, out, header + body) < 0) {
    // A client that has gone away notices nothing; the loop's next read
    // ends the connection.
  }
}

bool names(counted_str oid, const char* text) {
  return oid.len == cstr_length(text) && (oid.len == 0 || compare_bytes(oid.bytes, oid.len, text) == 0);
}

// "dn:" and the bound entry's DN, or nothing for an anonymous client.
void who_am_i(int fd, int64_t message_id) {
  char value[receive_buffer_size + 4];
  uint64_t n = 0;
  if (bound_dn != nullptr) {
    const uint64_t dn_len = cstr_length(bound_dn);
    if (dn_len + 3 <= sizeof value) {
      n = copy_text(value, "dn:");
      copy_bytes(value + n, dn_len, bound_dn);
      n += dn_len;
    }
  }
  answer(fd, message_id, ldap_success, "", nullptr, value, n);
}

}  // namespace

void extended_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                        const char*) {
  counted_str name, value;
  int has_value = 0;
  if (ldap_decode_extended_request(contents, contents + len, &name, &value, &has_value) == 0) {
    answer(fd, message_id, ldap_protocol_error, "undecodable ExtendedRequest", nullptr, nullptr, 0);
    return;
  }
  if (trace_enabled) {
    buf_put_str(&std_err, "extended request ");
    if (name.len != 0) buf_put(&std_err, name.bytes, name.len);
    buf_put_flush(&std_err, "\n", 1);
  }
  if (names(name, ldap_oid_who_am_i)) {
    // The request carries no value (RFC 4532 2.1).
    if (has_value != 0) {
      answer(fd, message_id, ldap_protocol_error, "Who am I? takes no value", nullptr, nullptr, 0);
      return;
    }
    who_am_i(fd, message_id);
    return;
  }
  if (names(name, ldap_oid_start_tls)) {
    // RFC 4511 4.14.2: protocolError for a server that does not support
    // TLS; the connection goes on in clear, as the client decides.
    answer(fd, message_id, ldap_protocol_error, "StartTLS is not configured", ldap_oid_start_tls,
           nullptr, 0);
    return;
  }
  answer(fd, message_id, ldap_protocol_error, "unsupported extended operation", nullptr, nullptr,
         0);
}
