// The journal writer: every successful add, modify and delete appends one
// record to the file "journal" in the working directory, stating the
// complete new contents of one entry (a DN line alone deletes it):
//
//   "dn: " ESC(dn) "\n"
//   for each attribute, for each value: ESC(type) ": " ESC(value) "\n"
//   "\n"
//
// ESC escapes the bytes 0x00-0x1f and "(", ")", "*", "\" as "\" and two
// lowercase hex digits, so a record's only empty line is its last one.
#ifndef FERROWYN_JOURNAL_JOURNAL_WRITER_H_
#define FERROWYN_JOURNAL_JOURNAL_WRITER_H_

#include <cstdint>

#include "codec/search.h"
#include "core/counted_str.h"

// One attribute of a request_entry.
struct request_attribute {
  counted_str type;         // description as given in a request, or as stored
  string_node* vals;        // the values in order (attribute_offset unused)
  request_attribute* next;
};

// The entry an update request is about to write; for a delete the DN only.
// Built and owned by the update operation.
struct request_entry {
  counted_str dn;                  // normalised
  request_attribute* attributes;   // in order; null for none
};

// Writes the record of e to fd with one write(2): 0 when all of it was
// written, -1 otherwise (empty DN, a piece or the record over 1 MiB, a short
// or failed write).
int write_change(int fd, const request_entry* e);
// Opens "journal" (O_WRONLY | O_APPEND | O_CREAT, mode 0600), takes its
// exclusive lock, write_change, closes: 0 or -1. A record written only in
// part is truncated away again, so the journal always ends with a whole
// record.
int journal_append(const request_entry* e);
// flock(2) retried after signals: 0 or -1. Writers of the journal hold
// LOCK_EX around each append, readers LOCK_SH around each parse.
int lock_descriptor(int fd, int operation);
// dest becomes an allocated copy of src's bytes (one spare byte allocated):
// 0, or -1 when memory is short (dest->bytes null, length unchanged).
int copy_counted_str(counted_str* dest, counted_str src);
// *dest becomes a new list with the same strings (bytes shared): 0, or -1
// when memory is short (the nodes made so far stay linked).
int copy_value_list(string_node** dest, const string_node* src);
// Frees every request_attribute of e and every node of their vals (not the
// bytes, not the dn).
void release_request_entry(request_entry* e);

#endif  // FERROWYN_JOURNAL_JOURNAL_WRITER_H_
