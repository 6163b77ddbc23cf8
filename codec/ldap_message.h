// The LDAPMessage envelope, LDAPResult and BindRequest (RFC 4511).
//
// Same conventions as ber.h. To send a message: encode the protocolOp's
// contents first at a place that leaves room in front, size the header with
// ldap_encode_message_header(nullptr, ...), write it right in front of the
// contents, and send both with one write.
#ifndef FERROWYN_CODEC_LDAP_MESSAGE_H_
#define FERROWYN_CODEC_LDAP_MESSAGE_H_

#include <cstdint>

#include "core/counted_str.h"

// protocolOp tag numbers.
constexpr uint64_t ldap_bind_request = 0;
constexpr uint64_t ldap_bind_response = 1;
constexpr uint64_t ldap_unbind_request = 2;
constexpr uint64_t ldap_search_request = 3;
constexpr uint64_t ldap_search_result_entry = 4;
constexpr uint64_t ldap_search_result_done = 5;
constexpr uint64_t ldap_modify_request = 6;
constexpr uint64_t ldap_modify_response = 7;
constexpr uint64_t ldap_add_request = 8;
constexpr uint64_t ldap_add_response = 9;
constexpr uint64_t ldap_del_request = 10;
constexpr uint64_t ldap_del_response = 11;
constexpr uint64_t ldap_compare_request = 14;
constexpr uint64_t ldap_compare_response = 15;
constexpr uint64_t ldap_abandon_request = 16;
constexpr uint64_t ldap_extended_request = 23;
constexpr uint64_t ldap_extended_response = 24;

// Extended operations (LDAPOIDs) the server knows.
constexpr char ldap_oid_start_tls[] = "1.3.6.1.4.1.1466.20037";           // RFC 4511 4.14
constexpr char ldap_oid_who_am_i[] = "1.3.6.1.4.1.4203.1.11.3";           // RFC 4532
constexpr char ldap_oid_password_modify[] = "1.3.6.1.4.1.4203.1.11.1";    // RFC 3062
constexpr char ldap_oid_notice_of_disconnection[] = "1.3.6.1.4.1.1466.20036";  // RFC 4511 4.4.1

// resultCodes the server sends.
constexpr uint64_t ldap_success = 0;
constexpr uint64_t ldap_operations_error = 1;
constexpr uint64_t ldap_protocol_error = 2;
constexpr uint64_t ldap_compare_false = 5;
constexpr uint64_t ldap_compare_true = 6;
constexpr uint64_t ldap_auth_method_not_supported = 7;
constexpr uint64_t ldap_unavailable_critical_extension = 12;
constexpr uint64_t ldap_no_such_attribute = 16;
constexpr uint64_t ldap_no_such_object = 32;
constexpr uint64_t ldap_inappropriate_authentication = 48;
constexpr uint64_t ldap_invalid_credentials = 49;
constexpr uint64_t ldap_insufficient_access_rights = 50;
constexpr uint64_t ldap_unwilling_to_perform = 53;
constexpr uint64_t ldap_object_class_violation = 65;
constexpr uint64_t ldap_entry_already_exists = 68;

// Decodes SEQUENCE header, messageID and the protocolOp's identifier (must
// be application class, either form) and length. Returns the offset of the
// protocolOp's first content octet, or 0. Anything after the protocolOp
// inside the SEQUENCE (controls) is not looked at.
uint64_t ldap_decode_message(const char* start, const char* end, int64_t* message_id,
                             uint64_t* op, uint64_t* op_len);
// Size of the whole LDAPMessage at start, for framing a stream: 1 with *size
// (which may exceed end - start), 0 when more bytes are needed to know, -1
// when the bytes cannot start an LDAPMessage (not a universal constructed
// SEQUENCE, or a malformed length).
int ldap_message_size(const char* start, const char* end, uint64_t* size);
// Writes SEQUENCE header, messageID and the (always constructed) protocolOp
// header for op_len content bytes; returns its size.
uint64_t ldap_encode_message_header(char* dest, uint64_t message_id, uint64_t op,
                                    uint64_t op_len);

