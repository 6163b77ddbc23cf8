// The server's ModifyRequest decoder.
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
  modify_request r;
  const uint64_t used = ldap_decode_modify_request(start, end, &r);
  if (used != 0) {
    FUZZ_CHECK(used <= size);
    FUZZ_CHECK(inside(r.object, start, end));
    for (const modification* m = &r.first; m != nullptr; m = m->next) {
      FUZZ_CHECK(m->operation <= modify_replace);
      FUZZ_CHECK(inside(m->type, start, end));
      for (const string_node* v = m->vals; v != nullptr; v = v->next)
        FUZZ_CHECK(inside(v->str, start, end) && v->attribute_offset == 0);
    }
  }
  // Also after a failure the record may be freed.
  free_modify_request(&r);
  return 0;
}
