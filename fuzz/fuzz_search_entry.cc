// The clients' SearchResultEntry decoder, and the server's encoder over
// what it decoded (values come back reversed from every decode).
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/search.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

namespace {

void check_decoded(const search_entry& e, const char* start, const char* end) {
  FUZZ_CHECK(inside(e.objectName, start, end));
  for (const partial_attribute* a = e.attributes; a != nullptr; a = a->next) {
    FUZZ_CHECK(inside(a->type, start, end));
    for (const string_node* v = a->vals; v != nullptr; v = v->next)
      FUZZ_CHECK(inside(v->str, start, end));
  }
}

std::string encode_entry(const search_entry& e) {
  return encoded([&e](char* dest) { return ldap_encode_search_entry(dest, &e); });
}

std::string round(const std::string& bytes) {
  const exact_copy in(bytes);
  search_entry e{};
  FUZZ_CHECK(ldap_decode_search_entry(in.begin(), in.end(), &e) == bytes.size());
  check_decoded(e, in.begin(), in.end());
  std::string out = encode_entry(e);
  free_partial_attributes(e.attributes);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  search_entry e{};
  const uint64_t used = ldap_decode_search_entry(start, start + size, &e);
  if (used == 0) {
    free_partial_attributes(e.attributes);
    return 0;
  }
  FUZZ_CHECK(used <= size);
  check_decoded(e, start, start + size);
  const std::string once = encode_entry(e);
  const std::string twice = round(once);
  FUZZ_CHECK(twice.size() == once.size());
  FUZZ_CHECK(round(twice) == once);
  free_partial_attributes(e.attributes);
  return 0;
}
