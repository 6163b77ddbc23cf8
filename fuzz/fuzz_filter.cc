// The Filter decoder, with the encoder and both text forms around it.
//
// Decoding reverses the order of the lists and encoding keeps the tree's
// order, so encode(decode(x)) lists children in reverse; two rounds give
// the first encoding back. The text form of a decoded filter that it
// carries faithfully (fuzz/filter_text_form.h) must parse back to the same
// encoding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/filter.h"
#include "codec/filter_parse.h"
#include "core/diag.h"
#include "fuzz/encode_check.h"
#include "fuzz/filter_text_form.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string encode_filter(const Filter* f) {
  return encoded([f](char* dest) { return ldap_encode_filter(dest, f); });
}

// Decodes bytes the encoder wrote (it must take all of them) and encodes
// the result again.
std::string round(const std::string& bytes) {
  const exact_copy in(bytes);
  Filter* f = nullptr;
  const uint64_t used = ldap_decode_filter(in.begin(), in.end(), &f);
  FUZZ_CHECK(used == bytes.size() && f != nullptr);
  std::string out = encode_filter(f);
  free_filter(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  trace_enabled = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  Filter* f = nullptr;
  const uint64_t used = ldap_decode_filter(start, start + size, &f);
  if (used == 0) {
    FUZZ_CHECK(f == nullptr);
    return 0;
  }
  FUZZ_CHECK(used <= size && f != nullptr);
  trace_filter(f);

  const std::string once = encode_filter(f);
  const std::string twice = round(once);
  FUZZ_CHECK(twice.size() == once.size());
  FUZZ_CHECK(round(twice) == once);

  const int64_t text_len = filter_to_text(nullptr, f);
  if (text_len >= 0 && text_form_is_faithful(f)) {
    const std::string text =
        encoded([f](char* dest) { return filter_to_text(dest, f); });
    FUZZ_CHECK(static_cast<int64_t>(text.size()) == text_len);
    const exact_copy in(text);
    std::unique_ptr<char[]> storage(new char[text.size()]);
    Filter* t = nullptr;
    filter_parse_error error{};
    const uint64_t parsed = filter_from_text(in.begin(), in.end(), storage.get(), &t, &error);
    FUZZ_CHECK(parsed == text.size());
    FUZZ_CHECK(encode_filter(t) == once);
    free_filter(t);
  }
  free_filter(f);
  return 0;
}
