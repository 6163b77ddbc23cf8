// The one-line diagnostic writer.
//
// diag_line bypasses std_err on purpose: it is used right before the process
// ends, when a half-filled std_err (or one that cannot be trusted any more)
// must not delay or garble the last words. The pieces are gathered as iovecs
// and written to fd 2 directly, so nothing is copied and nothing allocated.

#include "core/diag.h"

#include <string.h>
#include <sys/uio.h>

#include <cstdarg>

bool trace_enabled = false;

static const char* program_name = nullptr;

// Pieces gathered for the next vectored write; a full vector is written at
// once, so diag_count stays between 0 and 24 between appends.
static constexpr int kDiagVectorSize = 25;
static iovec diag_vector[kDiagVectorSize];
static int diag_count = 0;

void set_program_name(const char* name) {
  program_name = name;
}

static void diag_write_pending() {
  if (diag_count == 0) return;
  // The result is deliberately ignored: there is no better place left to
  // report a failure to write to fd 2, and a short write is not continued.
  ssize_t ignored = writev(2, diag_vector, diag_count);
  (void)ignored;
  diag_count = 0;
}

static void diag_append(const char* text) {
  diag_vector[diag_count].iov_base = const_cast<char*>(text);  // writev only reads it
  diag_vector[diag_count].iov_len = text != nullptr ? strlen(text) : 0;
  if (++diag_count == kDiagVectorSize) diag_write_pending();
}

void diag_line(const char* piece, ...) {
  if (program_name != nullptr) {
    diag_append(program_name);
    diag_append(": ");
  }
  // The first piece is part of the line even if it is the terminator; a
  // null first piece contributes no bytes.
  diag_append(piece);
  if (piece != nullptr) {
    va_list ap;
    va_start(ap, piece);
    for (const char* p = va_arg(ap, const char*); p != nullptr; p = va_arg(ap, const char*)) {
      diag_append(p);
    }
    va_end(ap);
  }
  diag_append("\n");
  diag_write_pending();
}
