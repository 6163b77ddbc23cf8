// The LDAPMessage envelope, LDAPResult contents and the BindRequest.

#include "codec/ldap_message.h"

#include <cstring>

#include "codec/ber.h"

// Texts from callers are NUL-terminated; a null pointer is taken as the
// empty text so that "no name" and "" encode alike.
static uint64_t text_length(const char* text) { return text ? std::strlen(text) : 0; }

uint64_t ldap_decode_message(const char* start, const char* end, int64_t* message_id, uint64_t* op,
                             uint64_t* op_len) {
  uint64_t seq_len;  // only its fit matters: controls behind the op are not read
  uint64_t pos = ber_decode_sequence(start, end, &seq_len);
  if (pos == 0) return 0;
  uint64_t n = ber_decode_integer(start + pos, end, message_id);
  if (n == 0) return 0;
  pos += n;
  unsigned cls, constructed;
  uint64_t tag;
  n = ber_decode_tag(start + pos, end, &cls, &constructed, &tag);
  // Either form: an UnbindRequest comes primitive, the delete client sends
  // its DelRequest constructed.
  if (n == 0 || cls != ber_application) return 0;
  *op = tag;
  pos += n;
  n = ber_decode_length(start + pos, end, op_len);
  if (n == 0) return 0;
  return pos + n;
}

int ldap_message_size(const char* start, const char* end, uint64_t* size) {
  if (start >= end) return 0;
  // The class and form are in the first octet: refuse at once, so that a
  // peer sending garbage is not waited for.
  const unsigned first = static_cast<unsigned char>(start[0]);
  if ((first & 0xE0) != (ber_universal | ber_constructed)) return -1;
  unsigned cls, constructed;
  uint64_t tag, total;
  const int status = ber_peek_element_size(start, end, &cls, &constructed, &tag, &total);
  if (status < 0) return -1;
  if (status == 0) {
    // The length is not all here yet; the identifier may be, and a wrong
    // tag number needs no more bytes to be refused.
    if (ber_decode_tag(start, end, &cls, &constructed, &tag) != 0 && tag != ber_tag_sequence)
      return -1;
    return 0;
  }
  if (tag != ber_tag_sequence) return -1;
  *size = total;
  return 1;
}

uint64_t ldap_encode_message_header(char* dest, uint64_t message_id, uint64_t op, uint64_t op_len) {
  const uint64_t m =
      ber_encode_integer(nullptr, ber_universal, ber_primitive, ber_tag_integer, message_id);
  const uint64_t p = ber_encode_header(nullptr, ber_application, ber_constructed, op, op_len);
  const uint64_t s =
      ber_encode_header(dest, ber_universal, ber_constructed, ber_tag_sequence, m + p + op_len);
  if (dest) {
    ber_encode_integer(dest + s, ber_universal, ber_primitive, ber_tag_integer, message_id);
    // Always constructed, also for a DelRequest whose contents are bare DN
    // bytes: that is what peers have always been sent.
    ber_encode_header(dest + s + m, ber_application, ber_constructed, op, op_len);
  }
  return s + m + p;
}

uint64_t ldap_encode_result(char* dest, uint64_t result_code, const char* matched_dn,
                            const char* error_message) {
  uint64_t n =
      ber_encode_integer(dest, ber_universal, ber_primitive, ber_tag_enumerated, result_code);
  n += static_cast<uint64_t>(ber_encode_string(dest ? dest + n : nullptr, ber_universal,
                                               ber_primitive, ber_tag_octet_string, matched_dn,
                                               text_length(matched_dn)));
  n += static_cast<uint64_t>(ber_encode_string(dest ? dest + n : nullptr, ber_universal,
                                               ber_primitive, ber_tag_octet_string, error_message,
                                               text_length(error_message)));
  return n;
}

static constexpr counted_str empty_str = {0, nullptr};

