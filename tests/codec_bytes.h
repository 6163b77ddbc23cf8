// Byte helpers for codec tests: hex text to bytes and back, exactly sized
// inputs (so AddressSanitizer sees any read past the end), and a guarded
// run of an encoder.
#ifndef FERROWYN_TESTS_CODEC_BYTES_H_
#define FERROWYN_TESTS_CODEC_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// "A3 07 04 02" -> the bytes; blanks are ignored. 'text' inside single
// quotes is taken as literal bytes: "04 02 'cn'".
inline std::string Hex(const char* text) {
  std::string out;
  int hi = -1;
  for (const char* p = text; *p; ++p) {
    if (*p == '\'') {
      while (*++p && *p != '\'') out.push_back(*p);
      if (!*p) break;
      continue;
    }
    int d;
    if (*p >= '0' && *p <= '9')
      d = *p - '0';
    else if (*p >= 'a' && *p <= 'f')
      d = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F')
      d = *p - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = d;
    } else {
      out.push_back(static_cast<char>(hi << 4 | d));
      hi = -1;
    }
  }
  EXPECT_EQ(hi, -1) << "odd number of hex digits in " << text;
  return out;
}

inline std::string ToHex(const char* p, uint64_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint64_t i = 0; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(p[i]);
    if (i) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

inline std::string ToHex(const std::string& s) { return ToHex(s.data(), s.size()); }

// An exactly sized heap copy of the bytes to decode.
struct Input {
  explicit Input(const std::string& s) : bytes(s.begin(), s.end()) {}
  const char* begin() const { return bytes.data(); }
  const char* end() const { return bytes.data() + bytes.size(); }
  uint64_t size() const { return bytes.size(); }
  std::vector<char> bytes;
};

// Runs an encoder into a guarded buffer; checks that the counting pass (null
// destination) agrees and that nothing is written past the returned size.
template <typename Encode>
std::string Encoded(Encode encode) {
  const int64_t counted = static_cast<int64_t>(encode(nullptr));
  EXPECT_GE(counted, 0);
  std::string buf(static_cast<size_t>(counted) + 16, '\xA5');
  const int64_t written = static_cast<int64_t>(encode(buf.data()));
  EXPECT_EQ(written, counted);
  for (size_t i = static_cast<size_t>(written); i < buf.size(); ++i)
    EXPECT_EQ(buf[i], '\xA5') << "byte " << i << " written past the returned size";
  buf.resize(static_cast<size_t>(written));
  return buf;
}

#endif  // FERROWYN_TESTS_CODEC_BYTES_H_
