// The journal's streaming LDIF reader.
//
// parse_ldif reads a file of entries from a given offset, one entry at a
// time: each attribute line's value is decoded (backslash escapes, or
// base64 after "::"), the DN is normalised, and the strings go into the
// process-wide stores below; every complete entry is handed to
// entry_callback as an ldif_record of offsets into those stores. It reads
// only the journal's dialect: comments, version lines, change records and
// URL values are ordinary attribute lines here, and the names "dn" and
// "objectClass" are recognised case-sensitively.
//
// How values are stored (all as stored_str):
//  - an ordinary value is stored as exactly its decoded bytes: the short
//    form when they are not empty and hold no 0 byte, otherwise the long
//    form with exactly those bytes (no terminator is counted as content);
//    ";binary" does not change this. A base64 value that does not decode
//    to its end is empty.
//  - the DN is normalised with canonical_dn and stored the same way, so an
//    ordinary DN is a short-form text, and an empty DN, or one holding a 0
//    byte (possible through escapes or base64), is a long-form string
//    that every stored_str reader reads with its true length.
// Names, continuation lines and base64 values of any length are read
// whole.
#ifndef FERROWYN_JOURNAL_LDIF_PARSER_H_
#define FERROWYN_JOURNAL_LDIF_PARSER_H_

#include <sys/stat.h>

#include <cstdint>

#include "journal/arena.h"
#include "journal/intern_pool.h"

// The most value lines one entry may hold (besides its "dn" line). Large
// groups hold thousands of members; a record stays within 1 MiB anyway.
constexpr uint32_t ldif_max_pairs = 4096;
// The dn field of a record that has had no "dn" line.
constexpr uint32_t ldif_no_dn = UINT32_MAX;

struct ldif_pair {
  uint32_t name;   // offset of the interned name in name_pool's strings
  uint32_t value;  // offset in object_class_pool's strings for
                   // "objectClass", else in value_arena
};

// One entry; a single instance is reused from entry to entry.
struct ldif_record {
  uint32_t dn;     // offset of the normalised DN in value_arena, or ldif_no_dn
  uint32_t count;  // pairs in use, 0 to ldif_max_pairs
  ldif_pair pairs[ldif_max_pairs];  // the lines other than "dn", in input order
};

// Called after each complete entry; 0 accepts it, -1 stops the parse. It
// may empty value_arena (arena_clear). A null callback accepts every entry.
using ldif_entry_fn = int (*)(const ldif_record* record);
extern ldif_entry_fn entry_callback;

// DNs and values of the entry being parsed; emptied at every parse start.
extern arena value_arena;
// Attribute names; every parse interns "dn" and "objectClass" first.
extern intern_pool name_pool;
// objectClass values.
extern intern_pool object_class_pool;

// Parses the file at path from start_offset to its end. Returns 0 when the
// input was read to its end and every entry accepted (also, touching
// nothing, when the file cannot be opened), 1 for out of memory or a read
// error (with "out of memory!\n" or "read error!\n" on std_err, except for
// a read failure inside a value's first line), -1 when the callback refused
// an entry. An entry with more than ldif_max_pairs lines besides "dn" ends the process
// with status 1 and a "LDIF parse error: too many attributes!: " line.
// When status is not null it receives fstat of the file with st_size set
// to the offset where parsing stopped: the end of the input, or the start
// of a line that begins with ":" at the start of an entry (where the parse
// ends early); parsing again from there resumes with what follows.
int parse_ldif(const char* path, int64_t start_offset, struct stat* status);
// The same over the open file fd, from start_offset up to end_offset at
// most (bytes from there on are not read, as if the file ended there). The
// descriptor is left open, its position wherever the parse stopped.
int parse_ldif_range(int fd, int64_t start_offset, int64_t end_offset, struct stat* status);

#endif  // FERROWYN_JOURNAL_LDIF_PARSER_H_
