// The LDAPMessage envelope and every protocolOp decoder behind it, as the
// server and the clients run them: the message is framed with
// ldap_message_size, its envelope decoded, and the contents handed to the
// decoder of the operation with the end of the message as the limit. DNs
// are normalised as the server does, and normalising twice must change
// nothing more.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/ber.h"
#include "codec/ldap_message.h"
#include "codec/search.h"
#include "codec/update.h"
#include "core/dn.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

namespace {

void normalise(counted_str dn) {
  if (dn.len == 0 || dn.len > INT32_MAX) return;
  const auto len = static_cast<int32_t>(dn.len);
  std::unique_ptr<char[]> once(new char[dn.len]);
  const int32_t n = canonical_dn(once.get(), dn.bytes, len);
  FUZZ_CHECK(n >= 0 && n <= len);
  // In place, as the readers of the journal normalise.
  std::unique_ptr<char[]> twice(new char[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(twice.get(), once.get(), static_cast<size_t>(n));
  const int32_t m = canonical_dn(twice.get(), twice.get(), n);
  FUZZ_CHECK(m == n && (n == 0 || std::memcmp(once.get(), twice.get(), static_cast<size_t>(n)) == 0));
}

void bind(const char* contents, const char* end) {
  int64_t version;
  counted_str name;
  uint64_t method;
  const uint64_t name_end = ldap_decode_bind_request(contents, end, &version, &name, &method);
  if (name_end == 0) return;
  FUZZ_CHECK(inside(name, contents, end));
  counted_str password{0, nullptr};
  ber_decode_string(contents + name_end, end, &password);
  if (password.bytes != nullptr) FUZZ_CHECK(inside(password, contents, end));
  normalise(name);
}

void search(const char* contents, const char* end) {
  search_request r{};
  if (ldap_decode_search_request(contents, end, &r) == 0) return;
  FUZZ_CHECK(inside(r.baseObject, contents, end));
  normalise(r.baseObject);
  free_search_request(&r);
}

void modify(const char* contents, const char* end) {
  modify_request r;
  if (ldap_decode_modify_request(contents, end, &r) != 0) {
    FUZZ_CHECK(inside(r.object, contents, end));
    normalise(r.object);
  }
  free_modify_request(&r);
}

void add(const char* contents, const char* end) {
  add_request r;
  if (ldap_decode_add_request(contents, end, &r) != 0) {
    FUZZ_CHECK(inside(r.entry, contents, end));
    normalise(r.entry);
  }
  free_add_request(&r);
}

void del(const char* contents, uint64_t len) {
  counted_str dn;
  if (ldap_decode_del_request(contents, contents + len, &dn) == 0) return;
  FUZZ_CHECK(dn.len == len && dn.bytes == contents);
  normalise(dn);
}

// As the server reads an ExtendedRequest: within the protocolOp's own
// contents; the response it would send encodes to its counted size.
void extended(const char* contents, uint64_t len) {
  counted_str name, value;
  int has_value = 0;
  const uint64_t n = ldap_decode_extended_request(contents, contents + len, &name, &value, &has_value);
  if (n == 0) return;
  FUZZ_CHECK(n == len && inside(name, contents, contents + len));
  if (has_value != 0) FUZZ_CHECK(inside(value, contents, contents + len));
  const std::string oid(name.bytes, name.len);
  const uint64_t size = ldap_encode_extended_response(nullptr, 2, "m", oid.c_str(), value.bytes,
                                                      has_value != 0 ? value.len : 0);
  std::unique_ptr<char[]> out(new char[size]);
  FUZZ_CHECK(ldap_encode_extended_response(out.get(), 2, "m", oid.c_str(), value.bytes,
                                           has_value != 0 ? value.len : 0) == size);
}

void compare(const char* contents, uint64_t len) {
  counted_str dn, type, value;
  if (ldap_decode_compare_request(contents, contents + len, &dn, &type, &value) == 0) return;
  const char* end = contents + len;
  FUZZ_CHECK(inside(dn, contents, end) && inside(type, contents, end) &&
             inside(value, contents, end) && type.len != 0);
  normalise(dn);
}

void result(const char* contents, const char* end) {
  int64_t code;
  counted_str matched, message, referral;
  ldap_decode_result(contents, end, &code, &matched, &message, &referral);
  ldap_decode_result_full(contents, end, &code, &matched, &message, &referral);
}

void entry(const char* contents, const char* end) {
  search_entry e{};
  if (ldap_decode_search_entry(contents, end, &e) != 0) free_partial_attributes(e.attributes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  uint64_t message_size = 0;
  const int framed = ldap_message_size(start, start + size, &message_size);
  FUZZ_CHECK(framed >= -1 && framed <= 1);
  {
    // Framing and decoding agree: whatever decodes was framed whole, and
    // a header that cannot be framed does not decode either.
    int64_t id;
    uint64_t op, len;
    if (ldap_decode_message(start, start + size, &id, &op, &len) != 0)
      FUZZ_CHECK(framed == 1 && message_size <= size);
    // More bytes never change a size once it is known.
    if (framed == 1 && size > 0) {
      uint64_t shorter_size = 0;
      const int shorter = ldap_message_size(start, start + size - 1, &shorter_size);
      FUZZ_CHECK(shorter == 0 || (shorter == 1 && shorter_size == message_size));
    }
  }
  // The server decodes only a whole message, within its own bytes.
  if (framed != 1 || message_size > size) return 0;
  const char* end = start + message_size;

  int64_t message_id;
  uint64_t op, len;
  const uint64_t header = ldap_decode_message(start, end, &message_id, &op, &len);
  if (header == 0) return 0;
  FUZZ_CHECK(header <= message_size && len <= message_size - header);
  const char* contents = start + header;

  // The response encoder puts the same header back in front.
  if (message_id >= 0) {
    const uint64_t again =
        ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id), op, len);
    FUZZ_CHECK(again > 0);
  }

  {
    // The controls behind the protocolOp, as the connection reads them.
    ldap_control controls[ldap_max_controls];
    const int64_t n = ldap_decode_controls(contents + len, end, controls);
    FUZZ_CHECK(n >= -1 && n <= static_cast<int64_t>(ldap_max_controls));
    for (int64_t i = 0; i < n; ++i) {
      FUZZ_CHECK(inside(controls[i].type, contents + len, end));
      if (controls[i].value.bytes != nullptr) {
        FUZZ_CHECK(inside(controls[i].value, contents + len, end));
      }
    }
  }

  switch (op) {
    case ldap_compare_request: compare(contents, len); break;
    case ldap_extended_request: extended(contents, len); break;
    case ldap_bind_request: bind(contents, end); break;
    case ldap_search_request: search(contents, end); break;
    case ldap_modify_request: modify(contents, end); break;
    case ldap_add_request: add(contents, end); break;
    case ldap_del_request: del(contents, len); break;
    case ldap_search_result_entry: entry(contents, end); break;
    case ldap_bind_response:
    case ldap_search_result_done:
    case ldap_modify_response:
    case ldap_add_response:
    case ldap_del_response: result(contents, end); break;
    default: break;
  }
  return 0;
}
