// The data file: format, read-only mapping, and the server's loader.
//
// Every integer is an unsigned 32-bit little-endian word; every reference
// is a file offset. A string is referenced by the offset of its first byte
// (never 0, so 0 means none); an attribute by the offset of its name in the
// attribute table, so two attributes are the same exactly when their name
// offsets are equal.
//
//   OFFSET                        SIZE            DESCRIPTION
//   0                             20              header: magic, attribute_count,
//                                                 record_count, indices_offset,
//                                                 size_of_string_table
//   20                            size_of_string_table   stored_str strings
//   20 + sst                      8 * attribute_count    attribute_count name offsets,
//                                                 then attribute_count flag words
//                                                 (bit 0: values compare without case)
//   20 + sst + 8 * ac             8 * pairs       records, back to back
//   indices_offset                4 * record_count       record offset table
//   indices_offset + 4 * rc       to end of file  index chain
//
// Record at offset r, n = pair_count (n >= 2, the record is 8n bytes):
//   r: n   r+4: 0   r+8: DN string   r+12: first objectClass value
//   r+16+8k: attribute name offset   r+20+8k: value string   (k < n - 2)
//
// Index block at offset b: b: block_type, b+4: next (offset of the next
// block; the last one's is the file size). Types 0, 1, 3 carry the indexed
// attribute's name offset at b+8; layouts in store/index.h's source. Type 2
// is the ACL block.
//
// stored_str: a NUL-terminated text whose first byte is not 0, or a 0 byte,
// a 32-bit length and that many bytes (empty strings and contents holding a
// NUL use this long form). Attribute names and DNs are always short form.
//
// String placement, which findrec relies on: DN offsets increase with the
// record number, every value a type-0 table lists lies between its own
// record's DN and the next record's DN (for the last record: before record
// 0's first objectClass value), so shared strings come after all
// per-record ones.
#ifndef FERROWYN_STORE_DATA_FILE_H_
#define FERROWYN_STORE_DATA_FILE_H_

#include <sys/stat.h>

#include <cstdint>

constexpr uint32_t data_header_size = 20;
constexpr uint32_t block_sorted_table = 0;
constexpr uint32_t block_sorted_table_with_records = 1;
constexpr uint32_t block_acl_data = 2;
constexpr uint32_t block_hash_table = 3;
constexpr uint32_t attribute_flag_nocase = 1;

// An index block as the loader found it in the chain.
struct index_block_entry {
  uint32_t block;      // file offset of the block
  uint32_t type;       // block_sorted_table, _with_records or block_hash_table
  uint32_t attribute;  // name offset of the indexed attribute
};
constexpr uint32_t max_cached_index_blocks = 64;

// The server's process-wide view of the loaded data file.
struct loaded_data_file {
  const char* path;                // the path given at start-up
  const char* base;                // start of the read-only mapping
  uint64_t size;                   // file size as the mapping found it
  struct stat identity;            // stat of path at load; the change check compares it
  uint32_t magic;                  // the header words, copied
  uint32_t attribute_count;
  uint32_t record_count;
  uint32_t indices_offset;
  uint32_t size_of_string_table;
  uint32_t set_words;              // (record_count + 63) / 64: words of a candidate_set
  uint32_t dn_name;                // name offset of "dn"
  uint32_t object_class_name;      // name offset of "objectClass"
  uint32_t user_password_name;     // name offset of "userPassword", or 0
  uint64_t generation;             // incremented by every load: pointers kept from an
                                   // older generation point into an unmapped file
  uint64_t last_nul;               // offset of the file's last 0 byte (0: none), for
                                   // data_string_whole
  // The index blocks in chain order, so that a lookup does not walk the
  // chain through the file, a page per block, in every process that forks
  // from the loader. With more than max_cached_index_blocks (the count says
  // how many there are) only the first are listed, and lookups walk the
  // chain instead.
  uint32_t index_block_count;
  index_block_entry index_blocks[max_cached_index_blocks];
};
extern loaded_data_file data_store;

// Maps the whole file read-only and shared; stores its size. Null when it
// cannot be opened, is empty or cannot be mapped (errno tells why).
const char* map_file_readonly(const char* path, uint64_t* size);

// Loads (or, after the caller unmapped the old one, reloads) the data file
// into data_store. Returns only on success; otherwise ends the process:
// "could not open data!\n" (std_err, status 1), a table without dn or
// objectClass (std_err, status 0), a file that fails check_data_file
// "broken data file!\n" (std_out, status 1).
void load_data_file(const char* path);
// Builds the ACL state from the ACL block at the given file offset (0: the
// file has none). The ACL code sits above the store, so the program sets
// this before its first load; load_data_file calls it, when set, at the end
// of every load.
extern void (*data_file_acl_loader)(uint32_t block);

// Unmaps data_store's mapping (nothing when size is 0).
void unmap_data_file();

// True when every structure of the file lies inside it: header, attribute
// table, records (each DN, objectClass, name and value a whole stored_str
// in the file), record offset table (each entry the offset of its record),
// and the index chain (moving strictly forward, each block of types 0, 1
// and 3 well formed, its record lists inside). After this the readers may
// trust the file, with one exception: the value strings of sorted tables
// are only known to start inside the file. Checking each of them is a
// cache miss per table entry, the larger part of the whole check of a big
// file, while a lookup reads a handful; so their one reader checks each
// with data_string_whole before reading it.
bool check_data_file(const char* base, uint64_t size);

// Whether a whole stored_str starts at off in the loaded file; constant
// time (data_store.last_nul).
bool data_string_whole(uint64_t off);

// ---- Bounded reads, for the tools that walk files without checking ----
struct data_view {
  const char* base;
  uint64_t size;
};
// The word at off, when all four bytes lie inside the view.
bool view_word(const data_view* v, uint64_t off, uint32_t* out);
// The length of the NUL-terminated text at off, when its NUL lies inside.
bool view_text(const data_view* v, uint64_t off, uint64_t* len);
// True when a whole stored_str starts at off inside the view.
bool view_stored_str(const data_view* v, uint64_t off);

// Little-endian word at off of the loaded file (trusted).
inline uint32_t data_word(uint64_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(data_store.base + off);
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

#endif  // FERROWYN_STORE_DATA_FILE_H_