uint64_t ldap_decode_result(const char* start, const char* end, int64_t* result_code,
                            counted_str* matched_dn, counted_str* error_message,
                            counted_str* referral) {
  uint64_t pos = ber_decode_enumerated(start, end, result_code);
  if (pos == 0) return 0;
  uint64_t n = ber_decode_string(start + pos, end, matched_dn);
  if (n == 0) return 0;
  pos += n;
  // Old or terse servers stop after matchedDN; take what is there.
  if (start + pos >= end) {
    *error_message = empty_str;
    *referral = empty_str;
    return pos;
  }
  n = ber_decode_string(start + pos, end, error_message);
  if (n == 0) return 0;
  pos += n;
  if (start + pos >= end) {
    *referral = empty_str;
    return pos;
  }
  // Whatever follows is a referral only if it reads as a string; a failed
  // attempt must not leave half a result in *referral.
  counted_str r;
  n = ber_decode_string(start + pos, end, &r);
  if (n != 0) {
    *referral = r;
    pos += n;
  }
  return pos;
}

uint64_t ldap_decode_result_full(const char* start, const char* end, int64_t* result_code,
                                 counted_str* matched_dn, counted_str* error_message,
                                 counted_str* referral) {
  uint64_t pos = ber_decode_enumerated(start, end, result_code);
  if (pos == 0) return 0;
  uint64_t n = ber_decode_string(start + pos, end, matched_dn);
  if (n == 0) return 0;
  pos += n;
  n = ber_decode_string(start + pos, end, error_message);
  if (n == 0) return 0;
  pos += n;
  if (start + pos == end) {
    *referral = empty_str;
    return pos;
  }
  n = ber_decode_string(start + pos, end, referral);
  if (n == 0) return 0;
  return pos + n;
}

// Version and name, then the authentication element's identifier; the
// offset of that element, or 0.
static uint64_t decode_bind_head(const char* start, const char* end, int64_t* version,
                                 counted_str* name, unsigned* cls, unsigned* constructed,
                                 uint64_t* tag) {
  uint64_t pos = ber_decode_integer(start, end, version);
  if (pos == 0) return 0;
  uint64_t n = ber_decode_string(start + pos, end, name);
  if (n == 0) return 0;
  pos += n;
  if (ber_decode_tag(start + pos, end, cls, constructed, tag) == 0) return 0;
  return pos;
}

uint64_t ldap_decode_bind_request(const char* start, const char* end, int64_t* version,
                                  counted_str* name, uint64_t* auth_tag) {
  unsigned cls, constructed;
  uint64_t tag;
  // Only the identifier of the authentication choice is judged here; the
  // bind operation reads its contents itself.
  const uint64_t pos = decode_bind_head(start, end, version, name, &cls, &constructed, &tag);
  if (pos == 0 || cls != ber_context || constructed != ber_primitive) return 0;
  *auth_tag = tag;
  return pos;
}

uint64_t ldap_decode_sasl_bind_request(const char* start, const char* end, int64_t* version,
                                       counted_str* name) {
  unsigned cls, constructed;
  uint64_t tag;
  const uint64_t pos = decode_bind_head(start, end, version, name, &cls, &constructed, &tag);
  if (pos == 0 || cls != ber_context || constructed != ber_constructed || tag != ldap_auth_sasl)
    return 0;
  return pos;
}

int64_t ldap_encode_bind_request(char* dest, uint64_t version, const char* name,
                                 const char* password) {
  const uint64_t v =
      ber_encode_integer(dest, ber_universal, ber_primitive, ber_tag_integer, version);
  const int64_t n = ber_encode_string(dest ? dest + v : nullptr, ber_universal, ber_primitive,
                                      ber_tag_octet_string, name, text_length(name));
  if (n == -1) return -1;
  uint64_t total = v + static_cast<uint64_t>(n);
  if (total < v) return -1;
  // [0] primitive: simple authentication.
  const int64_t p = ber_encode_string(dest ? dest + total : nullptr, ber_context, ber_primitive, 0,
                                      password, text_length(password));
  if (p == -1) return -1;
  const uint64_t sum = total + static_cast<uint64_t>(p);
  if (sum < total || sum > static_cast<uint64_t>(INT64_MAX)) return -1;
  return static_cast<int64_t>(sum);
}

// ---- Extended operations ----------------------------------------------------

