// Extended operations: "Who am I?" (RFC 4532) and Password Modify (RFC
// 3062) are answered, StartTLS is refused until the server has TLS, and
// any other request name gets protocolError with the connection kept, as
// RFC 4511 4.12 asks.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include <openssl/rand.h>

#include "codec/ber.h"
#include "codec/ldap_message.h"
#include "codec/update.h"
#include "core/dn.h"
#include "server/bind.h"
#include "server/password.h"
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

// ---- Password Modify --------------------------------------------------------

// The request value: SEQUENCE { userIdentity [0], oldPasswd [1], newPasswd
// [2] }, each optional, in that order, primitive. Absent fields are left
// with null bytes. False when the value does not decode.
struct password_change {
  counted_str user{0, nullptr};
  counted_str old_password{0, nullptr};
  counted_str new_password{0, nullptr};
};

bool decode_password_change(counted_str value, password_change* out) {
  const char* end = value.bytes + value.len;
  uint64_t len = 0;
  const uint64_t s = ber_decode_sequence(value.bytes, end, &len);
  if (s == 0 || value.len - s != len) return false;
  const char* p = value.bytes + s;
  counted_str* fields[] = {&out->user, &out->old_password, &out->new_password};
  uint64_t next = 0;
  while (p < end) {
    unsigned cls, constructed;
    uint64_t tag;
    const char* content;
    uint64_t n;
    const uint64_t size = ber_decode_header(p, end, &cls, &constructed, &tag, &content, &n);
    if (size == 0 || cls != ber_context || constructed != ber_primitive || tag < next || tag > 2)
      return false;
    *fields[tag] = counted_str{n, content};
    next = tag + 1;
    p += size;
  }
  return true;
}

// A new password of letters and digits, drawn by OpenSSL's generator
// (rejection sampling keeps every character equally likely): false when
// the generator fails.
constexpr uint64_t kGeneratedLength = 16;
bool generate_password(char* out) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr unsigned kSize = sizeof kAlphabet - 1;  // 62
  uint64_t made = 0;
  while (made < kGeneratedLength) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    for (unsigned char b : bytes) {
      if (b >= 4 * kSize) continue;  // 248 and above would favour some characters
      if (made < kGeneratedLength) out[made++] = kAlphabet[b % kSize];
    }
  }
  return true;
}

// Changes the userPassword of the named entry (or of the bound one) to the
// new password, stored hashed, as a modify that replaces the attribute:
// the client needs the write right on userPassword there. With the old
// password given, it must be the entry's current one (49 otherwise). A
// password generated for the client is returned in the answer.
void password_modify(int fd, int64_t message_id, counted_str value, int has_value) {
  password_change change;
  if (has_value != 0 && !decode_password_change(value, &change)) {
    answer(fd, message_id, ldap_protocol_error, "undecodable Password Modify request", nullptr,
           nullptr, 0);
    return;
  }
  char dn_bytes[receive_buffer_size];
  counted_str dn{0, nullptr};
  if (change.user.bytes != nullptr) {
    if (change.user.len == 0 || change.user.len > sizeof dn_bytes) {
      answer(fd, message_id, ldap_no_such_object, "no such entry", nullptr, nullptr, 0);
      return;
    }
    const int32_t n = canonical_dn(dn_bytes, change.user.bytes, static_cast<int32_t>(change.user.len));
    dn = counted_str{static_cast<uint64_t>(n), dn_bytes};
  } else if (bound_dn != nullptr) {
    dn = counted_str{cstr_length(bound_dn), bound_dn};
  } else {
    answer(fd, message_id, ldap_unwilling_to_perform, "bind first, or name the entry", nullptr,
           nullptr, 0);
    return;
  }
  if (change.old_password.bytes != nullptr &&
      entry_password_matches(dn, change.old_password) == 0) {
    answer(fd, message_id, ldap_invalid_credentials, "the old password is not the entry's",
           nullptr, nullptr, 0);
    return;
  }
  if (change.new_password.bytes != nullptr && change.new_password.len == 0) {
    answer(fd, message_id, ldap_unwilling_to_perform, "an empty password is refused", nullptr,
           nullptr, 0);
    return;
  }
  char generated[kGeneratedLength];
  counted_str new_password = change.new_password;
  if (new_password.bytes == nullptr) {
    if (!generate_password(generated)) {
      answer(fd, message_id, ldap_operations_error, "no password could be generated", nullptr,
             nullptr, 0);
      return;
    }
    new_password = counted_str{kGeneratedLength, generated};
  }
  char hashed[md5_password_length + 1];
  md5_password_text(hashed, new_password.bytes, new_password.len);

  string_node hashed_value{counted_str{md5_password_length, hashed}, 0, nullptr};
  modify_request request{};
  request.object = dn;
  request.first.operation = modify_replace;
  request.first.type = counted_str{12, "userPassword"};
  request.first.vals = &hashed_value;
  request.first.next = nullptr;
  const uint64_t result = apply_modify(&request);
  if (result != ldap_success || change.new_password.bytes != nullptr) {
    answer(fd, message_id, result, "", nullptr, nullptr, 0);
  } else {
    // PasswdModifyResponseValue: SEQUENCE { genPasswd [0] }.
    char response[kGeneratedLength + 4];
    response[0] = 0x30;
    response[1] = static_cast<char>(kGeneratedLength + 2);
    response[2] = static_cast<char>(0x80);
    response[3] = static_cast<char>(kGeneratedLength);
    copy_bytes(response + 4, kGeneratedLength, generated);
    answer(fd, message_id, ldap_success, "", nullptr, response, sizeof response);
  }
  clear_bytes(generated, sizeof generated);
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
  if (names(name, ldap_oid_password_modify)) {
    password_modify(fd, message_id, value, has_value);
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
