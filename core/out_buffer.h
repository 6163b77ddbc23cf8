// Buffered input and output on file descriptors.
//
// One record, out_buffer, serves both directions; its io_op decides which.
// Output operations return 0 on success and -1 on failure (callers in this
// system ignore the result, so output failures are silent). Nothing here
// allocates and nothing flushes automatically at exit: every program flushes
// std_out itself before it returns or exits.
#ifndef FERROWYN_CORE_OUT_BUFFER_H_
#define FERROWYN_CORE_OUT_BUFFER_H_

#include <cstdint>

struct out_buffer;

// Moves bytes: called with (fd, bytes, count, the buffer itself); returns a
// count, or a negative value with errno set. Output ops only read `bytes`.
using io_op_fn = int64_t (*)(int fd, char* bytes, uint64_t count, out_buffer* b);

struct out_buffer {
  char* storage;      // byte array, not owned by the record
  uint64_t pos;       // output: bytes buffered; input: index of next unread byte
  uint64_t end;       // input only: valid bytes in storage; 0 for output
  uint64_t capacity;  // size of storage
  io_op_fn io_op;     // sys_write for output; sys_read or std_in_read for input
  int fd;             // the file descriptor
};

// The system write(2) and read(2) as io_ops. buf_put and buf_put_flush
// recognise sys_write by identity and then use writev(2).
int64_t sys_write(int fd, char* bytes, uint64_t count, out_buffer* b);
int64_t sys_read(int fd, char* bytes, uint64_t count, out_buffer* b);
// Flushes std_out first (returns -1 without reading if that fails), then reads.
int64_t std_in_read(int fd, char* bytes, uint64_t count, out_buffer* b);

// The standard buffers: fds 0, 1, 2, each with 8192 bytes of static storage.
extern out_buffer std_in;
extern out_buffer std_out;
extern out_buffer std_err;

// ---- Output -------------------------------------------------------------
// Writes the buffered bytes; the buffer is empty afterwards even on failure.
int buf_flush(out_buffer* b);
// Appends n bytes; bytes that do not fit leave together with the buffered
// ones in one vectored write.
int buf_put(out_buffer* b, const char* bytes, uint64_t n);
// Appends n bytes and flushes: for the last piece of a message.
int buf_put_flush(out_buffer* b, const char* bytes, uint64_t n);
int buf_put_str(out_buffer* b, const char* text);
// buf_put_str of each text up to the terminating null pointer; stops with -1
// at the first that fails.
int buf_put_strs(out_buffer* b, const char* text, ...) __attribute__((sentinel));
int buf_put_newline_flush(out_buffer* b);
int buf_put_decimal(out_buffer* b, uint64_t value);
int buf_put_hex(out_buffer* b, uint64_t value);
// buf_put_str of strerror(errno).
int buf_put_errno_text(out_buffer* b);

// ---- Transfer loops -----------------------------------------------------
// 0 once all count bytes were accepted (also for count 0), -1 otherwise.
// Retries EINTR; EAGAIN is a failure.
int write_all(io_op_fn op, int fd, const char* bytes, uint64_t count, out_buffer* b);
// io_op, repeated while it fails with EINTR; returns its last result.
int64_t read_retry(io_op_fn op, int fd, char* storage, uint64_t capacity, out_buffer* b);

// ---- Input --------------------------------------------------------------
void buf_init(out_buffer* b, io_op_fn op, int fd, char* storage, uint64_t capacity);
// Unread bytes available (> 0), reading once when none are buffered; 0 at
// end of input, -1 on failure.
int64_t buf_refill(out_buffer* b);
// 1 and the next byte in *dest; 0 at end of input; -1 on failure.
int buf_get_byte(out_buffer* b, char* dest);
// Copies bytes up to a delimiter into dest (at most dest_len) and returns the
// number of bytes before the delimiter. The delimiter is consumed and stays
// stored in dest at that index. With exactly one delimiter (block mode) end
// of input and read failure return the bytes copied, no terminator; with any
// other count (byte mode) end of input stores a 0 byte and failure gives -1.
int64_t buf_get_until(out_buffer* b, char* dest, uint64_t dest_len,
                      const char* delimiters, uint64_t delimiter_count);

#endif  // FERROWYN_CORE_OUT_BUFFER_H_