uint64_t ldap_decode_extended_request(const char* start, const char* end, counted_str* name,
                                      counted_str* value, int* has_value) {
  unsigned cls, constructed;
  uint64_t tag;
  const char* content;
  uint64_t len;
  const uint64_t first = ber_decode_header(start, end, &cls, &constructed, &tag, &content, &len);
  if (first == 0 || cls != ber_context || constructed != ber_primitive || tag != 0) return 0;
  *name = counted_str{len, content};
  *has_value = 0;
  *value = counted_str{0, nullptr};
  const char* p = start + first;
  if (p == end) return first;
  const uint64_t second = ber_decode_header(p, end, &cls, &constructed, &tag, &content, &len);
  if (second == 0 || cls != ber_context || constructed != ber_primitive || tag != 1) return 0;
  if (p + second != end) return 0;
  *value = counted_str{len, content};
  *has_value = 1;
  return first + second;
}

uint64_t ldap_encode_extended_response(char* dest, uint64_t result_code, const char* message,
                                       const char* name, const char* value, uint64_t value_len) {
  uint64_t n = ldap_encode_result(dest, result_code, "", message);
  if (name != nullptr) {
    n += static_cast<uint64_t>(ber_encode_string(dest ? dest + n : nullptr, ber_context,
                                                 ber_primitive, 10, name, text_length(name)));
  }
  if (value != nullptr) {
    n += static_cast<uint64_t>(ber_encode_string(dest ? dest + n : nullptr, ber_context,
                                                 ber_primitive, 11, value, value_len));
  }
  return n;
}

uint64_t ldap_decode_compare_request(const char* start, const char* end, counted_str* dn,
                                     counted_str* type, counted_str* value) {
  const uint64_t a = ber_decode_string(start, end, dn);
  if (a == 0) return 0;
  uint64_t ava_len = 0;
  const uint64_t s = ber_decode_sequence(start + a, end, &ava_len);
  if (s == 0 || static_cast<uint64_t>(end - (start + a + s)) != ava_len) return 0;
  const char* p = start + a + s;
  const uint64_t t = ber_decode_string(p, end, type);
  if (t == 0 || type->len == 0) return 0;
  const uint64_t v = ber_decode_string(p + t, end, value);
  if (v == 0 || p + t + v != end) return 0;
  return static_cast<uint64_t>(end - start);
}

// ---- Controls -------------------------------------------------------------------

int64_t ldap_decode_controls(const char* start, const char* end, ldap_control* out) {
  if (start == end) return 0;
  unsigned cls, constructed;
  uint64_t tag;
  const char* content;
  uint64_t len;
  const uint64_t all = ber_decode_header(start, end, &cls, &constructed, &tag, &content, &len);
  if (all == 0 || start + all != end || cls != ber_context || constructed != ber_constructed ||
      tag != 0)
    return -1;
  const char* p = content;
  const char* list_end = content + len;
  int64_t count = 0;
  while (p < list_end) {
    if (static_cast<uint64_t>(count) == ldap_max_controls) return -1;
    uint64_t control_len = 0;
    const uint64_t s = ber_decode_sequence(p, list_end, &control_len);
    if (s == 0) return -1;
    const char* q = p + s;
    const char* control_end = q + control_len;
    ldap_control& c = out[count];
    c = ldap_control{{0, nullptr}, 0, {0, nullptr}};
    const uint64_t t = ber_decode_string(q, control_end, &c.type);
    if (t == 0) return -1;
    q += t;
    if (q < control_end && static_cast<unsigned char>(*q) == 0x01) {
      // BOOLEAN: clients send TRUE as 0xff (DER) or any other non-zero
      // byte (BER), so only the length is strict.
      const char* b;
      uint64_t b_len;
      const uint64_t n = ber_decode_header(q, control_end, &cls, &constructed, &tag, &b, &b_len);
      if (n == 0 || b_len != 1) return -1;
      c.critical = *b != 0 ? 1 : 0;
      q += n;
    }
    if (q < control_end) {
      const uint64_t v = ber_decode_string(q, control_end, &c.value);
      if (v == 0) return -1;
      q += v;
    }
    if (q != control_end) return -1;
    p = control_end;
    ++count;
  }
  return count;
}
