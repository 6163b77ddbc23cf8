// aclprint: lists the access control data of a data file: the numbered
// filters that ACL entries refer to, as filter text, and every entry with
// its subject and target filter numbers, its attributes and its rights.
//
//   aclprint [file]        (default: "data" in the current directory)
//
// Unlike the other data file tools it checks what it follows: a chain link,
// filter offset, ACL table offset, entry offset or attribute name that
// points the wrong way (or any word or text that would lie outside the
// file) ends the listing with "broken file!" on standard output, status 1.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/filter.h"
#include "core/out_buffer.h"
#include "store/data_file.h"

static data_view file;

[[noreturn]] static void broken() {
  static constexpr char text[] = "broken file!\n";
  buf_put_flush(&std_out, text, sizeof text - 1);
  exit(1);
}

static uint32_t word_at(uint64_t off) {
  uint32_t w;
  if (!view_word(&file, off, &w)) broken();
  return w;
}

static uint16_t half_at(uint64_t off) {
  if (off > file.size || file.size - off < 2) broken();
  const auto* p = reinterpret_cast<const unsigned char*>(file.base + off);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

static bool bytes_at(uint64_t off, const char* text, uint64_t n) {
  return off <= file.size && file.size - off >= n && memcmp(file.base + off, text, n) == 0;
}

// The ACL block's offset, 0 when the chain has none.
static uint64_t find_acl_block() {
  const uint32_t indices_offset = word_at(12);
  const uint32_t record_count = word_at(8);
  // In 32 bits, as every reader of the file computes it.
  uint64_t offset = uint32_t{indices_offset + 4 * record_count};
  while (offset < file.size) {
    if (word_at(offset) == block_acl_data) return offset;
    const uint64_t next = word_at(offset + 4);
    if (next <= offset || next > file.size) broken();
    offset = next;
  }
  return 0;
}

static void print_filter(uint64_t o) {
  if (bytes_at(o, "self", 4)) {
    buf_put_str(&std_out, "self");
    return;
  }
  if (bytes_at(o, "*", 2)) {  // "*" and its NUL
    buf_put_str(&std_out, "any");
    return;
  }
  Filter* f = nullptr;
  if (ldap_decode_filter(file.base + o, file.base + file.size, &f) == 0) return;
  const int64_t n = filter_to_text(nullptr, f);
  if (n > 0) {
    char* text = static_cast<char*>(malloc(static_cast<size_t>(n)));
    if (text == nullptr) {
      free_filter(f);
      broken();
    }
    filter_to_text(text, f);
    buf_put(&std_out, text, static_cast<uint64_t>(n));
    free(text);
  }
  free_filter(f);
}

static void put_rights(char sign, uint16_t rights) {
  if (rights == 0) return;
  static constexpr char letters[] = "rwadR";
  char text[6] = {sign};
  uint64_t n = 1;
  for (int bit = 0; bit < 5; ++bit)
    if ((rights & (1u << bit)) != 0) text[n++] = letters[bit];
  buf_put(&std_out, text, n);
}

// The attribute names of the entry at a, from a + 12 to a 0 word or the
// end of the file; each must be stored before its own word, and its text
// must end inside the file.
static void print_names(uint64_t a) {
  for (uint64_t p = a + 12; file.size - p >= 4; p += 4) {
    const uint32_t name = word_at(p);
    if (name == 0) break;
    uint64_t len;
    if (name > p || !view_text(&file, name, &len)) broken();
    buf_put(&std_out, file.base + name, len);
    const bool more = file.size - (p + 4) >= 4 && word_at(p + 4) != 0;
    buf_put_str(&std_out, more ? "," : " ");
  }
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "data";
  file.base = map_file_readonly(name, &file.size);
  if (file.base == nullptr) {
    buf_put_strs(&std_err, "could not open `", name, "': ", nullptr);
    buf_put_errno_text(&std_err);
    buf_put_newline_flush(&std_err);
    return 1;
  }

  const uint64_t block = find_acl_block();
  if (block == 0) return 0;

  const uint64_t filter_count = word_at(block + 8);
  buf_put_decimal(&std_out, filter_count);
  buf_put_str(&std_out, " Filters:\n\n");
  const uint64_t table = block + 12;
  if (table + 4 * filter_count > UINT32_MAX) broken();
  for (uint64_t i = 0; i < filter_count; ++i) {
    const uint64_t o = word_at(table + 4 * i);
    if (o < table || o > file.size) broken();
    buf_put_decimal(&std_out, i);
    buf_put_str(&std_out, ": ");
    print_filter(o);
    buf_put_newline_flush(&std_out);
  }

  const uint64_t list = word_at(table + 4 * filter_count);
  if (list < table || list > file.size - 4) broken();
  const uint64_t entry_count = word_at(list);
  buf_put_str(&std_out, "\n\n");
  buf_put_decimal(&std_out, entry_count);
  buf_put_str(&std_out, " ACLs:\n\n");
  buf_flush(&std_out);
  for (uint64_t j = 0; j < entry_count; ++j) {
    const uint64_t a = word_at(list + 4 + 4 * j);
    if (a > file.size || file.size - a < 16) broken();
    buf_put_decimal(&std_out, j);
    buf_put_str(&std_out, ":  acl [");
    buf_put_decimal(&std_out, word_at(a));
    buf_put_str(&std_out, "] [");
    buf_put_decimal(&std_out, word_at(a + 4));
    buf_put_str(&std_out, "] ");
    print_names(a);
    put_rights('+', half_at(a + 8));
    put_rights('-', half_at(a + 10));
    buf_put_newline_flush(&std_out);
  }
  buf_flush(&std_out);
  return 0;
}
