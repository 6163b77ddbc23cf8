// Helpers of the codec fuzz targets.
#ifndef FERROWYN_FUZZ_ENCODE_CHECK_H_
#define FERROWYN_FUZZ_ENCODE_CHECK_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/counted_str.h"
#include "fuzz/fuzz_support.h"

// True when the decoded string lies inside [start, end) (or is empty).
inline bool inside(counted_str s, const char* start, const char* end) {
  if (s.len == 0) return true;
  return s.bytes != nullptr && s.bytes >= start && s.bytes <= end &&
         s.len <= static_cast<uint64_t>(end - s.bytes);
}

// True when the string holds a 0 byte.
inline bool has_nul(counted_str s) {
  return s.len != 0 && std::memchr(s.bytes, 0, s.len) != nullptr;
}

// True when both strings hold the same bytes.
inline bool same_bytes(counted_str a, counted_str b) {
  return a.len == b.len && (a.len == 0 || std::memcmp(a.bytes, b.bytes, a.len) == 0);
}

// Runs an encoder twice, counting and then writing into an exactly sized
// heap buffer (so that AddressSanitizer catches a write past the counted
// size), checks that both passes agree, and returns the bytes.
template <typename Encode>
std::string encoded(Encode encode) {
  const int64_t counted = static_cast<int64_t>(encode(nullptr));
  FUZZ_CHECK(counted >= 0);
  // new char[0] is a valid, zero-sized allocation: any write to it shows.
  std::unique_ptr<char[]> buf(new char[static_cast<size_t>(counted)]);
  const int64_t written = static_cast<int64_t>(encode(buf.get()));
  FUZZ_CHECK(written == counted);
  return std::string(buf.get(), static_cast<size_t>(written));
}

// An exactly sized heap copy, for decoding bytes the target made itself.
struct exact_copy {
  explicit exact_copy(const std::string& s) : bytes(new char[s.size()]), n(s.size()) {
    if (!s.empty()) std::memcpy(bytes, s.data(), s.size());
  }
  ~exact_copy() { delete[] bytes; }
  exact_copy(const exact_copy&) = delete;
  exact_copy& operator=(const exact_copy&) = delete;
  const char* begin() const { return bytes; }
  const char* end() const { return bytes + n; }
  char* bytes;
  uint64_t n;
};

#endif  // FERROWYN_FUZZ_ENCODE_CHECK_H_
