// The journal writer: one LDIF record per change, appended with one write.
//
// A record must read back through the journal parser exactly as it was
// meant, at every later start of the server: a record that the parser
// refuses or misreads would corrupt the directory (or stop the process)
// for good. So besides the documented escaping the writer
//   - escapes a leading " " or ":" of the DN and of every value ("\20",
//     "\3a"): the parser drops leading spaces and takes a leading ":" as the
//     mark of a base64 value;
//   - refuses a type that would not read back as a name: empty, holding a
//     byte that escaping would change or a ":", beginning with a space (a
//     continuation line), naming "dn" before its options (the line would
//     move the entry to another DN), or too long for the parser's name
//     buffer;
//   - refuses more than ldif_max_pairs value lines, the most the parser takes in one
//     entry before it ends the process.
#include "journal/journal_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cerrno>
#include <cstdlib>

#include "core/bytes.h"
#include "core/escape.h"
#include "core/out_buffer.h"
#include "journal/ldif_parser.h"

namespace {

// The most bytes a record may hold before its final newline, and the most
// any one escaped type or value may hold.
constexpr uint64_t kRecordLimit = 1048576;
// The most attribute lines the journal parser accepts in one entry.
constexpr uint64_t kMaxValueLines = ldif_max_pairs;
// The journal parser's name buffer holds a name and its terminating NUL.
constexpr uint64_t kMaxTypeLength = 8191;

// Returned by the sizing helpers for a piece that can never be written.
constexpr uint64_t kTooLong = UINT64_MAX;

// A first byte that the parser would not read back as part of the value.
constexpr bool needs_leading_escape(counted_str s) {
  return s.len > 0 && (s.bytes[0] == ' ' || s.bytes[0] == ':');
}

// The escaped length of a DN or value with its leading escape, or kTooLong.
uint64_t value_length(counted_str s) {
  if (needs_leading_escape(s)) {
    const int64_t rest = escape_value(nullptr, s.bytes + 1, s.len - 1);
    if (rest < 0) return kTooLong;
    return 3 + static_cast<uint64_t>(rest);
  }
  const int64_t n = escape_value(nullptr, s.bytes, s.len);
  return n < 0 ? kTooLong : static_cast<uint64_t>(n);
}

// Writes a DN or value as value_length counted it; returns the bytes written.
uint64_t put_value(char* dest, counted_str s) {
  if (needs_leading_escape(s)) {
    const uint64_t head = copy_text(dest, s.bytes[0] == ' ' ? "\\20" : "\\3a");
    return head + static_cast<uint64_t>(escape_value(dest + head, s.bytes + 1, s.len - 1));
  }
  return static_cast<uint64_t>(escape_value(dest, s.bytes, s.len));
}

// Whether the parser reads the type back as the same name (with the same
// option text). Only such types are written, so their escaped form is the
// type itself.
bool type_reads_back(counted_str t) {
  if (t.len == 0 || t.len > kMaxTypeLength || t.bytes[0] == ' ') return false;
  uint64_t name_end = t.len;  // the name proper ends at the first ";"
  for (uint64_t i = 0; i < t.len; ++i) {
    const auto c = static_cast<unsigned char>(t.bytes[i]);
    if (c <= 0x1f || c == '(' || c == ')' || c == '*' || c == '\\' || c == ':') return false;
    if (c == ';' && name_end == t.len) name_end = i;
  }
  if (name_end == 0) return false;
  return !(name_end == 2 && t.bytes[0] == 'd' && t.bytes[1] == 'n');
}

}  // namespace

int write_change(int fd, const request_entry* e) {
  // Size the record first so that it is built in one buffer.
  const uint64_t dn_length = value_length(e->dn);
  if (dn_length == 0) return -1;
  if (dn_length > kRecordLimit - 5) return -1;
  uint64_t total = dn_length + 5;  // "dn: " and "\n"
  uint64_t lines = 0;
  for (const request_attribute* a = e->attributes; a != nullptr; a = a->next) {
    if (a->vals == nullptr) continue;  // an attribute without values has no line
    if (!type_reads_back(a->type)) return -1;
    const uint64_t t = a->type.len;
    for (const string_node* v = a->vals; v != nullptr; v = v->next) {
      if (++lines > kMaxValueLines) return -1;
      const uint64_t n = value_length(v->str);
      if (n > kRecordLimit) return -1;
      // Each term is at most 1 MiB, so the sum cannot wrap.
      total += t + n + 3;  // ": " and "\n"
      if (total > kRecordLimit) return -1;
    }
  }

  char* record = static_cast<char*>(std::malloc(total + 1));
  if (record == nullptr) return -1;
  char* p = record;
  p += copy_text(p, "dn: ");
  p += put_value(p, e->dn);
  p += copy_text(p, "\n");
  for (const request_attribute* a = e->attributes; a != nullptr; a = a->next) {
    for (const string_node* v = a->vals; v != nullptr; v = v->next) {
      p += escape_value(p, a->type.bytes, a->type.len);
      p += copy_text(p, ": ");
      p += put_value(p, v->str);
      p += copy_text(p, "\n");
    }
  }
  *p = '\n';  // the empty line that ends the record: the last of total + 1 bytes

  // One write on an O_APPEND descriptor keeps concurrent records whole.
  const ssize_t written = write(fd, record, total + 1);
  std::free(record);
  return written == static_cast<ssize_t>(total + 1) ? 0 : -1;
}

