// The data file: read-only mapping, the one full check of a file's
// structure, and the server's loader.
//
// check_data_file is where trust begins. Everything that reads the loaded
// file afterwards (record accessors, findrec, index lookups, the search and
// bind code) reads words and strings in place without bounds checks, so
// the check covers every offset, count and string those readers follow.
#include "store/data_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <cstring>

#include "core/bytes.h"
#include "core/out_buffer.h"

loaded_data_file data_store;
void (*data_file_acl_loader)(uint32_t block) = nullptr;

// ---- Bounded reads ----------------------------------------------------------

// Words sit at arbitrary offsets in the file: load them bytewise-safe
// through memcpy, which compiles to one unaligned load.
static inline uint32_t load_le32(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  return w;
}

bool view_word(const data_view* v, uint64_t off, uint32_t* out) {
  if (off > v->size || v->size - off < 4) return false;
  *out = load_le32(v->base + off);
  return true;
}

bool view_text(const data_view* v, uint64_t off, uint64_t* len) {
  if (off >= v->size) return false;
  const void* nul = std::memchr(v->base + off, 0, v->size - off);
  if (nul == nullptr) return false;
  *len = static_cast<uint64_t>(static_cast<const char*>(nul) - (v->base + off));
  return true;
}

bool view_stored_str(const data_view* v, uint64_t off) {
  if (off >= v->size) return false;
  if (v->base[off] != '\0') {
    uint64_t len;
    return view_text(v, off, &len);
  }
  uint32_t len;
  if (!view_word(v, off + 1, &len)) return false;
  return v->size - (off + 5) >= len;
}

// ---- The check ----------------------------------------------------------------

namespace {

// The attribute table's name offsets as an open-addressing hash set, so
// that the millions of pair attributes of a large file are checked with one
// or two probes each. 0 marks an empty slot (no name offset is 0).
struct name_set {
  uint32_t* slots = nullptr;
  uint32_t shift = 0;
  uint64_t mask = 0;

  ~name_set() { std::free(slots); }

  uint64_t home(uint32_t name) const {
    return (uint64_t{name} * 0x9E3779B97F4A7C15ull) >> shift;
  }

  bool init(uint64_t count) {
    uint64_t capacity = 16;
    unsigned bits = 4;
    while (capacity < 2 * count) {
      capacity <<= 1;
      ++bits;
    }
    slots = static_cast<uint32_t*>(std::calloc(capacity, sizeof *slots));
    shift = 64 - bits;
    mask = capacity - 1;
    return slots != nullptr;
  }

  void insert(uint32_t name) {
    for (uint64_t i = home(name);; i = (i + 1) & mask) {
      if (slots[i] == name) return;
      if (slots[i] == 0) {
        slots[i] = name;
        return;
      }
    }
  }

