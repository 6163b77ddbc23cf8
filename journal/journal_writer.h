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

// The file name of the journal, relative to the working directory.
constexpr char journal_path[] = "journal";

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
// Whether an answered change must be on stable storage before it is
// answered: every append is followed by fdatasync (and the first one, which
// creates the journal, by an fsync of its directory). On unless the
// operator turns it off for a bulk load, knowing that a crash or power loss
// may then lose changes that clients were told had succeeded.
extern bool journal_durable;

// An exclusive hold on the journal, for a change that must read the
// current state, decide and append without another writer in between.
struct journal_hold {
  int fd;  // "journal" opened for appending, its exclusive lock held; -1 when not held
};

// Opens "journal" for reading and appending (O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, mode
// 0600), refuses a file that another user owns, takes the exclusive lock
// and cuts an incomplete last record (journal_cut_incomplete): 0, or -1
// with nothing held (h->fd is -1).
int journal_hold_exclusive(journal_hold* h);
// Appends e's record under the hold with write_change, then makes it
// durable when journal_durable is set: 0 when the record is in the journal
// (and on stable storage), -1 otherwise; a record written only in part is
// truncated away again, so the journal always ends with a whole record.
int journal_append_held(journal_hold* h, const request_entry* e);
// Releases the lock and closes the descriptor.
void journal_release(journal_hold* h);
// journal_hold_exclusive, journal_append_held, journal_release: 0 or -1.
int journal_append(const request_entry* e);

// The offset just past the last whole record of the open journal fd of
// `size` bytes: past its last empty line ("\n\n"), 0 when it has none, size
// when it ends with one. Every record the server writes ends with the only
// empty line it holds, so bytes after that point are the head of a record
// whose append was cut short (a crash, a power loss). -1 on a read error.
int64_t journal_whole_end(int fd, int64_t size);
// With the exclusive lock held on fd (opened for writing): truncates the
// journal to journal_whole_end, with one line on std_err naming the bytes
// dropped. Returns the bytes dropped (0 when the journal ends with a whole
// record), or -1 when the end cannot be read or the file not truncated.
int64_t journal_cut_incomplete(int fd);
// Whether fd is a journal this server may trust: a regular file owned by
// the process's effective user. Appends and reads refuse any other.
bool journal_owned(int fd);
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
