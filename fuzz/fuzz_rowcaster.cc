// rowcaster's line handling over a whole dump: the input is cut into lines
// as grow_str_read_line cuts them (each with its "\n"; a last line without
// one is not handled, as the program ends there) and each line is handed
// over in an exactly sized copy. The program stops at the first error; the
// state promises to stay usable, so the fuzzer goes on with the next line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/grow_str.h"
#include "fuzz/fuzz_support.h"
#include "tools/rowcaster_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  rowcaster_state st;
  rowcaster_init(&st);
  grow_str out{};
  size_t at = 0;
  uint64_t lines = 0;
  while (at < size) {
    const void* nl = std::memchr(text + at, '\n', size - at);
    if (nl == nullptr) break;
    const size_t len = static_cast<size_t>(static_cast<const char*>(nl) - (text + at)) + 1;
    std::unique_ptr<char[]> line(new char[len]);
    std::memcpy(line.get(), text + at, len);
    const uint64_t before = out.len;
    const int r = rowcaster_line(&st, line.get(), len, &out);
    ++lines;
    FUZZ_CHECK(st.line_number == lines);
    if (r != 0) {
      FUZZ_CHECK(r == -1);
      FUZZ_CHECK(std::memchr(st.error, 0, sizeof st.error) != nullptr && st.error[0] != 0);
    } else if (out.len > before) {
      // One whole entry: it starts with its DN and ends with an empty line.
      FUZZ_CHECK(out.len - before >= 4 && std::memcmp(out.bytes + before, "dn:", 3) == 0);
      FUZZ_CHECK(out.bytes[out.len - 1] == '\n' && out.bytes[out.len - 2] == '\n');
    }
    at += len;
  }
  rowcaster_value_is_plain(text, size);
  grow_str_free(&out);
  rowcaster_free(&st);
  return 0;
}