  bool contains(uint32_t name) const {
    if (name == 0) return false;
    for (uint64_t i = home(name);; i = (i + 1) & mask) {
      if (slots[i] == name) return true;
      if (slots[i] == 0) return false;
    }
  }
};

// The file being checked, with the offset of its last 0 byte: a text that
// starts at or before it has its terminator inside the file, so checking
// the millions of strings of a large file needs one byte of each, not a
// search for its end.
struct checked_file {
  data_view view;
  uint64_t last_nul;  // offset of the last 0 byte; 0 when there is none,
                      // which no text then starts before
};

checked_file make_checked_file(const char* base, uint64_t size) {
  uint64_t last = 0;
  for (uint64_t i = size; i > 0; --i) {
    if (base[i - 1] == '\0') {
      last = i - 1;
      break;
    }
  }
  return checked_file{{base, size}, last};
}

// A string that a record or an index refers to: never offset 0 (0 means
// none everywhere), and whole inside the file.
inline bool good_string(const checked_file* f, uint32_t off) {
  if (off == 0 || off >= f->view.size) return false;
  if (f->view.base[off] != '\0') return off < f->last_nul;
  uint32_t len = 0;
  if (!view_word(&f->view, uint64_t{off} + 1, &len)) return false;
  return f->view.size - (uint64_t{off} + 5) >= len;
}

// DNs and attribute names are read as NUL-terminated text by some readers,
// so they must be in the short form.
inline bool good_text(const checked_file* f, uint32_t off) {
  return off != 0 && off < f->view.size && f->view.base[off] != '\0' && off < f->last_nul;
}

// Records first to last (exclusive), walked back to back from start; each
// must end before region_end and match its record offset table word. *end
// receives where the last one ends.
bool check_records(const checked_file* v, const name_set& names, uint64_t start,
                   uint64_t region_end, uint64_t first, uint64_t last, uint64_t offsets_at,
                   uint64_t* end) {
  const char* base = v->view.base;
  uint64_t r = start;
  for (uint64_t i = first; i < last; ++i) {
    if (region_end - r < 16) return false;
    if (load_le32(base + offsets_at + 4 * i) != r) return false;
    const uint64_t pairs = load_le32(base + r);
    if (pairs < 2 || (region_end - r) / 8 < pairs) return false;
    if (!good_text(v, load_le32(base + r + 8)) || !good_string(v, load_le32(base + r + 12))) {
      return false;
    }
    for (uint64_t p = r + 16, end = r + 8 * pairs; p < end; p += 8) {
      if (!names.contains(load_le32(base + p)) || !good_string(v, load_le32(base + p + 4))) {
        return false;
      }
    }
    r += 8 * pairs;
  }
  *end = r;
  return true;
}

// The second half of a large file's records is checked on a thread of its
// own: the check reads every record and one byte of every string, which on
// a file of a million entries is most of the start-up time.
struct records_half {
  const checked_file* file;
  const name_set* names;
  uint64_t start, region_end, first, last, offsets_at;
  bool ok;
};

void* check_records_half(void* arg) {
  auto* h = static_cast<records_half*>(arg);
  uint64_t end = 0;
  h->ok = check_records(h->file, *h->names, h->start, h->region_end, h->first, h->last,
                        h->offsets_at, &end);
  return nullptr;
}

// All records, in two halves at once when there are many.
bool check_all_records(const checked_file* v, const name_set& names, uint64_t start,
                       uint64_t region_end, uint64_t record_count, uint64_t offsets_at) {
  constexpr uint64_t kSplitAt = 100000;
  uint64_t end = 0;
  if (record_count < kSplitAt) {
    return check_records(v, names, start, region_end, 0, record_count, offsets_at, &end);
  }
  const uint64_t half = record_count / 2;
  // Where the second half starts, by the offset table; the first half must
  // end exactly there, which the walk of the first half confirms.
  const uint64_t middle = load_le32(v->view.base + offsets_at + 4 * half);
  if (middle < start || middle > region_end) return false;
  records_half second{v, &names, middle, region_end, half, record_count, offsets_at, false};
  pthread_t thread;
  const bool threaded = pthread_create(&thread, nullptr, check_records_half, &second) == 0;
  if (!threaded) check_records_half(&second);
  const bool first_ok = check_records(v, names, start, region_end, 0, half, offsets_at, &end);
  if (threaded) pthread_join(thread, nullptr);
  return first_ok && second.ok && end == middle;
}

// One index block of type 0, 1 or 3 at b, whose next word is next
// (already known to lie in (b, size]).
bool check_index_block(const checked_file* v, const name_set& names, uint32_t type, uint64_t b,
                       uint64_t next) {
  const char* base = v->view.base;
  const uint64_t length = next - b;
  if (type == block_sorted_table || type == block_sorted_table_with_records) {
    if (length < 12 || !names.contains(load_le32(base + b + 8))) return false;
    const uint64_t entry = type == block_sorted_table ? 4 : 8;
    if ((length - 12) % entry != 0) return false;
    const uint64_t values = (length - 12) / entry;
    // Only where the strings start: the lookups check each string they
    // read (data_string_whole), which costs nothing there, while checking
    // them all here would touch the string table in value order.
    for (uint64_t k = 0; k < values; ++k) {
      const uint32_t value = load_le32(base + b + 12 + 4 * k);
      if (value == 0 || value >= v->view.size) return false;
    }
    // Record numbers of type 1 need no check: numbers at or above
    // record_count are never added to a candidate set.
    return true;
  }
  // Hash table: buckets, then the record lists they point at.
  if (length < 16 || !names.contains(load_le32(base + b + 8))) return false;
  const uint64_t buckets = load_le32(base + b + 12);
  if (buckets == 0 || (length - 16) / 4 < buckets) return false;
  const uint64_t lists_start = b + 16 + 4 * buckets;
  for (uint64_t k = 0; k < buckets; ++k) {
    const uint64_t w = load_le32(base + b + 16 + 4 * k);
    if (w == 0 || w < b) continue;  // empty, or a single record number
    if (w < lists_start || w > next || next - w < 4) return false;
    const uint64_t count = load_le32(base + w);
    if ((next - w - 4) / 4 < count) return false;
  }
  return true;
}

}  // namespace

bool check_data_file(const char* base, uint64_t size) {
  if (base == nullptr || size < data_header_size) return false;
  const checked_file file = make_checked_file(base, size);
  const checked_file* v = &file;
  const uint64_t attribute_count = load_le32(base + 4);
  const uint64_t record_count = load_le32(base + 8);
  const uint64_t indices_offset = load_le32(base + 12);
  const uint64_t size_of_string_table = load_le32(base + 16);

  // Regions in file order; every sum fits in 64 bits since each term is
  // below 2^35.
  const uint64_t attributes_at = data_header_size + size_of_string_table;
  const uint64_t records_at = attributes_at + 8 * attribute_count;
  const uint64_t chain_at = indices_offset + 4 * record_count;
  // Readers compute the chain start in 32 bits; it must not wrap there.
  if (records_at > indices_offset || chain_at > size || chain_at > UINT32_MAX) return false;

  name_set names;
  if (!names.init(attribute_count)) return false;
  for (uint64_t i = 0; i < attribute_count; ++i) {
    const uint32_t name = load_le32(base + attributes_at + 4 * i);
    if (!good_text(v, name)) return false;
    names.insert(name);
  }

  if (!check_all_records(v, names, records_at, indices_offset, record_count, indices_offset)) {
    return false;
  }

  for (uint64_t b = chain_at; b < size;) {
    if (size - b < 8) return false;
    const uint32_t type = load_le32(base + b);
    const uint64_t next = load_le32(base + b + 4);
    // A block holds at least its own header, which also makes the chain
    // move strictly forward, so walking it always ends.
    if (next > size || next < b + 8) return false;
    if (type == block_sorted_table || type == block_sorted_table_with_records ||
        type == block_hash_table) {
      if (!check_index_block(v, names, type, b, next)) return false;
    }
    // The ACL block (type 2) is checked by its own loader; other types
    // are skipped by every reader.
    b = next;
  }
  return true;
}

