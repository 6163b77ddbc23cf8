// The clients' LDAPResult decoders: the lenient one must accept whatever
// the strict one accepts, with the same fields.
#include <cstddef>
#include <cstdint>

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
  int64_t code = -1;
  counted_str matched{0, nullptr}, message{0, nullptr}, referral{0, nullptr};
  const uint64_t lenient = ldap_decode_result(start, end, &code, &matched, &message, &referral);
  if (lenient != 0) {
    FUZZ_CHECK(lenient <= size);
    FUZZ_CHECK(inside(matched, start, end) && inside(message, start, end) &&
               inside(referral, start, end));
  }
  int64_t code2 = -1;
  counted_str matched2{0, nullptr}, message2{0, nullptr}, referral2{0, nullptr};
  const uint64_t strict =
      ldap_decode_result_full(start, end, &code2, &matched2, &message2, &referral2);
  if (strict != 0) {
    FUZZ_CHECK(strict <= size);
    FUZZ_CHECK(inside(matched2, start, end) && inside(message2, start, end) &&
               inside(referral2, start, end));
    FUZZ_CHECK(lenient != 0 && code == code2);
    FUZZ_CHECK(same_bytes(matched, matched2) && same_bytes(message, message2));
  }
  return 0;
}
