// The server's AddRequest decoder.
#include <cstddef>
#include <cstdint>

#include "codec/update.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  const char* end = start + size;
  add_request r;
  const uint64_t used = ldap_decode_add_request(start, end, &r);
  if (used != 0) {
    FUZZ_CHECK(used <= size);
    FUZZ_CHECK(inside(r.entry, start, end));
    for (const add_attribute* a = &r.first; a != nullptr; a = a->next) {
      FUZZ_CHECK(inside(a->type, start, end));
      for (const string_node* v = &a->vals; v != nullptr; v = v->next)
        FUZZ_CHECK(inside(v->str, start, end) && v->attribute_offset == 0);
    }
  }
  // Also after a failure the record may be freed.
  free_add_request(&r);
  return 0;
}