// ---- Mapping and loading ----------------------------------------------------

const char* map_file_readonly(const char* path, uint64_t* size) {
  int fd = open_readonly(path);
  if (fd < 0) return nullptr;
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end <= 0) {
    close(fd);
    return nullptr;
  }
  *size = static_cast<uint64_t>(end);
  void* p = mmap(nullptr, static_cast<size_t>(end), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<const char*>(p);
}

[[noreturn]] static void fail(out_buffer* stream, const char* message, int status) {
  buf_put_flush(stream, message, cstr_length(message));
  exit(status);
}

void load_data_file(const char* path) {
  data_store.path = path;
  // The identity is taken before the mapping: should the file be replaced
  // in between, the change check then sees a newer file than the identity
  // and loads again, where the other order would keep the old mapping
  // under the new file's identity until the file changed once more.
  stat(path, &data_store.identity);
  uint64_t size = 0;
  const char* base = map_file_readonly(path, &size);
  if (base == nullptr) fail(&std_err, "could not open data!\n", 1);
  data_store.base = base;
  data_store.size = size;
  if (!check_data_file(base, size)) fail(&std_out, "broken data file!\n", 1);
  data_store.last_nul = make_checked_file(base, size).last_nul;

  data_store.magic = data_word(0);
  data_store.attribute_count = data_word(4);
  data_store.record_count = data_word(8);
  data_store.indices_offset = data_word(12);
  data_store.size_of_string_table = data_word(16);
  data_store.set_words = static_cast<uint32_t>((uint64_t{data_store.record_count} + 63) / 64);
  data_store.dn_name = 0;
  data_store.object_class_name = 0;
  data_store.user_password_name = 0;

  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint64_t i = 0; i < data_store.attribute_count; ++i) {
    const uint32_t name = data_word(table + 4 * i);
    const char* text = base + name;
    if (compare_text_nocase(text, "dn") == 0) {
      data_store.dn_name = name;
    } else if (compare_text_nocase(text, "objectClass") == 0) {
      data_store.object_class_name = name;
    } else if (compare_text_nocase(text, "userPassword") == 0) {
      data_store.user_password_name = name;
    }
  }
  if (data_store.dn_name == 0 || data_store.object_class_name == 0) {
    fail(&std_err, "can't happen error: dn or objectClass not there?!\n", 0);
  }

  // The index chain, for the ACL block (only the first one counts) and
  // the list of index blocks. The
  // check above already guarantees that the chain moves forward inside the
  // file; the bound test stays so that the walk never depends on it.
  uint64_t b = uint64_t{data_store.indices_offset} + 4 * uint64_t{data_store.record_count};
  uint64_t acl_block = 0;
  uint32_t indexes = 0;
  while (b < size) {
    const uint32_t type = data_word(b);
    if (type == block_acl_data && acl_block == 0) acl_block = b;
    if (type == block_sorted_table || type == block_sorted_table_with_records ||
        type == block_hash_table) {
      if (indexes < max_cached_index_blocks) {
        data_store.index_blocks[indexes] = {static_cast<uint32_t>(b), type, data_word(b + 8)};
      }
      ++indexes;
    }
    // A next equal to the block's own offset would repeat the walk for
    // ever, so it is as broken as one that points backwards.
    const uint64_t next = data_word(b + 4);
    if (next <= b || next > size) fail(&std_out, "broken data file!\n", 1);
    b = next;
  }
  data_store.index_block_count = indexes;
  ++data_store.generation;
  if (data_file_acl_loader != nullptr) data_file_acl_loader(static_cast<uint32_t>(acl_block));
  // The check touched every page of the file; the loading process keeps
  // none of them mapped. They stay in the page cache, and forked children
  // map what they read anyway (a shared file mapping's pages are not
  // copied at fork), so the server's parent stays small.
  madvise(const_cast<char*>(base), size, MADV_DONTNEED);
}

bool data_string_whole(uint64_t off) {
  const checked_file f{{data_store.base, data_store.size}, data_store.last_nul};
  return off <= UINT32_MAX && good_string(&f, static_cast<uint32_t>(off));
}

void unmap_data_file() {
  if (data_store.size != 0) munmap(const_cast<char*>(data_store.base), data_store.size);
  data_store.base = nullptr;
  data_store.size = 0;
}
