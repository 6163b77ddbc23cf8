// Builds data files: entries in, one file out that meets every rule the
// readers rely on (string placement for findrec, short-form names and DNs,
// sorted tables ordered by compare_values / compare_values_nocase, hash
// tables, record 0 only through a record list, type-1 tables for values
// that many records share).
//
// Usage: data_writer_new; declare attribute options (case-insensitive
// values, sorted and hash indexes) and the ACL block; add entries with
// begin_entry / add_value / end_entry; data_writer_write; data_writer_free.
// Everything is held in memory until written. Functions returning int give
// 0 on success and -1 on failure with a message for data_writer_error.
#ifndef FERROWYN_STORE_DATA_WRITER_H_
#define FERROWYN_STORE_DATA_WRITER_H_

#include <cstdint>

struct data_writer;

data_writer* data_writer_new();
void data_writer_free(data_writer* w);
// The message of the last failure ("" when none).
const char* data_writer_error(const data_writer* w);

// Attribute options; names compare without regard to case.
int data_writer_case_insensitive(data_writer* w, const char* attribute);
// block_type: -1 lets the writer choose (type 1 when the attribute's values
// are mostly shared between records, else type 0); 0 or 1 forces the type.
int data_writer_sorted_index(data_writer* w, const char* attribute, int block_type);
// bucket_count 0 chooses one from the number of values.
int data_writer_hash_index(data_writer* w, const char* attribute, uint32_t bucket_count);

// ---- The ACL block --------------------------------------------------------
// Written as the last block of the chain. It is either given whole
// (data_writer_acl_block, data_writer_acl_block_relative) or built from
// filters and entries (data_writer_acl_filter, data_writer_acl_entry); the
// two ways do not mix.
//
// The contents of the ACL block (everything after its type and next words),
// written as given; a later call replaces them.
int data_writer_acl_block(data_writer* w, const char* bytes, uint64_t n);
// The same, except that the words at the given byte positions of the
// contents hold offsets from the start of the block (its type word), to
// which the writer adds the block's file offset: the block holds file
// offsets, and where it lands is known only when the file is laid out.
int data_writer_acl_block_relative(data_writer* w, const char* bytes, uint64_t n,
                                   const uint64_t* positions, uint64_t position_count);
// A filter of the ACL filter table: the four bytes "self", the two bytes
// "*" and NUL, or a BER-encoded Filter, stored as given. Equal filters are
// stored once, in the order first given. Returns the filter's index in the
// table, or -1.
int64_t data_writer_acl_filter(data_writer* w, const char* bytes, uint64_t n);
// Appends an ACL entry (entries apply in the order given). subject and
// target are indices that data_writer_acl_filter returned; names are
// attribute names, matched without regard to case (a name that no entry has
// joins the attribute table), or "*" for every attribute.
int data_writer_acl_entry(data_writer* w, uint32_t subject, uint32_t target, uint16_t grant,
                          uint16_t deny, const char* const* names, uint64_t name_count);

// Starts an entry. The DN is normalised (canonical_dn); it must not be empty,
// hold a NUL byte, or repeat an earlier entry's DN.
int data_writer_begin_entry(data_writer* w, const char* dn, uint64_t dn_len);
// One value of an attribute of the current entry (any bytes). Attribute
// names are spelled as first seen; "dn" is refused.
int data_writer_add_value(data_writer* w, const char* attribute, uint64_t attribute_len,
                          const char* value, uint64_t value_len);
// Ends the entry; it must have an objectClass value.
int data_writer_end_entry(data_writer* w);

struct data_writer_stats {
  uint64_t entries;
  uint64_t attributes;  // attribute table entries
  uint64_t indexes;     // index blocks written (ACL block not counted)
  uint64_t bytes;       // file size
};
// Writes the file atomically: a temporary file in the same directory,
// written, synced and given mode 0666 less the umask, then renamed over
// path. stats may be null.
int data_writer_write(data_writer* w, const char* path, data_writer_stats* stats);

#endif  // FERROWYN_STORE_DATA_WRITER_H_
