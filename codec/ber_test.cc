#include "codec/ber.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>
#include "tests/codec_bytes.h"

namespace {

constexpr unsigned U = ber_universal, A = ber_application, C = ber_context, P = ber_private;
constexpr unsigned PRIM = ber_primitive, CONS = ber_constructed;


// ---- Identifiers ----------------------------------------------------------

TEST(BerTag, Decode) {
  struct Case {
    const char* in;
    uint64_t size;  // 0: fails
    unsigned cls, constructed;
    uint64_t tag;
  } cases[] = {
      {"02", 1, U, PRIM, 2},
      {"30", 1, U, CONS, 16},
      {"A3", 1, C, CONS, 3},
      {"42", 1, A, PRIM, 2},
      {"DE", 1, P, PRIM, 30},
      {"1F 05", 2, U, PRIM, 5},  // long form below 31 is accepted
      {"1F 00", 2, U, PRIM, 0},
      {"9F 1F", 2, C, PRIM, 31},
      {"5F 81 00", 3, A, PRIM, 128},
      {"7F 81 48", 3, A, CONS, 200},
      {"1F 7F", 2, U, PRIM, 127},
      // 2^64 - 1: ten digits, the first carrying the top bit alone.
      {"1F 81 FF FF FF FF FF FF FF FF 7F", 11, U, PRIM, UINT64_MAX},
      {"1F 80 01", 0, 0, 0, 0},  // leading zero digit
      {"1F 80", 0, 0, 0, 0},
      {"1F", 0, 0, 0, 0},     // no digit follows
      {"1F 81", 0, 0, 0, 0},  // continuation runs into the end
      {"1F 81 80", 0, 0, 0, 0},
      // 2^64 needs 65 bits.
      {"1F 82 80 80 80 80 80 80 80 80 00", 0, 0, 0, 0},
      {"", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    unsigned cls = 99, constructed = 99;
    uint64_t tag = 99;
    EXPECT_EQ(ber_decode_tag(in.begin(), in.end(), &cls, &constructed, &tag), c.size);
    if (c.size) {
      EXPECT_EQ(cls, c.cls);
      EXPECT_EQ(constructed, c.constructed);
      EXPECT_EQ(tag, c.tag);
    } else {
      EXPECT_EQ(tag, 99u);
    }
  }
}

TEST(BerTag, ClassAndFormWrittenBeforeTagNumberFails) {
  Input in(Hex("7F 80"));
  unsigned cls = 99, constructed = 99;
  uint64_t tag = 99;
  EXPECT_EQ(ber_decode_tag(in.begin(), in.end(), &cls, &constructed, &tag), 0u);
  EXPECT_EQ(cls, A);
  EXPECT_EQ(constructed, CONS);
  EXPECT_EQ(tag, 99u);
}

TEST(BerTag, Encode) {
  struct Case {
    unsigned cls, constructed;
    uint64_t tag;
    const char* want;
  } cases[] = {
      {U, PRIM, 2, "02"},
      {U, CONS, 16, "30"},
      {A, CONS, 30, "7E"},
      {C, PRIM, 0, "80"},
      {P, CONS, 1, "E1"},
      {C, PRIM, 31, "9F 1F"},
      {A, CONS, 200, "7F 81 48"},
      {U, PRIM, 127, "1F 7F"},
      {U, PRIM, 128, "1F 81 00"},
      {U, PRIM, 16383, "1F FF 7F"},
      {U, PRIM, 16384, "1F 81 80 00"},
      {C, CONS, (uint64_t{1} << 49) - 1, "BF FF FF FF FF FF FF 7F"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    std::string got =
        Encoded([&](char* d) { return ber_encode_tag(d, c.cls, c.constructed, c.tag); });
    EXPECT_EQ(ToHex(got), ToHex(Hex(c.want)));
  }
}

TEST(BerTag, RoundTrip) {
  std::vector<uint64_t> tags = {0, 1, 30, 31, 127, 128, 255};
  // Both sides of every digit-count boundary up to the largest tag number.
  for (int bits = 14; bits <= 49; bits += 7) {
    tags.push_back((uint64_t{1} << bits) - 1);
    if (bits < 49) tags.push_back((uint64_t{1} << bits) + 5);
  }
  for (unsigned cls : {U, A, C, P}) {
    for (unsigned constructed : {PRIM, CONS}) {
      for (uint64_t tag : tags) {
        SCOPED_TRACE(tag);
        Input in(Encoded([&](char* d) { return ber_encode_tag(d, cls, constructed, tag); }));
        unsigned got_cls, got_constructed;
        uint64_t got_tag;
        EXPECT_EQ(ber_decode_tag(in.begin(), in.end(), &got_cls, &got_constructed, &got_tag),
                  in.bytes.size());
        EXPECT_EQ(got_cls, cls);
        EXPECT_EQ(got_constructed, constructed);
        EXPECT_EQ(got_tag, tag);
      }
    }
  }
}

// ---- Lengths --------------------------------------------------------------

TEST(BerLength, Decode) {
  struct Case {
    const char* header;
    uint64_t following;  // content bytes put behind the length octets
    uint64_t size;       // 0: fails
    uint64_t length;
  } cases[] = {
      {"00", 0, 1, 0},
      {"05", 5, 1, 5},
      {"05", 4, 0, 0},  // short form beyond the input
      {"05", 9, 1, 5},  // more input behind is fine
      {"7F", 127, 1, 127},
      {"81 7F", 127, 2, 127},  // long form of 127 is accepted
      {"81 7F", 126, 0, 0},
      {"81 7E", 126, 0, 0},  // below 127 in long form
      {"81 01", 1, 0, 0},
      {"81 80", 128, 2, 128},
      {"81 FF", 255, 2, 255},
      {"82 01 00", 256, 3, 256},
      {"82 01 00", 255, 0, 0},
      {"82 00 80", 128, 0, 0},  // leading zero octet
      {"81 00", 0, 0, 0},
      {"80", 0, 0, 0},  // indefinite form
      {"80", 4, 0, 0},
      {"82 01", 0, 0, 0},  // fewer length octets than announced
      {"81", 0, 0, 0},
      {"", 0, 0, 0},
      {"89 01 00 00 00 00 00 00 00 00", 0, 0, 0},  // more than 8 octets
      {"FF", 0, 0, 0},
      // Huge lengths must fail the fit test without wrapping around.
      {"88 FF FF FF FF FF FF FF FF", 3, 0, 0},
      {"88 7F FF FF FF FF FF FF FF", 3, 0, 0},
      {"88 00 00 00 00 00 00 00 05", 5, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.header << " + " << c.following);
    Input in(Hex(c.header) + std::string(c.following, 'x'));
    uint64_t length = 99;
    EXPECT_EQ(ber_decode_length(in.begin(), in.end(), &length), c.size);
    EXPECT_EQ(length, c.size ? c.length : 99u);  // written only on success
  }
}

TEST(BerLength, Encode) {
  struct Case {
    uint64_t length;
    const char* want;
  } cases[] = {
      {0, "00"},
      {127, "7F"},
      {128, "81 80"},
      {255, "81 FF"},
      {256, "82 01 00"},
      {65535, "82 FF FF"},
      {65536, "83 01 00 00"},
      {uint64_t{1} << 56, "88 01 00 00 00 00 00 00 00"},
      {UINT64_MAX, "88 FF FF FF FF FF FF FF FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(ToHex(Encoded([&](char* d) { return ber_encode_length(d, c.length); })),
              ToHex(Hex(c.want)));
  }
}

// Every length the encoder writes reads back, checked through the framing
// helper so that lengths far beyond any buffer are covered too.
TEST(BerLength, RoundTrip) {
  std::vector<uint64_t> lengths = {0, 1, 126, 127, 128, 255, 256, 8191, 8192, 65535, 65536};
  for (int bits = 17; bits < 64; ++bits) {
    lengths.push_back((uint64_t{1} << bits) - 1);
    lengths.push_back(uint64_t{1} << bits);
  }
  lengths.push_back(UINT64_MAX - 10);  // the largest a SEQUENCE header allows
  for (uint64_t length : lengths) {
    SCOPED_TRACE(length);
    std::string header =
        Encoded([&](char* d) { return ber_encode_header(d, U, CONS, ber_tag_sequence, length); });
    Input in(header);
    unsigned cls, constructed;
    uint64_t tag, total = 0;
    ASSERT_EQ(ber_peek_element_size(in.begin(), in.end(), &cls, &constructed, &tag, &total), 1);
    EXPECT_EQ(total, header.size() + length);
    EXPECT_EQ(tag, ber_tag_sequence);
    if (length <= 70000) {
      Input whole(header.substr(1) + std::string(length, 'x'));
      uint64_t got = 0;
      EXPECT_EQ(ber_decode_length(whole.begin(), whole.end(), &got), header.size() - 1);
      EXPECT_EQ(got, length);
    }
  }
}

// ---- Headers and framing ---------------------------------------------------

TEST(BerHeader, Decode) {
  struct Case {
    const char* in;
    uint64_t size;
    unsigned cls, constructed;
    uint64_t tag;
    uint64_t content_offset, content_len;
  } cases[] = {
      {"04 03 61 62 63", 5, U, PRIM, 4, 2, 3},
      {"04 03 61 62 63 FF", 5, U, PRIM, 4, 2, 3},
      {"A0 00", 2, C, CONS, 0, 2, 0},
      {"5F 81 00 81 80", 0, 0, 0, 0, 0, 0},  // 128 content bytes missing
      {"04 04 61 62 63", 0, 0, 0, 0, 0, 0},
      {"04", 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    unsigned cls, constructed;
    uint64_t tag, len = 99;
    const char* content = nullptr;
    EXPECT_EQ(ber_decode_header(in.begin(), in.end(), &cls, &constructed, &tag, &content, &len),
              c.size);
    if (c.size) {
      EXPECT_EQ(cls, c.cls);
      EXPECT_EQ(constructed, c.constructed);
      EXPECT_EQ(tag, c.tag);
      EXPECT_EQ(content, in.begin() + c.content_offset);
      EXPECT_EQ(len, c.content_len);
    } else {
      EXPECT_EQ(content, nullptr);
      EXPECT_EQ(len, 99u);
    }
  }
}

TEST(BerPeek, ElementSize) {
  struct Case {
    const char* in;
    int result;
    uint64_t total;
  } cases[] = {
      {"", 0, 0},
      {"30", 0, 0},
      {"30 05", 1, 7},  // content need not be there
      {"30 00", 1, 2},
      {"30 81", 0, 0},
      {"30 81 7F", 1, 130},
      {"30 81 7E", -1, 0},
      {"30 80", -1, 0},
      {"30 89", -1, 0},
      {"30 82", 0, 0},
      {"30 82 00", -1, 0},  // leading zero seen before the rest arrives
      {"30 82 01", 0, 0},
      {"30 82 01 00", 1, 260},
      {"1F", 0, 0},
      {"1F 80", -1, 0},
      {"1F 81", 0, 0},
      {"1F 81 00", 0, 0},
      {"1F 81 00 03", 1, 7},
      {"1F 82 80 80 80 80 80 80 80 80", -1, 0},  // overflow seen early
      // Totals at and just past 2^64 - 1.
      {"30 88 FF FF FF FF FF FF FF F5", 1, UINT64_MAX},
      {"30 88 FF FF FF FF FF FF FF F6", -1, 0},
      {"30 88 FF FF FF FF FF FF FF FF", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    unsigned cls, constructed;
    uint64_t tag, total = 99;
    EXPECT_EQ(ber_peek_element_size(in.begin(), in.end(), &cls, &constructed, &tag, &total),
              c.result);
    EXPECT_EQ(total, c.result == 1 ? c.total : 99u);
  }
}

// Valid elements of every kind; each must decode whole and fail on every
// strict prefix, and the framing helper must ask for more on every prefix
// shorter than the header and know the full size from then on.
const char* const kValidElements[] = {
    "02 01 00",       "02 09 00 FF FF FF FF FF FF FF FF",
    "01 01 01",       "0A 01 35",
    "04 00",          "04 03 61 62 63",
    "30 03 02 01 07", "31 05 04 03 61 62 63",
    "5F 81 00 01 2A", "9F 81 80 00 02 00 01",
    "30 81 7F",     // 127 content bytes appended below
    "04 82 01 00",  // 256 content bytes appended below
};

std::string WithContent(const char* hex) {
  std::string s = Hex(hex);
  unsigned cls, constructed;
  uint64_t tag, total = 0;
  EXPECT_EQ(ber_peek_element_size(s.data(), s.data() + s.size(), &cls, &constructed, &tag, &total),
            1);
  if (total > s.size()) s.append(total - s.size(), '\x01');
  return s;
}

TEST(BerHeader, EveryTruncatedPrefixFails) {
  for (const char* hex : kValidElements) {
    SCOPED_TRACE(hex);
    const std::string whole = WithContent(hex);
    uint64_t header_size = 0;
    {
      Input in(whole);
      unsigned cls, constructed;
      uint64_t tag, len;
      const char* content;
      ASSERT_EQ(ber_decode_header(in.begin(), in.end(), &cls, &constructed, &tag, &content, &len),
                whole.size());
      header_size = static_cast<uint64_t>(content - in.begin());
    }
    for (uint64_t k = 0; k < whole.size(); ++k) {
      SCOPED_TRACE(k);
      Input in(whole.substr(0, k));
      unsigned cls, constructed;
      uint64_t tag, len, total = 0;
      const char* content;
      EXPECT_EQ(ber_decode_header(in.begin(), in.end(), &cls, &constructed, &tag, &content, &len),
                0u);
      const int peek =
          ber_peek_element_size(in.begin(), in.end(), &cls, &constructed, &tag, &total);
      if (k < header_size) {
        EXPECT_EQ(peek, 0);
      } else {
        EXPECT_EQ(peek, 1);
        EXPECT_EQ(total, whole.size());
      }
    }
  }
}

TEST(BerHeader, Encode) {
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ber_encode_header(d, U, CONS, 16, 12); })), "30 0C");
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ber_encode_header(d, A, CONS, 200, 300); })),
            "7F 81 48 82 01 2C");
}

