// BER primitives: identifiers, lengths, integers, strings, SEQUENCE/SET
// headers.
//
// The identifier and length readers below are written once and serve both
// the decoders (which need the whole element in the input) and the framing
// helper (which must tell "malformed" from "not all here yet"). They
// distinguish three outcomes; the decoders fold the last two into failure.

#include "codec/ber.h"

#include <bit>
#include <cstring>

using octet = unsigned char;

// Outcomes of reading a header from input that may stop short.
enum read_status : int {
  read_malformed = -1,
  read_need_more = 0,
  read_ok = 1,
};

static inline const octet* as_octets(const char* p) { return reinterpret_cast<const octet*>(p); }

// Reads an identifier at [p, end). Class and constructed flag are written as
// soon as the first octet is there; the tag number and *size only on
// read_ok.
static int read_tag(const octet* p, const octet* end, unsigned* cls, unsigned* constructed,
                    uint64_t* tag, uint64_t* size) {
  if (p >= end) return read_need_more;
  const unsigned b = p[0];
  *cls = b & 0xC0;
  *constructed = b & 0x20;
  if ((b & 0x1F) != 0x1F) {
    *tag = b & 0x1F;
    *size = 1;
    return read_ok;
  }
  // High tag number form: base-128 digits, most significant first.
  const octet* q = p + 1;
  if (q >= end) return read_need_more;
  if (*q == 0x80) return read_malformed;  // leading zero digit
  uint64_t value = *q & 0x7F;
  while (*q & 0x80) {
    // A value this large cannot take another digit without losing bits;
    // say so before asking for more input, since more cannot help.
    if (value >= (uint64_t{1} << 57)) return read_malformed;
    if (++q >= end) return read_need_more;
    value = (value << 7) | (*q & 0x7F);
  }
  *tag = value;
  *size = static_cast<uint64_t>(q - p) + 1;
  return read_ok;
}

// Reads length octets at [p, end) without looking for the content. *length
// and *size are written only on read_ok.
static int read_length(const octet* p, const octet* end, uint64_t* length, uint64_t* size) {
  if (p >= end) return read_need_more;
  const unsigned b = p[0];
  if (b < 0x80) {
    *length = b;
    *size = 1;
    return read_ok;
  }
  const unsigned n = b & 0x7F;
  if (n == 0 || n > 8) return read_malformed;  // indefinite form, or too long
  const uint64_t avail = static_cast<uint64_t>(end - p) - 1;
  if (avail >= 1 && p[1] == 0) return read_malformed;  // leading zero octet
  if (avail < n) return read_need_more;
  uint64_t value = 0;
  for (unsigned i = 1; i <= n; ++i) value = (value << 8) | p[i];
  // 127 is let through in long form on purpose: some peers write it so.
  if (value < 127) return read_malformed;
  *length = value;
  *size = n + 1;
  return read_ok;
}

// read_length plus the test that the content lies within [p, end): this is
// what makes every decoder refuse an element that is not all in the input.
static bool decode_length(const octet* p, const octet* end, uint64_t* length, uint64_t* size) {
  uint64_t len, n;
  if (read_length(p, end, &len, &n) != read_ok) return false;
  // read_ok implies n <= end - p, so the subtraction cannot wrap.
  if (len > static_cast<uint64_t>(end - p) - n) return false;
  *length = len;
  *size = n;
  return true;
}

// Identifier and length of one element whose content fits the input.
static bool decode_header(const octet* p, const octet* end, unsigned* cls, unsigned* constructed,
                          uint64_t* tag, uint64_t* header_size, uint64_t* content_len) {
  uint64_t tag_size, len_size;
  if (read_tag(p, end, cls, constructed, tag, &tag_size) != read_ok) return false;
  if (!decode_length(p + tag_size, end, content_len, &len_size)) return false;
  *header_size = tag_size + len_size;
  return true;
}

// Two's-complement integer contents of len octets at s. Sign octets 0x00 and
// 0xFF in front are allowed only when they are needed, which lets the
// unsigned 64-bit values (9 octets, 0x00 first) through.
static bool decode_integer_contents(const octet* s, const octet* end, uint64_t len,
                                    int64_t* value) {
  if (s >= end || len > static_cast<uint64_t>(end - s)) return false;
  if (len >= 2 && (s[0] == 0x00 || s[0] == 0xFF)) {
    // The first octet is redundant when the second already carries its sign.
    if (((s[0] ^ s[1]) & 0x80) == 0 || len > 9) return false;
  } else if (len > 8 || len == 0) {
    return false;
  }
  uint64_t v = 0 - static_cast<uint64_t>(s[0] >> 7);  // sign extension
  for (uint64_t i = 0; i < len; ++i) v = (v << 8) | s[i];
  *value = static_cast<int64_t>(v);
  return true;
}

