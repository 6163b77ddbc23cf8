// dataprint: prints the structure of a data file (header, attribute table,
// index chain) for people who build or debug data files.
//
//   dataprint [file]        (default: "data" in the current directory)
//
// The file is read through bounded views, so a corrupt file is printed as
// far as it makes sense and then reported on standard error with the offset
// of the first word or string that lies outside the file, exit status 1.
#include <cstdint>
#include <cstdlib>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "store/data_file.h"

static const char* file_name;

// Ends the dump at a word or string that cannot be read.
[[noreturn]] static void broken(uint64_t offset) {
  buf_flush(&std_out);
  buf_put_strs(&std_err, "dataprint: ", file_name, ": broken data file at offset ", nullptr);
  buf_put_decimal(&std_err, offset);
  buf_put_newline_flush(&std_err);
  exit(1);
}

static uint32_t word_at(const data_view* v, uint64_t off) {
  uint32_t w;
  if (!view_word(v, off, &w)) broken(off);
  return w;
}

// The length of the NUL-terminated text at off.
static uint64_t text_at(const data_view* v, uint64_t off) {
  uint64_t len;
  if (!view_text(v, off, &len)) broken(off);
  return len;
}

static void put_field(const char* label, uint64_t value) {
  buf_put_str(&std_out, label);
  buf_put_decimal(&std_out, value);
  buf_put_str(&std_out, "\n");
}

int main(int argc, char** argv) {
  file_name = argc > 1 ? argv[1] : "data";
  data_view view{nullptr, 0};
  view.base = map_file_readonly(file_name, &view.size);
  if (view.base == nullptr) {
    buf_put_strs(&std_err, "could not open \"", file_name, "\": ", nullptr);
    buf_put_errno_text(&std_err);
    buf_put_newline_flush(&std_err);
    return 1;
  }
  const data_view* v = &view;

  const uint32_t magic = word_at(v, 0);
  buf_put_str(&std_out, "magic: ");
  buf_put_hex(&std_out, magic);
  buf_put_str(&std_out, "\n");
  const uint32_t attribute_count = word_at(v, 4);
  put_field("attribute_count=", attribute_count);
  const uint32_t record_count = word_at(v, 8);
  put_field("record_count=", record_count);
  const uint32_t indices_offset = word_at(v, 12);
  put_field("indices_offset=", indices_offset);
  const uint32_t size_of_string_table = word_at(v, 16);
  put_field("size_of_string_table=", size_of_string_table);
  buf_flush(&std_out);

  buf_put_str(&std_out, "\n\nAttributes:\n");
  const uint64_t names = data_header_size + uint64_t{size_of_string_table};
  const uint64_t flags = names + 4 * uint64_t{attribute_count};
  for (uint64_t i = 0; i < attribute_count; ++i) {
    const uint32_t name = word_at(v, names + 4 * i);
    const uint32_t flag = word_at(v, flags + 4 * i);
    const uint64_t len = text_at(v, name);
    buf_put(&std_out, v->base + name, len);
    if ((flag & attribute_flag_nocase) != 0) buf_put_str(&std_out, " (case insensitive)");
    buf_put_newline_flush(&std_out);
  }

  buf_put_str(&std_out, "\nIndices:\n");
  // The chain starts behind the record offset table, computed in 32 bits
  // as every reader of the file computes it.
  uint32_t offset = indices_offset + 4 * record_count;
  while (offset < view.size) {
    const uint32_t type = word_at(v, offset);
    const uint32_t next = word_at(v, uint64_t{offset} + 4);
    const bool named = type == block_sorted_table || type == block_sorted_table_with_records ||
                       type == block_hash_table;
    uint32_t attribute = 0;
    uint64_t attribute_len = 0;
    if (named) {
      attribute = word_at(v, uint64_t{offset} + 8);
      attribute_len = text_at(v, attribute);
    }
    buf_put_str(&std_out, "index type: ");
    switch (type) {
      case block_sorted_table: buf_put_str(&std_out, "sorted table"); break;
      case block_sorted_table_with_records:
        buf_put_str(&std_out, "sorted table with record pointer");
        break;
      case block_acl_data: buf_put_str(&std_out, "acl data"); break;
      case block_hash_table: buf_put_str(&std_out, "hash table"); break;
      default:
        buf_put_str(&std_out, "unknown (");
        buf_put_decimal(&std_out, type);
        buf_put_str(&std_out, ")");
        break;
    }
    buf_put_str(&std_out, "\nnext: ");
    buf_put_decimal(&std_out, next);
    if (named) {
      buf_put_str(&std_out, "\nattribute: ");
      buf_put(&std_out, v->base + attribute, attribute_len);
    }
    buf_put_str(&std_out, "\n");
    // A chain that does not move forward, or leaves the file, ends here
    // rather than being walked for ever.
    if (next <= offset || next > view.size) broken(uint64_t{offset} + 4);
    buf_put_str(&std_out, "size: ");
    buf_put_decimal(&std_out, (next - offset) >> 10);
    buf_put_str(&std_out, " KiB\n");
    buf_flush(&std_out);
    offset = next;
  }
  buf_flush(&std_out);
  return 0;
}
