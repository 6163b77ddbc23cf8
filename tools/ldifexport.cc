// ldifexport: writes every record of a data file as LDIF on standard output,
// in the dialect that the journal and ldifimport read back unchanged.
//
//   ldifexport [file]       (default: "data" in the current directory)
//
// Records are walked in file order from the end of the attribute table.
// Each record is read through a bounded view and checked whole before any
// of it is written, so a corrupt file yields the entries before the damage,
// then a line on standard error with the offset of the first word or string
// that lies outside the file, and exit status 1.
#include <cstdint>
#include <cstdlib>

#include "core/base64.h"
#include "core/bytes.h"
#include "core/escape.h"
#include "core/out_buffer.h"
#include "store/data_file.h"

static const char* file_name;

[[noreturn]] static void broken(uint64_t offset) {
  buf_flush(&std_out);
  buf_put_strs(&std_err, "ldifexport: ", file_name, ": broken data file at offset ", nullptr);
  buf_put_decimal(&std_err, offset);
  buf_put_newline_flush(&std_err);
  exit(1);
}

static uint32_t word_at(const data_view* v, uint64_t off) {
  uint32_t w;
  if (!view_word(v, off, &w)) broken(off);
  return w;
}

// Writes the escaped form of the bytes piece by piece, so that a value of
// any size needs no allocation: escaping works byte by byte.
static void put_escaped(const char* bytes, uint64_t n) {
  char out[3 * 2048];
  for (uint64_t done = 0; done < n;) {
    const uint64_t piece = n - done < 2048 ? n - done : 2048;
    const int64_t len = escape_value(out, bytes + done, piece);
    buf_put(&std_out, out, static_cast<uint64_t>(len));
    done += piece;
  }
}

// Base64 in pieces of whole 3-byte groups, so that only the last piece is
// padded.
static void put_base64(const char* bytes, uint64_t n) {
  constexpr uint64_t kPiece = uint64_t{3} * 1536;
  char out[kPiece / 3 * 4];
  for (uint64_t done = 0; done < n;) {
    const uint64_t piece = n - done < kPiece ? n - done : kPiece;
    const int64_t len = base64_encode(out, bytes + done, piece);
    buf_put(&std_out, out, static_cast<uint64_t>(len));
    done += piece;
  }
}

// The value after the attribute's colon: plain, escaped, or base64 after a
// second colon, whichever reads back unchanged and is shortest. A value that
// begins with a space, ":" or "<" would read back altered (the reader takes
// them as separator, base64 or URL marks), so it always goes as base64.
static void put_value(const char* s) {
  const uint64_t n = stored_str_len(s);
  const char* bytes = stored_str_data(s);
  const bool marked_start = n > 0 && (bytes[0] == ' ' || bytes[0] == ':' || bytes[0] == '<');
  const uint64_t escaped = static_cast<uint64_t>(escape_value(nullptr, bytes, n));
  const uint64_t base64 = 4 * ((n + 2) / 3);
  if (!marked_start && escaped == n) {
    buf_put(&std_out, " ", 1);
    buf_put(&std_out, bytes, n);
  } else if (!marked_start && escaped <= base64) {
    buf_put(&std_out, " ", 1);
    put_escaped(bytes, n);
  } else {
    buf_put(&std_out, ": ", 2);
    put_base64(bytes, n);
  }
}

// Checks that everything the record at r refers to lies in the file.
static void check_record(const data_view* v, uint64_t r, uint32_t pairs) {
  if (pairs < 2) broken(r);
  for (uint64_t at = r + 8; at < r + 16; at += 4) {
    const uint32_t s = word_at(v, at);
    if (!view_stored_str(v, s)) broken(s);
  }
  for (uint64_t k = 0; k < pairs - 2; ++k) {
    const uint32_t name = word_at(v, r + 16 + 8 * k);
    const uint32_t value = word_at(v, r + 20 + 8 * k);
    uint64_t len;
    if (!view_text(v, name, &len)) broken(name);
    if (!view_stored_str(v, value)) broken(value);
  }
}

int main(int argc, char** argv) {
  file_name = argc > 1 ? argv[1] : "data";
  data_view view{nullptr, 0};
  view.base = map_file_readonly(file_name, &view.size);
  if (view.base == nullptr) {
    buf_put_strs(&std_err, "could not open ", file_name, ": ", nullptr);
    buf_put_errno_text(&std_err);
    buf_put_newline_flush(&std_err);
    return 1;
  }
  const data_view* v = &view;
  const uint32_t attribute_count = word_at(v, 4);
  const uint32_t record_count = word_at(v, 8);
  const uint32_t size_of_string_table = word_at(v, 16);

  // The record offset table is not needed: records lie back to back.
  uint64_t r = data_header_size + uint64_t{size_of_string_table} + 8 * uint64_t{attribute_count};
  for (uint32_t i = 0; i < record_count; ++i) {
    const uint32_t pairs = word_at(v, r);
    check_record(v, r, pairs);
    const char* base = view.base;
    buf_put(&std_out, "dn:", 3);
    put_value(base + word_at(v, r + 8));
    buf_put(&std_out, "\nobjectClass:", 13);
    put_value(base + word_at(v, r + 12));
    buf_put(&std_out, "\n", 1);
    for (uint64_t k = 0; k < pairs - 2uLL; ++k) {
      const char* name = base + word_at(v, r + 16 + 8 * k);
      buf_put_str(&std_out, name);
      buf_put(&std_out, ":", 1);
      put_value(base + word_at(v, r + 20 + 8 * k));
      buf_put(&std_out, "\n", 1);
    }
    buf_put_newline_flush(&std_out);
    r += 8 * uint64_t{pairs};
  }
  buf_flush(&std_out);
  return 0;
}
