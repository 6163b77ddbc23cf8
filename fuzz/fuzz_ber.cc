// The BER primitives beneath every LDAP decoder: framing and decoding
// agree, and what decodes encodes back to something that decodes to the
// same value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/ber.h"
#include "fuzz/encode_check.h"
#include "fuzz/fuzz_support.h"

namespace {

void tag_and_length(const char* start, const char* end) {
  unsigned cls, constructed;
  uint64_t tag;
  const uint64_t tag_size = ber_decode_tag(start, end, &cls, &constructed, &tag);
  if (tag_size != 0) {
    FUZZ_CHECK(tag_size <= static_cast<uint64_t>(end - start));
    FUZZ_CHECK((cls & ~0xC0u) == 0 && (constructed == 0 || constructed == 0x20));
    if (tag < (uint64_t{1} << 49)) {
      const std::string again =
          encoded([&](char* dest) { return ber_encode_tag(dest, cls, constructed, tag); });
      const exact_copy in(again);
      unsigned cls2, constructed2;
      uint64_t tag2;
      FUZZ_CHECK(ber_decode_tag(in.begin(), in.end(), &cls2, &constructed2, &tag2) == again.size());
      FUZZ_CHECK(cls2 == cls && constructed2 == constructed && tag2 == tag);
    }
  }

  uint64_t length;
  const uint64_t length_size = ber_decode_length(start, end, &length);
  if (length_size != 0) {
    FUZZ_CHECK(length_size <= static_cast<uint64_t>(end - start));
    FUZZ_CHECK(length <= static_cast<uint64_t>(end - start) - length_size);
    const std::string again = encoded([&](char* dest) { return ber_encode_length(dest, length); });
    // The encoding needs the content behind it to decode.
    const exact_copy in(again + std::string(length, 'x'));
    uint64_t length2;
    FUZZ_CHECK(ber_decode_length(in.begin(), in.end(), &length2) == again.size());
    FUZZ_CHECK(length2 == length);
  }
}

void header_and_peek(const char* start, const char* end) {
  unsigned cls, constructed;
  uint64_t tag, content_len;
  const char* content;
  const uint64_t total = ber_decode_header(start, end, &cls, &constructed, &tag, &content, &content_len);
  unsigned pcls, pconstructed;
  uint64_t ptag, ptotal;
  const int peek = ber_peek_element_size(start, end, &pcls, &pconstructed, &ptag, &ptotal);
  FUZZ_CHECK(peek >= -1 && peek <= 1);
  if (total != 0) {
    FUZZ_CHECK(total <= static_cast<uint64_t>(end - start));
    FUZZ_CHECK(content >= start && content + content_len == start + total);
    FUZZ_CHECK(peek == 1 && ptotal == total && pcls == cls && pconstructed == constructed &&
               ptag == tag);
  } else if (peek == 1) {
    // The header is sound: only the content can be missing.
    FUZZ_CHECK(ptotal > static_cast<uint64_t>(end - start));
  }
}

void values(const char* start, const char* end) {
  int64_t v;
  const uint64_t n = ber_decode_integer(start, end, &v);
  if (n != 0 && v >= 0) {
    const std::string again = encoded([&](char* dest) {
      return ber_encode_integer(dest, ber_universal, ber_primitive, ber_tag_integer,
                                static_cast<uint64_t>(v));
    });
    const exact_copy in(again);
    int64_t v2;
    FUZZ_CHECK(ber_decode_integer(in.begin(), in.end(), &v2) == again.size() && v2 == v);
  }
  ber_decode_enumerated(start, end, &v);
  ber_decode_boolean(start, end, &v);
  int64_t any;
  unsigned cls, constructed;
  uint64_t tag;
  ber_decode_integer_element(start, end, &cls, &constructed, &tag, &any);

  counted_str s{0, nullptr};
  const uint64_t m = ber_decode_string(start, end, &s);
  if (m != 0) {
    FUZZ_CHECK(inside(s, start, end));
    const std::string again = encoded([&](char* dest) { return ber_encode_counted_str(dest, s); });
    const exact_copy in(again);
    counted_str s2{0, nullptr};
    FUZZ_CHECK(ber_decode_string(in.begin(), in.end(), &s2) == again.size() && same_bytes(s, s2));
  }
  uint64_t len;
  if (ber_decode_sequence(start, end, &len) != 0) FUZZ_CHECK(len <= static_cast<uint64_t>(end - start));
  if (ber_decode_set(start, end, &len) != 0) FUZZ_CHECK(len <= static_cast<uint64_t>(end - start));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  const char* end = start + size;
  tag_and_length(start, end);
  header_and_peek(start, end);
  values(start, end);
  return 0;
}
