// Buffered input and output on file descriptors.
//
// Output buffers gather small pieces in their storage and pay for a system
// call only when the storage is full or the caller flushes. A piece that does
// not fit is never copied in slices: when the buffer writes through the
// system write, the buffered bytes and the piece leave together in one
// writev(2), which keeps a whole LDAP answer or report line in as few
// segments as possible.

#include "core/out_buffer.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>

#include "core/number_text.h"

// ---- The standard buffers -------------------------------------------------

static char std_in_storage[8192];
static char std_out_storage[8192];
static char std_err_storage[8192];

out_buffer std_in = {std_in_storage, 0, 0, sizeof std_in_storage, std_in_read, 0};
out_buffer std_out = {std_out_storage, 0, 0, sizeof std_out_storage, sys_write, 1};
out_buffer std_err = {std_err_storage, 0, 0, sizeof std_err_storage, sys_write, 2};

int64_t sys_write(int fd, char* bytes, uint64_t count, out_buffer*) {
  return write(fd, bytes, count);
}

int64_t sys_read(int fd, char* bytes, uint64_t count, out_buffer*) {
  return read(fd, bytes, count);
}

// A prompt or a partial answer written on std_out must reach the reader
// before this process blocks waiting for its input.
int64_t std_in_read(int fd, char* bytes, uint64_t count, out_buffer*) {
  if (buf_flush(&std_out) != 0) return -1;
  return read(fd, bytes, count);
}

// ---- Transfer loops -------------------------------------------------------

