// The server's BindRequest decoders (simple and SASL) and the credentials
// that follow a simple one, and the encoder over what was decoded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codec/ber.h"
#include "codec/ldap_message.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  const char* end = start + size;
  int64_t version = 0;
  counted_str name{0, nullptr};
  uint64_t auth_tag = 0;
  const uint64_t name_end = ldap_decode_bind_request(start, end, &version, &name, &auth_tag);
  if (name_end == 0) {
    // What the simple decoder refuses may be a SASL bind, answered at once.
    int64_t sasl_version = 0;
    counted_str sasl_name{0, nullptr};
    if (ldap_decode_sasl_bind_request(start, end, &sasl_version, &sasl_name) != 0) {
      FUZZ_CHECK(inside(sasl_name, start, end));
    }
    return 0;
  }
  FUZZ_CHECK(name_end <= size);
  FUZZ_CHECK(inside(name, start, end));
  // As the server reads them: whatever the element's tag.
  counted_str password{0, nullptr};
  ber_decode_string(start + name_end, end, &password);
  if (password.bytes == nullptr) return 0;
  FUZZ_CHECK(inside(password, start, end));

  // Simple credentials of texts without NUL bytes encode and decode back.
  if (auth_tag != 0 || version < 0 || has_nul(name) || has_nul(password)) {
    return 0;
  }
  const std::string name_text(name.bytes, name.len);
  const std::string password_text(password.bytes, password.len);
  const std::string bytes = encoded([&](char* dest) {
    return ldap_encode_bind_request(dest, static_cast<uint64_t>(version), name_text.c_str(),
                                    password_text.c_str());
  });
  const exact_copy in(bytes);
  int64_t version2 = -1;
  counted_str name2{0, nullptr};
  uint64_t auth_tag2 = 99;
  const uint64_t name_end2 =
      ldap_decode_bind_request(in.begin(), in.end(), &version2, &name2, &auth_tag2);
  FUZZ_CHECK(name_end2 != 0 && version2 == version && auth_tag2 == 0);
  FUZZ_CHECK(same_bytes(name2, name));
  // The [0] element is no OCTET STRING, so the decoder refuses it after
  // setting the credentials, as the server expects.
  counted_str password2{0, nullptr};
  ber_decode_string(in.begin() + name_end2, in.end(), &password2);
  FUZZ_CHECK(password2.bytes != nullptr && same_bytes(password2, password));
  FUZZ_CHECK(password2.bytes + password2.len == in.end());
  return 0;
}
