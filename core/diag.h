// Diagnostics: the one-line writer with the program-name prefix, and the
// switch for trace lines.
#ifndef FERROWYN_CORE_DIAG_H_
#define FERROWYN_CORE_DIAG_H_

// Stores the pointer (the text is not copied). Only the servers set one.
void set_program_name(const char* name);

// Writes "<program>: " (when a name is set), every piece up to the null
// pointer, and "\n" straight to fd 2 with vectored writes of at most 25
// pieces each; std_err is neither flushed nor used. Does not end the process:
// callers reporting a fatal condition exit(1) right after it.
void diag_line(const char* piece, ...) __attribute__((sentinel));

// True in the tracing server, which writes a trace of every request on
// std_err; false everywhere else. Lines marked as trace lines check it.
extern bool trace_enabled;

#endif  // FERROWYN_CORE_DIAG_H_
