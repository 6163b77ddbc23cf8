// The line handling of rowcaster, the MySQL dump to LDIF converter.
//
// A dump is read one line at a time. Table definitions ("CREATE TABLE "
// up to ") TYPE=") give the column names and the primary key; each
// "INSERT INTO " after a definition gives one LDIF entry made of the first
// row: "dn: " the primary key value, "objectClass: rowcaster", then one
// "name: value" line per non-NULL column, then an empty line. Values that
// would not read back unchanged as plain LDIF are written "name:: base64".
//
// Nothing here reads, writes or exits: the caller feeds lines and sends the
// produced text wherever it likes, so tests and fuzzers can drive it.
#ifndef FERROWYN_TOOLS_ROWCASTER_CONVERT_H_
#define FERROWYN_TOOLS_ROWCASTER_CONVERT_H_

#include <cstdint>

#include "core/counted_str.h"
#include "core/grow_str.h"

enum rowcaster_phase {
  rowcaster_outside,           // no table definition seen yet
  rowcaster_in_definition,     // after a "CREATE TABLE " line
  rowcaster_after_definition,  // after the line that ended the definition
};

// A column name: a heap copy of its bytes.
struct rowcaster_column {
  char* bytes;
  uint64_t len;
};

// Zero-initialise, then set primary_key to -1 (or call rowcaster_init);
// release with rowcaster_free.
struct rowcaster_state {
  rowcaster_phase phase;
  uint64_t line_number;  // lines seen so far; the current one during a call
  // The current table's columns in definition order.
  rowcaster_column* columns;
  uint64_t column_count;
  uint64_t column_cap;
  // Position of the primary key column; -1 until a PRIMARY KEY line matched.
  // A new table keeps the old position until its own PRIMARY KEY line.
  int64_t primary_key;
  // One value per column of the row being converted; a null `bytes` is
  // SQL NULL. Points into the line given to rowcaster_line.
  counted_str* values;
  uint64_t value_cap;
  // After a failed call: the complete diagnostic text, for instance
  // "parse error in line 7: expected closing '!\n" or "out of memory".
  char error[128];
};

void rowcaster_init(rowcaster_state* st);
void rowcaster_free(rowcaster_state* st);

// Handles one line: len bytes, with its "\n" unless it is the last line of
// input. Quoted strings are unescaped in place, so the bytes are modified.
// Appends the LDIF of an INSERT line to out. Returns 0, or -1 with the
// message in st->error (then out may hold part of an entry, and the state
// stays safe to free or to use again).
int rowcaster_line(rowcaster_state* st, char* line, uint64_t len, grow_str* out);

// 1 when the value can be written plainly after "name: " and reads back as
// the same bytes, 0 when it must be written in base64.
int rowcaster_value_is_plain(const char* bytes, uint64_t n);

#endif  // FERROWYN_TOOLS_ROWCASTER_CONVERT_H_