uint64_t ber_decode_tag(const char* start, const char* end, unsigned* cls, unsigned* constructed,
                        uint64_t* tag) {
  uint64_t size;
  if (read_tag(as_octets(start), as_octets(end), cls, constructed, tag, &size) != read_ok) return 0;
  return size;
}

uint64_t ber_decode_length(const char* start, const char* end, uint64_t* length) {
  uint64_t size;
  if (!decode_length(as_octets(start), as_octets(end), length, &size)) return 0;
  return size;
}

uint64_t ber_decode_header(const char* start, const char* end, unsigned* cls, unsigned* constructed,
                           uint64_t* tag, const char** content, uint64_t* content_len) {
  uint64_t header_size, len;
  if (!decode_header(as_octets(start), as_octets(end), cls, constructed, tag, &header_size, &len))
    return 0;
  *content = start + header_size;
  *content_len = len;
  return header_size + len;
}

uint64_t ber_decode_integer_element(const char* start, const char* end, unsigned* cls,
                                    unsigned* constructed, uint64_t* tag, int64_t* value) {
  const octet* p = as_octets(start);
  const octet* e = as_octets(end);
  uint64_t header_size, len;
  if (!decode_header(p, e, cls, constructed, tag, &header_size, &len)) return 0;
  if (!decode_integer_contents(p + header_size, e, len, value)) return 0;
  return header_size + len;
}

static bool is_universal(unsigned cls, unsigned constructed, uint64_t tag, unsigned want_form,
                         uint64_t want_tag) {
  return (cls | constructed) == (ber_universal | want_form) && tag == want_tag;
}

uint64_t ber_decode_integer(const char* start, const char* end, int64_t* value) {
  unsigned cls, constructed;
  uint64_t tag;
  // The value goes out before the identifier is judged; callers may rely on
  // it.
  const uint64_t n = ber_decode_integer_element(start, end, &cls, &constructed, &tag, value);
  if (n == 0 || !is_universal(cls, constructed, tag, ber_primitive, ber_tag_integer)) return 0;
  return n;
}

uint64_t ber_decode_enumerated(const char* start, const char* end, int64_t* value) {
  unsigned cls, constructed;
  uint64_t tag;
  int64_t v;
  const uint64_t n = ber_decode_integer_element(start, end, &cls, &constructed, &tag, &v);
  if (n == 0 || !is_universal(cls, constructed, tag, ber_primitive, ber_tag_enumerated)) return 0;
  *value = v;
  return n;
}

uint64_t ber_decode_boolean(const char* start, const char* end, int64_t* value) {
  unsigned cls, constructed;
  uint64_t tag;
  int64_t v;
  const uint64_t n = ber_decode_integer_element(start, end, &cls, &constructed, &tag, &v);
  if (n == 0 || !is_universal(cls, constructed, tag, ber_primitive, ber_tag_boolean) ||
      static_cast<uint64_t>(v) > 1)
    return 0;
  *value = v;
  return n;
}

uint64_t ber_decode_string(const char* start, const char* end, counted_str* out) {
  unsigned cls, constructed;
  uint64_t tag, header_size, len;
  if (!decode_header(as_octets(start), as_octets(end), &cls, &constructed, &tag, &header_size,
                     &len))
    return 0;
  // Set before the identifier check: a simple bind password, tagged [0],
  // is read through here and the failure ignored.
  out->len = len;
  out->bytes = start + header_size;
  if (!is_universal(cls, constructed, tag, ber_primitive, ber_tag_octet_string)) return 0;
  return header_size + len;
}

static uint64_t decode_constructed_header(const char* start, const char* end, uint64_t want_tag,
                                          uint64_t* content_len) {
  const octet* p = as_octets(start);
  const octet* e = as_octets(end);
  unsigned cls, constructed;
  uint64_t tag, tag_size, len_size;
  if (read_tag(p, e, &cls, &constructed, &tag, &tag_size) != read_ok) return 0;
  if (!decode_length(p + tag_size, e, content_len, &len_size)) return 0;
  if (!is_universal(cls, constructed, tag, ber_constructed, want_tag)) return 0;
  return tag_size + len_size;
}

