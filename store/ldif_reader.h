// A streaming reader of standard LDIF content records (RFC 2849), for the
// importer: one entry at a time from a file or standard input.
//
// Read: comments ("#" lines, folded or not), a "version: 1" line before the
// first entry, folded lines (a line that starts with one space continues the
// one before), "attr: value", "attr:: base64", "attr;options: value" (the
// options stay part of the name), LF or CRLF line ends, a missing final
// newline. One departure from RFC 2849: in a plain value (not base64) a
// backslash followed by two hex digits stands for that byte, so that the
// output of ldifexport reads back unchanged; a backslash not followed by two
// hex digits is kept as it is. Refused with the line number: change records
// ("changetype:", "control:"), URL values (":<"), bad base64, lines without a
// colon, invalid attribute names, an entry that does not start with "dn:".
//
// There are no limits on line length or the number of attributes; memory
// grows with the largest entry only.
#ifndef FERROWYN_STORE_LDIF_READER_H_
#define FERROWYN_STORE_LDIF_READER_H_

#include <cstdint>

#include "core/counted_str.h"

struct ldif_reader;

struct ldif_attribute {
  counted_str name;   // as written, options included ("cn;lang-en")
  counted_str value;  // decoded bytes
};

// One entry; every pointer stays valid until the next ldif_reader_next.
struct ldif_entry {
  counted_str dn;  // decoded, not normalised
  const ldif_attribute* attributes;
  uint64_t count;
  uint64_t line;  // line number of the "dn:" line
};

// Opens path for reading; "-" is standard input (not closed at the end).
// Null when the file cannot be opened (errno tells why) or memory is short.
ldif_reader* ldif_reader_open(const char* path);
// The next entry: 1 (in *entry), 0 at the end of the input, -1 on a syntax
// or read error (ldif_reader_error tells which). After -1 the reader only
// returns -1.
int ldif_reader_next(ldif_reader* r, ldif_entry* entry);
// "NAME:LINE: message" for the last failure ("" when none); NAME is the path
// given, or "-" for standard input.
const char* ldif_reader_error(const ldif_reader* r);
void ldif_reader_close(ldif_reader* r);

#endif  // FERROWYN_STORE_LDIF_READER_H_
