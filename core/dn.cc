// DN normalisation: one canonical spelling so that DNs from requests, the
// data file and the journal can be compared byte for byte.
#include "core/dn.h"

#include <cstdint>

int32_t canonical_dn(char* dest, const char* src, int32_t len) {
  if (len <= 0) return 0;
  int32_t out = 0;
  bool in_type = true;  // attribute types are lowercased, values are not
  // out never passes i, and each source byte is read before the byte at out
  // is written, so dest may be src itself.
  for (int32_t i = 0; i < len; ++i) {
    const char c = src[i];
    if (c == ',' || c == ';') {
      dest[out++] = ',';
      in_type = true;
      while (i + 1 < len && src[i + 1] == ' ') ++i;
      continue;
    }
    if (in_type) {
      dest[out++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
      if (c == '=') in_type = false;
    } else {
      dest[out++] = c;
    }
  }
  return out;
}
