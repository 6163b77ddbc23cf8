// rowcaster: converts a MySQL dump on standard input into LDIF on standard
// output, one entry per INSERT statement (its first row), named by the
// row's primary key value.
//
//   rowcaster < dump.sql > rows.ldif
//
// Exit status 0 at the end of input; 1 after an error, which is one line on
// standard error. Entries still buffered at an error are not written.
#include <errno.h>

#include <cstdlib>

#include "core/diag.h"
#include "core/grow_str.h"
#include "core/out_buffer.h"
#include "tools/rowcaster_convert.h"

int main() {
  rowcaster_state st;
  rowcaster_init(&st);
  grow_str line{};
  grow_str entry{};
  for (;;) {
    const int got = grow_str_read_line(&std_in, &line);
    if (got < 0 && errno == ENOMEM) {
      diag_line("out of memory", nullptr);
      exit(1);
    }
    // A read error ends the input like its end does; a last line without
    // its newline is still a line.
    if (got < 0 || (got == 0 && line.len == 0)) break;
    entry.len = 0;
    if (rowcaster_line(&st, line.bytes, line.len, &entry) != 0) {
      diag_line(st.error, nullptr);
      exit(1);
    }
    // Whole entries go to the buffer, which writes them out when it fills
    // up and before every read of more input.
    buf_put(&std_out, entry.bytes, entry.len);
    if (got == 0) break;
  }
  buf_flush(&std_out);
  grow_str_free(&line);
  grow_str_free(&entry);
  rowcaster_free(&st);
  return 0;
}