uint64_t ber_decode_sequence(const char* start, const char* end, uint64_t* content_len) {
  return decode_constructed_header(start, end, ber_tag_sequence, content_len);
}

uint64_t ber_decode_set(const char* start, const char* end, uint64_t* content_len) {
  return decode_constructed_header(start, end, ber_tag_set, content_len);
}

int ber_peek_element_size(const char* start, const char* end, unsigned* cls, unsigned* constructed,
                          uint64_t* tag, uint64_t* total) {
  const octet* p = as_octets(start);
  const octet* e = as_octets(end);
  uint64_t tag_size, len, len_size;
  int status = read_tag(p, e, cls, constructed, tag, &tag_size);
  if (status != read_ok) return status;
  status = read_length(p + tag_size, e, &len, &len_size);
  if (status != read_ok) return status;
  const uint64_t header_size = tag_size + len_size;  // at most 10 + 9
  if (len > UINT64_MAX - header_size) return read_malformed;
  *total = header_size + len;
  return read_ok;
}

// ---- Encoders -----------------------------------------------------------

uint64_t ber_encode_tag(char* dest, unsigned cls, unsigned constructed, uint64_t tag) {
  const unsigned lead = (cls & 0xC0) | (constructed & 0x20);
  if (tag <= 30) {
    if (dest) dest[0] = static_cast<char>(lead | static_cast<unsigned>(tag));
    return 1;
  }
  // Fewest base-128 digits, capped at 7: tag numbers from 2^49 up are not
  // representable here and lose their high bits.
  unsigned digits = (static_cast<unsigned>(std::bit_width(tag)) + 6) / 7;
  if (digits > 7) digits = 7;
  if (dest) {
    dest[0] = static_cast<char>(lead | 0x1F);
    for (unsigned i = 0; i < digits; ++i) {
      const unsigned shift = 7 * (digits - 1 - i);
      unsigned d = static_cast<unsigned>(tag >> shift) & 0x7F;
      if (i + 1 < digits) d |= 0x80;
      dest[1 + i] = static_cast<char>(d);
    }
  }
  return 1 + digits;
}

uint64_t ber_encode_length(char* dest, uint64_t length) {
  if (length < 128) {
    if (dest) dest[0] = static_cast<char>(length);
    return 1;
  }
  const unsigned n = (static_cast<unsigned>(std::bit_width(length)) + 7) / 8;
  if (dest) {
    dest[0] = static_cast<char>(0x80 | n);
    for (unsigned i = 0; i < n; ++i) dest[1 + i] = static_cast<char>(length >> (8 * (n - 1 - i)));
  }
  return 1 + n;
}

uint64_t ber_encode_header(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                           uint64_t length) {
  const uint64_t t = ber_encode_tag(dest, cls, constructed, tag);
  return t + ber_encode_length(dest ? dest + t : nullptr, length);
}

uint64_t ber_encode_integer(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                            uint64_t value) {
  unsigned n = (static_cast<unsigned>(std::bit_width(value)) + 7) / 8;
  if (n == 0) n = 1;
  // A set top bit would read back as negative: put a 0x00 in front.
  const unsigned pad = static_cast<unsigned>(value >> (8 * n - 1)) & 1;
  const unsigned content = n + pad;
  const uint64_t t = ber_encode_tag(dest, cls, constructed, tag);
  if (dest) {
    char* p = dest + t;
    *p++ = static_cast<char>(content);
    if (pad) *p++ = 0;
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<char>(value >> (8 * (n - 1 - i)));
  }
  return t + 1 + content;
}

int64_t ber_encode_string(char* dest, unsigned cls, unsigned constructed, uint64_t tag,
                          const char* bytes, uint64_t count) {
  // Leaves room for the header within 64 bits.
  if (count > UINT64_MAX - 100) return -1;
  const uint64_t h = ber_encode_header(dest, cls, constructed, tag, count);
  // memmove: callers may encode a string in place, over or near its source.
  if (dest && count) std::memmove(dest + h, bytes, count);
  return static_cast<int64_t>(h + count);
}

int64_t ber_encode_counted_str(char* dest, counted_str s) {
  return ber_encode_string(dest, ber_universal, ber_primitive, ber_tag_octet_string, s.bytes,
                           s.len);
}