int write_all(io_op_fn op, int fd, const char* bytes, uint64_t count, out_buffer* b) {
  errno = 0;
  if (count == 0) return 0;
  // Output io_ops only read the bytes; the signature is shared with the
  // input side, which is why it takes a non-const pointer.
  char* p = const_cast<char*>(bytes);
  for (;;) {
    // errno is cleared before each call so that a stale EINTR from an
    // earlier round cannot turn a zero-byte result into an endless retry.
    errno = 0;
    int64_t r = op(fd, p, count, b);
    if (r > 0) {
      p += r;
      count -= static_cast<uint64_t>(r);
      if (count == 0) return 0;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

int64_t read_retry(io_op_fn op, int fd, char* storage, uint64_t capacity, out_buffer* b) {
  int64_t r;
  do {
    r = op(fd, storage, capacity, b);
  } while (r < 0 && errno == EINTR);
  return r;
}

// ---- Output ---------------------------------------------------------------

int buf_flush(out_buffer* b) {
  if (b->pos == 0) return 0;
  // The buffer is emptied before the write: bytes that cannot be written
  // are dropped rather than retried by every later flush.
  uint64_t n = b->pos;
  b->pos = 0;
  return write_all(b->io_op, b->fd, b->storage, n, b);
}

// One writev(2) of the buffered bytes followed by the new piece.
static ssize_t write_two_pieces(out_buffer* b, const char* bytes, uint64_t n) {
  iovec v[2];
  v[0].iov_base = b->storage;
  v[0].iov_len = b->pos;
  v[1].iov_base = const_cast<char*>(bytes);  // writev only reads it
  v[1].iov_len = n;
  return writev(b->fd, v, 2);
}

int buf_put(out_buffer* b, const char* bytes, uint64_t n) {
  if (b->capacity - b->pos >= n) {
    if (n > 0) memcpy(b->storage + b->pos, bytes, n);
    b->pos += n;
    return 0;
  }

  // Bytes of storage still to be written, [pending_from, pending_to).
  uint64_t pending_from = 0;
  uint64_t pending_to = b->pos;
  if (b->io_op == sys_write) {
    ssize_t w = write_two_pieces(b, bytes, n);
    // Not even EINTR is retried here: the caller still owns the new bytes
    // and the buffer is exactly as it was.
    if (w < 0) return -1;
    uint64_t r = static_cast<uint64_t>(w);
    uint64_t p = b->pos;
    if (r >= p) {
      b->pos = 0;
      pending_to = 0;
      bytes += r - p;
      n -= r - p;
      if (n == 0) return 0;
    } else {
      pending_from = r;
    }
  }

  b->pos = 0;
  if (pending_to > pending_from &&
      write_all(b->io_op, b->fd, b->storage + pending_from, pending_to - pending_from, b) != 0) {
    return -1;
  }

  // Invariant: the buffer is empty here.
  if (n > b->capacity) return write_all(b->io_op, b->fd, bytes, n, b);
  memcpy(b->storage, bytes, n);
  b->pos = n;
  return 0;
}

int buf_put_flush(out_buffer* b, const char* bytes, uint64_t n) {
  if (b->pos == 0) return write_all(b->io_op, b->fd, bytes, n, b);

  // Pieces of up to 32 bytes are cheaper to copy behind the buffered bytes
  // than to describe in a second iovec.
  if (b->io_op == sys_write && n > 32) {
    ssize_t w;
    do {
      w = write_two_pieces(b, bytes, n);
    } while (w < 0 && errno == EINTR);
    if (w < 0) return -1;
    uint64_t r = static_cast<uint64_t>(w);
    uint64_t p = b->pos;
    if (r == p + n) {
      b->pos = 0;
      return 0;
    }
    if (r >= p) {
      b->pos = 0;
      return write_all(b->io_op, b->fd, bytes + (r - p), n - (r - p), b);
    }
    // The first r buffered bytes are already out, so the buffer must not
    // keep them whatever happens next: a later flush would send them twice.
    b->pos = 0;
    if (write_all(b->io_op, b->fd, b->storage + r, p - r, b) != 0 ||
        write_all(b->io_op, b->fd, bytes, n, b) != 0) {
      return -1;
    }
    return 0;
  }

  if (buf_put(b, bytes, n) != 0 || buf_flush(b) != 0) return -1;
  return 0;
}

int buf_put_str(out_buffer* b, const char* text) {
  return buf_put(b, text, strlen(text));
}

int buf_put_strs(out_buffer* b, const char* text, ...) {
  va_list ap;
  va_start(ap, text);
  int result = 0;
  for (const char* t = text; t != nullptr; t = va_arg(ap, const char*)) {
    if (buf_put_str(b, t) != 0) {
      result = -1;
      break;
    }
  }
  va_end(ap);
  return result;
}

int buf_put_newline_flush(out_buffer* b) {
  return buf_put_flush(b, "\n", 1);
}

int buf_put_decimal(out_buffer* b, uint64_t value) {
  char digits[20];
  return buf_put(b, digits, format_decimal(digits, value));
}

int buf_put_hex(out_buffer* b, uint64_t value) {
  char digits[16];
  return buf_put(b, digits, format_hex(digits, value));
}

int buf_put_errno_text(out_buffer* b) {
  return buf_put_str(b, strerror(errno));
}

// ---- Input ----------------------------------------------------------------

void buf_init(out_buffer* b, io_op_fn op, int fd, char* storage, uint64_t capacity) {
  b->storage = storage;
  b->pos = 0;
  b->end = 0;
  b->capacity = capacity;
  b->io_op = op;
  b->fd = fd;
}

int64_t buf_refill(out_buffer* b) {
  if (b->pos < b->end) return static_cast<int64_t>(b->end - b->pos);
  int64_t r = read_retry(b->io_op, b->fd, b->storage, b->capacity, b);
  if (r < 0) return -1;
  b->pos = 0;
  b->end = static_cast<uint64_t>(r);
  return r;
}

int buf_get_byte(out_buffer* b, char* dest) {
  int64_t a = buf_refill(b);
  if (a < 0) return -1;
  if (a == 0) return 0;
  *dest = b->storage[b->pos++];
  return 1;
}

int64_t buf_get_until(out_buffer* b, char* dest, uint64_t dest_len,
                      const char* delimiters, uint64_t delimiter_count) {
  if (dest_len == 0) return 0;
  // The result is signed, so no more than INT64_MAX bytes can be reported.
  const uint64_t limit = std::min<uint64_t>(dest_len, INT64_MAX);

  if (delimiter_count == 1) {
    // Block mode: copy whole runs of the buffer, looking for one byte.
    const char delimiter = delimiters[0];
    uint64_t copied = 0;
    for (;;) {
      int64_t a = buf_refill(b);
      if (a <= 0) return static_cast<int64_t>(copied);
      uint64_t m = std::min(static_cast<uint64_t>(a), limit - copied);
      const char* src = b->storage + b->pos;
      const void* hit = memchr(src, static_cast<unsigned char>(delimiter), m);
      if (hit != nullptr) {
        uint64_t at = static_cast<uint64_t>(static_cast<const char*>(hit) - src);
        memcpy(dest + copied, src, at + 1);
        b->pos += at + 1;
        return static_cast<int64_t>(copied + at);
      }
      memcpy(dest + copied, src, m);
      b->pos += m;
      copied += m;
      if (copied == limit) return static_cast<int64_t>(limit);
    }
  }

  // Byte mode: any number of delimiters other than one.
  for (uint64_t i = 0; i < limit; ++i) {
    int r = buf_get_byte(b, dest + i);
    if (r < 0) return -1;
    if (r == 0) {
      dest[i] = 0;
      return static_cast<int64_t>(i);
    }
    for (uint64_t j = 0; j < delimiter_count; ++j) {
      if (dest[i] == delimiters[j]) return static_cast<int64_t>(i);
    }
  }
  return static_cast<int64_t>(limit);
}
