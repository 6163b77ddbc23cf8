// The server's SearchRequest decoder (with its filter), and the client's
// encoder over what it decoded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/search.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

namespace {

void check_decoded(const search_request& r, const char* start, const char* end) {
  FUZZ_CHECK(inside(r.baseObject, start, end));
  FUZZ_CHECK(r.scope <= scope_whole_subtree && r.derefAliases <= 3);
  FUZZ_CHECK(r.sizeLimit >= 0 && r.timeLimit >= 0);
  FUZZ_CHECK(r.typesOnly == 0 || r.typesOnly == 1);
  FUZZ_CHECK(r.filter != nullptr);
  for (const string_node* s = r.attributes; s != nullptr; s = s->next) {
    FUZZ_CHECK(inside(s->str, start, end));
    FUZZ_CHECK(s->attribute_offset == 0);
  }
}

std::string encode_request(const search_request& r) {
  return encoded([&r](char* dest) { return ldap_encode_search_request(dest, &r); });
}

// Decodes bytes the encoder wrote: all of them, into the same fields.
std::string round(const std::string& bytes) {
  const exact_copy in(bytes);
  search_request r{};
  FUZZ_CHECK(ldap_decode_search_request(in.begin(), in.end(), &r) == bytes.size());
  check_decoded(r, in.begin(), in.end());
  std::string out = encode_request(r);
  free_search_request(&r);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  search_request r{};
  const uint64_t used = ldap_decode_search_request(start, start + size, &r);
  if (used == 0) {
    FUZZ_CHECK(r.filter == nullptr && r.attributes == nullptr);
    return 0;
  }
  FUZZ_CHECK(used <= size);
  check_decoded(r, start, start + size);
  // The filter's lists come back reversed from every decode: two rounds
  // give the first encoding again.
  const std::string once = encode_request(r);
  const std::string twice = round(once);
  FUZZ_CHECK(twice.size() == once.size());
  FUZZ_CHECK(round(twice) == once);
  free_search_request(&r);
  FUZZ_CHECK(r.filter == nullptr && r.attributes == nullptr);
  return 0;
}
