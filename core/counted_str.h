// counted_str: a byte string given by its length, not NUL-terminated.
//
// Every codec reads and writes strings this way. Decoded strings point into
// the bytes they were decoded from and live exactly as long as those bytes.
#ifndef FERROWYN_CORE_COUNTED_STR_H_
#define FERROWYN_CORE_COUNTED_STR_H_

#include <cstdint>

struct counted_str {
  uint64_t len;       // number of bytes
  const char* bytes;  // the bytes; may be null when len is 0
};

#endif  // FERROWYN_CORE_COUNTED_STR_H_