bool journal_durable = true;

bool journal_owned(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

int64_t journal_whole_end(int fd, int64_t size) {
  // Backwards from the end in blocks, for the last "\n\n"; a record that
  // straddles two blocks is caught by keeping the previous block's first
  // byte.
  constexpr int64_t kBlock = 4096;
  char block[kBlock];
  int64_t end = size;
  char after = 0;  // the byte right after the block being read, 0 at the end
  while (end > 0) {
    const int64_t start = end > kBlock ? end - kBlock : 0;
    const auto want = static_cast<size_t>(end - start);
    ssize_t got;
    do {
      got = pread(fd, block, want, start);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(want)) return -1;
    for (int64_t i = end - 1; i >= start; --i) {
      const char next = i + 1 < end ? block[i + 1 - start] : after;
      if (block[i - start] == '\n' && next == '\n') return i + 2;
    }
    after = block[0];
    end = start;
  }
  return 0;
}

int64_t journal_cut_incomplete(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  const int64_t whole = journal_whole_end(fd, st.st_size);
  if (whole < 0) return -1;
  if (whole == st.st_size) return 0;
  int r;
  do {
    r = ftruncate(fd, whole);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return -1;
  const int64_t dropped = st.st_size - whole;
  buf_put_str(&std_err, "journal: dropped ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(dropped));
  buf_put_str(&std_err, " bytes of an incomplete last record at offset ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(whole));
  buf_put_newline_flush(&std_err);
  // The cut must not come undone in a crash, or the next record written
  // would land after the torn one again.
  if (journal_durable) fdatasync(fd);
  return dropped;
}

int journal_hold_exclusive(journal_hold* h) {
  h->fd = -1;
  // Never through a symbolic link: whoever could place one in the working
  // directory would choose which file the server writes.
  // Read as well as written: the end is looked at before anything is appended.
  constexpr int kFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  bool created = false;
  int fd = open(journal_path, kFlags);
  if (fd < 0 && errno == ENOENT) {
    fd = open(journal_path, kFlags | O_CREAT, 0600);
    created = fd >= 0;
  }
  if (fd < 0) return -1;
  if (!journal_owned(fd) || lock_descriptor(fd, LOCK_EX) != 0) {
    close(fd);
    return -1;
  }
  // Under the lock no one else is writing, so an end that is not a whole
  // record is one whose writer died: the next record must not join it.
  if (journal_cut_incomplete(fd) < 0) {
    close(fd);
    return -1;
  }
  // A new journal's name lives in the directory, which must reach the disk
  // too, or the file itself could be gone after a crash.
  if (created && journal_durable) {
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  h->fd = fd;
  return 0;
}

int journal_append_held(journal_hold* h, const request_entry* e) {
  if (h->fd < 0) return -1;
  const off_t start = lseek(h->fd, 0, SEEK_END);
  int r = write_change(h->fd, e);
  // The answer that follows promises the change survives a crash.
  if (r == 0 && journal_durable && fdatasync(h->fd) != 0) r = -1;
  // A short write (a full file system, a file-size limit) or a failed sync
  // leaves a record that may not be whole: take it back.
  if (r != 0 && start >= 0) {
    struct stat now;
    if (fstat(h->fd, &now) == 0 && now.st_size > start) {
      while (ftruncate(h->fd, start) != 0 && errno == EINTR) {
      }
    }
  }
  return r;
}

void journal_release(journal_hold* h) {
  if (h->fd >= 0) close(h->fd);  // releases the lock
  h->fd = -1;
}

int journal_append(const request_entry* e) {
  journal_hold h;
  if (journal_hold_exclusive(&h) != 0) return -1;
  const int r = journal_append_held(&h, e);
  journal_release(&h);
  return r;
}

int lock_descriptor(int fd, int operation) {
  while (flock(fd, operation) != 0) {
    if (errno != EINTR) return -1;
  }
  return 0;
}

int copy_counted_str(counted_str* dest, counted_str src) {
  // One spare byte, so that a caller may terminate the copy.
  char* bytes = static_cast<char*>(std::malloc(src.len + 1));
  dest->bytes = bytes;
  if (bytes == nullptr) return -1;
  copy_bytes(bytes, src.len, src.bytes);
  dest->len = src.len;
  return 0;
}

int copy_value_list(string_node** dest, const string_node* src) {
  string_node** link = dest;
  *link = nullptr;
  for (const string_node* s = src; s != nullptr; s = s->next) {
    auto* node = static_cast<string_node*>(std::malloc(sizeof(string_node)));
    if (node == nullptr) return -1;
    node->str = s->str;
    node->attribute_offset = s->attribute_offset;
    node->next = nullptr;
    *link = node;
    link = &node->next;
  }
  return 0;
}

void release_request_entry(request_entry* e) {
  request_attribute* a = e->attributes;
  while (a != nullptr) {
    string_node* v = a->vals;
    while (v != nullptr) {
      string_node* next = v->next;
      std::free(v);
      v = next;
    }
    request_attribute* next = a->next;
    std::free(a);
    a = next;
  }
  e->attributes = nullptr;
}