// ---- Integers, enumerations, booleans --------------------------------------

using Decoder = uint64_t (*)(const char*, const char*, int64_t*);

TEST(BerInteger, TypedDecoders) {
  constexpr int64_t kUnset = 0x5A5A;
  struct Case {
    Decoder decode;
    const char* in;
    uint64_t size;  // 0: fails
    int64_t value;  // expected afterwards (kUnset: left alone)
  } cases[] = {
      {ber_decode_integer, "02 01 00", 3, 0},
      {ber_decode_integer, "02 01 7F", 3, 127},
      {ber_decode_integer, "02 01 80", 3, -128},
      {ber_decode_integer, "02 01 FF", 3, -1},
      {ber_decode_integer, "02 02 00 80", 4, 128},
      {ber_decode_integer, "02 02 FF 7F", 4, -129},
      {ber_decode_integer, "02 02 01 00", 4, 256},
      {ber_decode_integer, "02 02 00 7F", 0, kUnset},  // redundant 00
      {ber_decode_integer, "02 02 FF 80", 0, kUnset},  // redundant FF
      {ber_decode_integer, "02 03 00 00 80", 0, kUnset},
      {ber_decode_integer, "02 00", 0, kUnset},
      {ber_decode_integer, "02 01", 0, kUnset},
      {ber_decode_integer, "02 02 01", 0, kUnset},
      {ber_decode_integer, "02 08 7F FF FF FF FF FF FF FF", 10, INT64_MAX},
      {ber_decode_integer, "02 08 80 00 00 00 00 00 00 00", 10, INT64_MIN},
      {ber_decode_integer, "02 09 00 FF FF FF FF FF FF FF FF", 11, -1},
      {ber_decode_integer, "02 09 00 80 00 00 00 00 00 00 00", 11, INT64_MIN},
      // A 9-octet negative keeps its low 64 bits.
      {ber_decode_integer, "02 09 FF 7F FF FF FF FF FF FF FF", 11, INT64_MAX},
      {ber_decode_integer, "02 09 01 00 00 00 00 00 00 00 00", 0, kUnset},  // 9 without sign octet
      {ber_decode_integer, "02 0A 00 FF FF FF FF FF FF FF FF FF", 0, kUnset},
      {ber_decode_integer, "02 01 05 FF", 3, 5},
      // Wrong identifier: the value is already out when the check fails.
      {ber_decode_integer, "0A 01 05", 0, 5},
      {ber_decode_integer, "22 01 05", 0, 5},
      {ber_decode_integer, "42 01 05", 0, 5},
      {ber_decode_integer, "1F 02 01 05", 3 + 1, 5},  // long-form tag 2 is INTEGER
      {ber_decode_enumerated, "0A 01 00", 3, 0},
      {ber_decode_enumerated, "0A 01 35", 3, 53},
      {ber_decode_enumerated, "0A 02 00 80", 4, 128},
      {ber_decode_enumerated, "02 01 05", 0, kUnset},
      {ber_decode_enumerated, "2A 01 05", 0, kUnset},
      {ber_decode_enumerated, "0A 02 00 05", 0, kUnset},
      {ber_decode_enumerated, "0A 00", 0, kUnset},
      {ber_decode_boolean, "01 01 00", 3, 0},
      {ber_decode_boolean, "01 01 01", 3, 1},
      {ber_decode_boolean, "01 01 FF", 0, kUnset},  // TRUE as 0xFF is refused
      {ber_decode_boolean, "01 01 02", 0, kUnset},
      {ber_decode_boolean, "01 02 00 01", 0, kUnset},
      {ber_decode_boolean, "01 02 00 80", 0, kUnset},
      {ber_decode_boolean, "01 00", 0, kUnset},
      {ber_decode_boolean, "02 01 01", 0, kUnset},
      {ber_decode_boolean, "81 01 01", 0, kUnset},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    int64_t value = kUnset;
    EXPECT_EQ(c.decode(in.begin(), in.end(), &value), c.size);
    EXPECT_EQ(value, c.value);
  }
}