// LDAPResult contents: ENUMERATED resultCode, matchedDN, errorMessage.
uint64_t ldap_encode_result(char* dest, uint64_t result_code, const char* matched_dn,
                            const char* error_message);
// Client side, lenient: errorMessage and referral may be missing (then set
// to length 0, null); an undecodable trailing referral is ignored.
uint64_t ldap_decode_result(const char* start, const char* end, int64_t* result_code,
                            counted_str* matched_dn, counted_str* error_message,
                            counted_str* referral);
// Client side, strict: errorMessage required, and anything after it must be
// an OCTET STRING referral.
uint64_t ldap_decode_result_full(const char* start, const char* end, int64_t* result_code,
                                 counted_str* matched_dn, counted_str* error_message,
                                 counted_str* referral);

// Version and name; the authentication element's identifier must be context
// class and primitive, its tag number goes to *auth_tag. Returns the size of
// version and name only: the authentication element starts there.
uint64_t ldap_decode_bind_request(const char* start, const char* end, int64_t* version,
                                  counted_str* name, uint64_t* auth_tag);
// The tag number of the AuthenticationChoice sasl [3] (SaslCredentials).
constexpr uint64_t ldap_auth_sasl = 3;
// The BindRequest that ldap_decode_bind_request refuses for its SASL
// credentials: version and name, and an authentication element that is
// context class, constructed, tag number ldap_auth_sasl. Returns the size
// of version and name, or 0 for any other authentication element. Like
// ldap_decode_bind_request it reads only the element's identifier, so a
// server can refuse the mechanism without decoding it.
uint64_t ldap_decode_sasl_bind_request(const char* start, const char* end, int64_t* version,
                                       counted_str* name);
// BindRequest contents with simple authentication; -1 if a piece cannot be
// encoded.
int64_t ldap_encode_bind_request(char* dest, uint64_t version, const char* name,
                                 const char* password);

// ExtendedRequest contents: requestName [0] and an optional requestValue
// [1], both primitive; nothing may follow them. Returns the bytes consumed
// (end - start) with *name and *value set (*has_value 0 when there is no
// value), or 0.
uint64_t ldap_decode_extended_request(const char* start, const char* end, counted_str* name,
                                      counted_str* value, int* has_value);
// ExtendedResponse contents: the LDAPResult (empty matchedDN), then
// responseName [10] when name is not null and responseValue [11] when
// value is not null (value_len bytes). Returns the size; writes only when
// dest is not null.
uint64_t ldap_encode_extended_response(char* dest, uint64_t result_code, const char* message,
                                       const char* name, const char* value, uint64_t value_len);

// CompareRequest contents: entry LDAPDN, then the AttributeValueAssertion
// SEQUENCE { attributeDesc, assertionValue }, and nothing after it; the
// description may not be empty. Returns end - start, or 0.
uint64_t ldap_decode_compare_request(const char* start, const char* end, counted_str* dn,
                                     counted_str* type, counted_str* value);

// One control of a request (RFC 4511 4.1.11); the strings point into the
// message.
struct ldap_control {
  counted_str type;    // controlType, an LDAPOID
  int critical;        // criticality, FALSE when absent
  counted_str value;   // controlValue; bytes null when absent
};
// The most controls one request may carry.
constexpr uint64_t ldap_max_controls = 16;
// The controls of a request: [start, end) is what follows the protocolOp
// inside the LDAPMessage, empty when there are none, else exactly one
// controls [0] SEQUENCE OF Control. Fills out (room for ldap_max_controls)
// and returns the number of controls, or -1 when they do not decode or are
// more than ldap_max_controls.
int64_t ldap_decode_controls(const char* start, const char* end, ldap_control* out);

#endif  // FERROWYN_CODEC_LDAP_MESSAGE_H_
