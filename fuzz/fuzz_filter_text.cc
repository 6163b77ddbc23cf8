// The text form of filters: parse, print, and parse again what the printed
// form carries faithfully (fuzz/filter_text_form.h); and the BER encoding
// of what was parsed, decoded and encoded again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/filter.h"
#include "codec/filter_parse.h"
#include "fuzz/encode_check.h"
#include "fuzz/filter_text_form.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string encode_filter(const Filter* f) {
  return encoded([f](char* dest) { return ldap_encode_filter(dest, f); });
}

// Parses text made by filter_to_text: it must take all of it.
std::string reparsed_encoding(const std::string& text) {
  const exact_copy in(text);
  std::unique_ptr<char[]> storage(new char[text.size()]);
  Filter* t = nullptr;
  filter_parse_error error{};
  const uint64_t used = filter_from_text(in.begin(), in.end(), storage.get(), &t, &error);
  FUZZ_CHECK(used == text.size() && t != nullptr);
  std::string out = encode_filter(t);
  free_filter(t);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  std::unique_ptr<char[]> storage(new char[size]);
  Filter* f = nullptr;
  filter_parse_error error{};
  const uint64_t used = filter_from_text(start, start + size, storage.get(), &f, &error);
  if (used == 0) {
    FUZZ_CHECK(f == nullptr && error.message != nullptr && error.offset <= size);
    return 0;
  }
  FUZZ_CHECK(used <= size && f != nullptr);

  // The tree keeps the written order, so encoding, decoding (which
  // reverses) and encoding twice more gives the first encoding back.
  const std::string once = encode_filter(f);
  {
    const exact_copy in(once);
    Filter* g = nullptr;
    FUZZ_CHECK(ldap_decode_filter(in.begin(), in.end(), &g) == once.size());
    const std::string reversed = encode_filter(g);
    const exact_copy in2(reversed);
    Filter* h = nullptr;
    FUZZ_CHECK(ldap_decode_filter(in2.begin(), in2.end(), &h) == reversed.size());
    FUZZ_CHECK(encode_filter(h) == once);
    free_filter(g);
    free_filter(h);
  }

  // Printing a parsed filter gives text that parses to the same filter,
  // when the text form can carry it.
  const std::string text = encoded([&](char* dest) { return filter_to_text(dest, f); });
  if (text_form_is_faithful(f)) FUZZ_CHECK(reparsed_encoding(text) == once);
  free_filter(f);
  return 0;
}