TEST(BerInteger, ElementOfAnyIdentifier) {
  struct Case {
    const char* in;
    uint64_t size;
    unsigned cls, constructed;
    uint64_t tag;
    int64_t value;
  } cases[] = {
      {"85 01 07", 3, C, PRIM, 5, 7},  {"A5 01 FE", 3, C, CONS, 5, -2},
      {"0A 01 03", 3, U, PRIM, 10, 3}, {"7F 81 48 02 00 80", 6, A, CONS, 200, 128},
      {"85 00", 0, C, PRIM, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    unsigned cls, constructed;
    uint64_t tag;
    int64_t value = 0;
    EXPECT_EQ(ber_decode_integer_element(in.begin(), in.end(), &cls, &constructed, &tag, &value),
              c.size);
    EXPECT_EQ(cls, c.cls);
    EXPECT_EQ(constructed, c.constructed);
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(value, c.value);
  }
}

TEST(BerInteger, Encode) {
  struct Case {
    unsigned cls;
    uint64_t tag;
    uint64_t value;
    const char* want;
  } cases[] = {
      {U, 2, 0, "02 01 00"},
      {U, 2, 127, "02 01 7F"},
      {U, 2, 128, "02 02 00 80"},
      {U, 2, 255, "02 02 00 FF"},
      {U, 2, 256, "02 02 01 00"},
      {U, 2, 0x7FFF, "02 02 7F FF"},
      {U, 2, 0x8000, "02 03 00 80 00"},
      {U, 2, uint64_t{1} << 63, "02 09 00 80 00 00 00 00 00 00 00"},
      {U, 2, INT64_MAX, "02 08 7F FF FF FF FF FF FF FF"},
      {U, 2, UINT64_MAX, "02 09 00 FF FF FF FF FF FF FF FF"},  // -1 is never negative
      {U, 10, 53, "0A 01 35"},
      {U, 1, 1, "01 01 01"},
      {C, 200, 1, "9F 81 48 01 01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(
        ToHex(Encoded([&](char* d) { return ber_encode_integer(d, c.cls, PRIM, c.tag, c.value); })),
        ToHex(Hex(c.want)));
  }
}

// The encoder takes bits as unsigned and the decoder gives them back signed:
// every 64-bit pattern survives the trip.
TEST(BerInteger, RoundTrip) {
  std::vector<int64_t> values = {0, 1, -1, 127, 128, -128, -129, 255, 256, INT64_MAX, INT64_MIN};
  for (int bits = 1; bits < 63; ++bits) {
    const int64_t p = int64_t{1} << bits;
    for (int64_t v : {p - 1, p, p + 1, -p, -p - 1, -p + 1}) values.push_back(v);
  }
  for (int64_t v : values) {
    SCOPED_TRACE(v);
    const uint64_t u = static_cast<uint64_t>(v);
    Input in(Encoded([&](char* d) { return ber_encode_integer(d, U, PRIM, ber_tag_integer, u); }));
    int64_t got = 0;
    EXPECT_EQ(ber_decode_integer(in.begin(), in.end(), &got), in.bytes.size());
    EXPECT_EQ(got, v);
    Input en(
        Encoded([&](char* d) { return ber_encode_integer(d, U, PRIM, ber_tag_enumerated, u); }));
    got = 0;
    EXPECT_EQ(ber_decode_enumerated(en.begin(), en.end(), &got), en.bytes.size());
    EXPECT_EQ(got, v);
  }
  for (int64_t v : {0, 1}) {
    Input in(Encoded([&](char* d) { return ber_encode_integer(d, U, PRIM, ber_tag_boolean, v); }));
    int64_t got = 7;
    EXPECT_EQ(ber_decode_boolean(in.begin(), in.end(), &got), 3u);
    EXPECT_EQ(got, v);
  }
}

// ---- Strings ---------------------------------------------------------------

TEST(BerString, Decode) {
  struct Case {
    const char* in;
    uint64_t size;         // 0: fails
    bool set;              // the counted_str was set
    uint64_t offset, len;  // where it points when set
  } cases[] = {
      {"04 03 61 62 63", 5, true, 2, 3},
      {"04 00", 2, true, 2, 0},
      {"04 00 04 01 61", 2, true, 2, 0},
      {"04 81 80", 0, false, 0, 0},  // content missing
      // Wrong identifier: the string is set before the check fails.
      {"80 03 61 62 63", 0, true, 2, 3},
      {"24 01 61", 0, true, 2, 1},
      {"0C 02 61 62", 0, true, 2, 2},
      {"1F 04 01 61", 4, true, 3, 1},
      {"04 02 61", 0, false, 0, 0},
      {"04", 0, false, 0, 0},
      {"", 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    const char marker = 0;
    counted_str s = {99, &marker};
    EXPECT_EQ(ber_decode_string(in.begin(), in.end(), &s), c.size);
    if (c.set) {
      EXPECT_EQ(s.bytes, in.begin() + c.offset);
      EXPECT_EQ(s.len, c.len);
    } else {
      EXPECT_EQ(s.bytes, &marker);
      EXPECT_EQ(s.len, 99u);
    }
  }
}

TEST(BerString, EncodeAndRoundTrip) {
  const std::string texts[] = {"",
                               "a",
                               std::string("\0\xff", 2),
                               std::string(127, 'q'),
                               std::string(128, 'r'),
                               std::string(70000, 's')};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    const counted_str in_str = {text.size(), text.data()};
    std::string enc = Encoded([&](char* d) { return ber_encode_counted_str(d, in_str); });
    const std::string header = Encoded(
        [&](char* d) { return ber_encode_header(d, U, PRIM, ber_tag_octet_string, text.size()); });
    EXPECT_EQ(enc, header + text);
    Input in(enc);
    counted_str out = {};
    EXPECT_EQ(ber_decode_string(in.begin(), in.end(), &out), enc.size());
    EXPECT_EQ(std::string(out.bytes, out.len), text);
  }
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ber_encode_string(d, C, PRIM, 0, "pw", 2); })),
            "80 02 70 77");
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ber_encode_string(d, A, CONS, 10, nullptr, 0); })),
            "6A 00");
}

