// scan_ipv6 and scan_ipv4 over any text; every address the C library's
// inet_pton accepts must be read whole, to the same bytes.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/number_text.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The readers walk a NUL-terminated text; an exactly sized copy.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const uint64_t length = std::strlen(text.c_str());

  uint8_t v6[16];
  const uint64_t used6 = scan_ipv6(text.c_str(), v6);
  FUZZ_CHECK(used6 <= length);
  uint8_t v4[4];
  const uint64_t used4 = scan_ipv4(text.c_str(), v4);
  FUZZ_CHECK(used4 <= length);
  if (used4 != 0) {
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    FUZZ_CHECK(used6 == used4 && std::memcmp(v6, mapped, 12) == 0 &&
               std::memcmp(v6 + 12, v4, 4) == 0);
  }

  uint8_t expected[16];
  if (inet_pton(AF_INET6, text.c_str(), expected) == 1) {
    FUZZ_CHECK(used6 == length && std::memcmp(v6, expected, 16) == 0);
  }
  if (inet_pton(AF_INET, text.c_str(), expected) == 1) {
    FUZZ_CHECK(used4 == length && std::memcmp(v4, expected, 4) == 0);
  }
  return 0;
}