TEST(BerString, AbsurdCountIsRefused) {
  // Counting only; the bytes are never touched.
  const char* bytes = "x";
  EXPECT_EQ(ber_encode_string(nullptr, U, PRIM, 4, bytes, UINT64_MAX), -1);
  EXPECT_EQ(ber_encode_string(nullptr, U, PRIM, 4, bytes, UINT64_MAX - 99), -1);
  EXPECT_NE(ber_encode_string(nullptr, U, PRIM, 4, bytes, UINT64_MAX - 100), -1);
  EXPECT_EQ(ber_encode_counted_str(nullptr, counted_str{UINT64_MAX, bytes}), -1);
}

// ---- SEQUENCE and SET headers -----------------------------------------------

using HeaderDecoder = uint64_t (*)(const char*, const char*, uint64_t*);

TEST(BerSequence, Decode) {
  struct Case {
    HeaderDecoder decode;
    const char* in;
    uint64_t size;         // 0: fails
    uint64_t content_len;  // 99: not written
  } cases[] = {
      {ber_decode_sequence, "30 03 02 01 07", 2, 3},
      {ber_decode_sequence, "30 00", 2, 0},
      {ber_decode_sequence, "3F 10 00", 3, 0},
      {ber_decode_set, "31 03 04 01 61", 2, 3},
      {ber_decode_set, "31 00", 2, 0},
      // Wrong identifier: the content length is out already.
      {ber_decode_set, "30 03 02 01 07", 0, 3},
      {ber_decode_sequence, "31 00", 0, 0},
      {ber_decode_sequence, "10 00", 0, 0},
      {ber_decode_sequence, "70 00", 0, 0},
      {ber_decode_sequence, "B0 00", 0, 0},
      // Undecodable lengths leave it alone.
      {ber_decode_sequence, "30 04 02 01 07", 0, 99},
      {ber_decode_sequence, "30 80 02 01 07 00 00", 0, 99},
      {ber_decode_sequence, "30", 0, 99},
      {ber_decode_set, "", 0, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    uint64_t len = 99;
    EXPECT_EQ(c.decode(in.begin(), in.end(), &len), c.size);
    EXPECT_EQ(len, c.content_len);
  }
}

TEST(BerSequence, LongForm) {
  Input in(Hex("30 82 01 00") + std::string(256, '\x05'));
  uint64_t len = 0;
  EXPECT_EQ(ber_decode_sequence(in.begin(), in.end(), &len), 4u);
  EXPECT_EQ(len, 256u);
  Input short_in(Hex("30 82 01 00") + std::string(255, '\x05'));
  EXPECT_EQ(ber_decode_sequence(short_in.begin(), short_in.end(), &len), 0u);
}

}  // namespace
