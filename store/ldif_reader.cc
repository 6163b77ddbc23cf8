// Streaming LDIF reader: the input is read in large blocks, lines are found
// with memchr, and each entry's names and values are collected in one byte
// buffer that is reused for the next entry. A value's raw text (its first
// line and any continuation lines) is gathered first and then decoded in
// place: both decodings (backslash-hex and base64) only ever shrink it.
#include "store/ldif_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/pod_array.h"

static constexpr uint64_t initial_input = 1u << 20;


// One attribute line of the entry being read, by offsets into the entry's
// byte buffer (which may move while it grows).
struct field {
  uint64_t name_at;
  uint64_t name_len;
  uint64_t value_at;
  uint64_t value_len;
};

struct ldif_reader {
  int fd = -1;
  bool own_fd = false;
  char* name = nullptr;

  char* input = nullptr;  // buffered input: unread bytes are [start, end)
  uint64_t cap = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t scanned = 0;  // bytes after start already known to hold no "\n"
  bool at_eof = false;

  uint64_t line = 0;     // physical lines consumed so far
  bool started = false;  // an entry or the version line was seen
  bool failed = false;

  pod_array<char> data;  // names and values of the current entry
  pod_array<field> fields;
  pod_array<ldif_attribute> attributes;
  char error[1024] = {};

  ~ldif_reader() {
    if (own_fd && fd >= 0) close(fd);
    free(input);
    free(name);
  }
};

// ---- Errors ----------------------------------------------------------------

__attribute__((format(printf, 3, 4))) static int fail_at(ldif_reader* r, uint64_t line,
                                                         const char* format, ...) {
  const int n = snprintf(r->error, sizeof r->error, "%s:%llu: ", r->name,
                         static_cast<unsigned long long>(line));
  if (n > 0 && static_cast<size_t>(n) < sizeof r->error) {
    va_list ap;
    va_start(ap, format);
    (void)vsnprintf(r->error + n, sizeof r->error - static_cast<size_t>(n), format, ap);
    va_end(ap);
  }
  r->failed = true;
  return -1;
}

static int out_of_memory(ldif_reader* r) { return fail_at(r, r->line, "out of memory"); }

static int read_failed(ldif_reader* r) {
  return fail_at(r, r->line + 1, "read error: %s", strerror(errno));
}

// ---- Input -------------------------------------------------------------------

// Reads more input behind the unread bytes: 1 when something was read or
// the end was reached (at_eof), -1 on failure.
static int fill(ldif_reader* r) {
  if (r->start != 0) {
    memmove(r->input, r->input + r->start, r->end - r->start);
    r->end -= r->start;
    r->start = 0;
  }
  if (r->end == r->cap) {
    // A line longer than the buffer: make room for more of it.
    void* p = realloc(r->input, r->cap * 2);
    if (p == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    r->input = static_cast<char*>(p);
    r->cap *= 2;
  }
  for (;;) {
    const ssize_t got = read(r->fd, r->input + r->end, r->cap - r->end);
    if (got > 0) {
      r->end += static_cast<uint64_t>(got);
      return 1;
    }
    if (got == 0) {
      r->at_eof = true;
      return 1;
    }
    if (errno != EINTR) return -1;
  }
}

// The next physical line without its "\n" (and a "\r" before it): 1, or 0
// at the end of the input, or -1 on a read failure. The bytes stay valid
// until the next read from the input.
static int next_line(ldif_reader* r, const char** p, uint64_t* n) {
  for (;;) {
    char* s = r->input + r->start;
    const uint64_t avail = r->end - r->start;
    const auto* nl = static_cast<const char*>(memchr(s + r->scanned, '\n', avail - r->scanned));
    uint64_t len;
    if (nl != nullptr) {
      len = static_cast<uint64_t>(nl - s);
      r->start += len + 1;
    } else if (r->at_eof) {
      if (avail == 0) return 0;
      len = avail;  // the last line has no final newline
      r->start = r->end;
    } else {
      r->scanned = avail;
      if (fill(r) < 0) return -1;
      continue;
    }
    r->scanned = 0;
    ++r->line;
    if (len > 0 && s[len - 1] == '\r') --len;
    *p = s;
    *n = len;
    return 1;
  }
}

// The first byte of the next line without consuming it; -1 at the end of
// the input, -2 on a read failure.
static int peek_byte(ldif_reader* r) {
  while (r->start == r->end) {
    if (r->at_eof) return -1;
    if (fill(r) < 0) return -2;
  }
  return static_cast<unsigned char>(r->input[r->start]);
}

// Consumes the continuation lines of a line that is ignored (a comment).
static int skip_continuations(ldif_reader* r) {
  for (;;) {
    const int c = peek_byte(r);
    if (c == -2) return read_failed(r);
    if (c != ' ') return 0;
    const char* p;
    uint64_t n;
    if (next_line(r, &p, &n) < 0) return read_failed(r);
  }
}

// ---- Values ------------------------------------------------------------------

static int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Backslash + two hex digits become that byte; any other backslash stays.
static uint64_t unescape_in_place(char* s, uint64_t n) {
  const auto* first = static_cast<const char*>(memchr(s, '\\', n));
  if (first == nullptr) return n;  // the common case: nothing to decode
  uint64_t out = static_cast<uint64_t>(first - s);
  for (uint64_t i = out; i < n;) {
    if (s[i] == '\\' && n - i >= 3) {
      const int hi = hex_value(static_cast<unsigned char>(s[i + 1]));
      const int lo = hex_value(static_cast<unsigned char>(s[i + 2]));
      if (hi >= 0 && lo >= 0) {
        s[out++] = static_cast<char>(hi << 4 | lo);
        i += 3;
        continue;
      }
    }
    s[out++] = s[i++];
  }
  return out;
}

static int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes base64 text in place (the output never overtakes the input).
// Padding is optional; "=" may only end the text and fill its last group.
static bool base64_in_place(char* s, uint64_t n, uint64_t* out_len) {
  uint64_t chars = n;
  while (chars > 0 && s[chars - 1] == '=') --chars;
  if (n - chars > 2 || (n != chars && n % 4 != 0) || chars % 4 == 1) return false;
  uint32_t acc = 0;
  unsigned bits = 0;
  uint64_t out = 0;
  for (uint64_t i = 0; i < chars; ++i) {
    const int v = base64_value(static_cast<unsigned char>(s[i]));
    if (v < 0) return false;
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      s[out++] = static_cast<char>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  *out_len = out;
  return true;
}

static bool name_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == ';';
}

static bool same_nocase(const char* a, uint64_t n, const char* lower) {
  for (uint64_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (lower[i] == '\0' || c != lower[i]) return false;
  }
  return lower[n] == '\0';
}

// ---- Entries -----------------------------------------------------------------

enum value_kind { value_plain, value_base64 };

// Reads one attribute line (the first physical line is [p, p + n)) with its
// continuation lines, decodes its value and adds it to the fields. Lines may
// be folded anywhere, inside the name too, so the logical line is joined
// first and parsed afterwards.
static int read_attribute(ldif_reader* r, const char* p, uint64_t n) {
  const uint64_t line = r->line;
  const uint64_t line_at = r->data.count;
  if (!r->data.append(p, n)) return out_of_memory(r);
  // Continuation lines: the leading space is dropped, the rest appended.
  for (;;) {
    const int c = peek_byte(r);
    if (c == -2) return read_failed(r);
    if (c != ' ') break;
    const char* q;
    uint64_t m;
    if (next_line(r, &q, &m) < 0) return read_failed(r);
    if (!r->data.append(q + 1, m - 1)) return out_of_memory(r);
  }
  char* s = r->data.items + line_at;
  const uint64_t total = r->data.count - line_at;
  const auto* colon = static_cast<const char*>(memchr(s, ':', total));
  if (colon == nullptr) return fail_at(r, line, "missing ':' after the attribute name");
  const uint64_t name_len = static_cast<uint64_t>(colon - s);
  if (name_len == 0) return fail_at(r, line, "empty attribute name");
  for (uint64_t i = 0; i < name_len; ++i)
    if (!name_char(static_cast<unsigned char>(s[i])))
      return fail_at(r, line, "invalid attribute name \"%.*s\"",
                     static_cast<int>(name_len < 100 ? name_len : 100), s);
  uint64_t i = name_len + 1;
  value_kind kind = value_plain;
  if (i < total && s[i] == ':') {
    kind = value_base64;
    ++i;
  } else if (i < total && s[i] == '<') {
    return fail_at(r, line, "URL values (\":<\") are not supported");
  }
  while (i < total && s[i] == ' ') ++i;

  field f{};
  f.name_at = line_at;
  f.name_len = name_len;
  f.value_at = line_at + i;
  char* v = s + i;
  uint64_t len = total - i;
  if (kind == value_base64) {
    while (len > 0 && v[len - 1] == ' ') --len;
    if (!base64_in_place(v, len, &len))
      return fail_at(r, line, "invalid base64 value of \"%.*s\"",
                     static_cast<int>(name_len < 100 ? name_len : 100), s);
  } else {
    len = unescape_in_place(v, len);
  }
  f.value_len = len;
  r->data.count = f.value_at + len;
  if (!r->fields.push(f)) return out_of_memory(r);

  const char* name = r->data.items + f.name_at;
  if (same_nocase(name, name_len, "changetype") ||
      (r->fields.count == 2 && same_nocase(name, name_len, "control")))
    return fail_at(r, line, "change records are not supported (\"%.*s:\")",
                   static_cast<int>(name_len), name);
  if (r->fields.count == 1 && !same_nocase(name, name_len, "dn"))
    return fail_at(r, line, "an entry must start with a \"dn:\" line");
  if (r->fields.count > 1 && same_nocase(name, name_len, "dn"))
    return fail_at(r, line, "a second \"dn:\" line in one entry (missing empty line?)");
  return 0;
}

// "version: 1" (nothing else is defined).
static int read_version(ldif_reader* r, const char* p, uint64_t n) {
  uint64_t i = 8;
  while (i < n && p[i] == ' ') ++i;
  uint64_t e = n;
  while (e > i && p[e - 1] == ' ') --e;
  if (e - i != 1 || p[i] != '1')
    return fail_at(r, r->line, "unsupported LDIF version \"%.*s\"",
                   static_cast<int>(e - i < 20 ? e - i : 20), p + i);
  return skip_continuations(r);
}

static bool blank(const char* p, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != '\t') return false;
  return true;
}

ldif_reader* ldif_reader_open(const char* path) {
  auto* r = new (std::nothrow) ldif_reader;
  if (r == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  r->name = strdup(path);
  r->input = static_cast<char*>(malloc(initial_input));
  if (r->name == nullptr || r->input == nullptr) {
    delete r;
    errno = ENOMEM;
    return nullptr;
  }
  r->cap = initial_input;
  if (strcmp(path, "-") == 0) {
    r->fd = 0;
  } else {
    r->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (r->fd < 0) {
      const int e = errno;
      delete r;
      errno = e;
      return nullptr;
    }
    r->own_fd = true;
  }
  return r;
}

int ldif_reader_next(ldif_reader* r, ldif_entry* entry) {
  if (r->failed) return -1;
  r->data.count = 0;
  r->fields.count = 0;
  const char* p;
  uint64_t n;
  // Up to the entry's first line: empty lines, comments, the version line.
  for (;;) {
    const int got = next_line(r, &p, &n);
    if (got == 0) return 0;
    if (got < 0) return read_failed(r);
    if (n == 0) continue;
    if (p[0] == '#') {
      if (skip_continuations(r) < 0) return -1;
      continue;
    }
    if (blank(p, n)) continue;
    if (p[0] == ' ') return fail_at(r, r->line, "continuation line outside an entry");
    if (!r->started && n >= 8 && same_nocase(p, 8, "version:")) {
      r->started = true;
      if (read_version(r, p, n) < 0) return -1;
      continue;
    }
    break;
  }
  r->started = true;
  const uint64_t first_line = r->line;
  for (bool more = true; more;) {
    if (read_attribute(r, p, n) < 0) return -1;
    // The next line: the end of the entry, a comment, or another attribute.
    for (;;) {
      const int got = next_line(r, &p, &n);
      if (got < 0) return read_failed(r);
      if (got == 0 || n == 0) {
        more = false;
        break;
      }
      if (p[0] != '#') break;
      if (skip_continuations(r) < 0) return -1;
    }
  }
  r->attributes.count = 0;
  if (!r->attributes.reserve(r->fields.count)) return out_of_memory(r);
  const char* d = r->data.items;
  for (uint64_t k = 1; k < r->fields.count; ++k) {
    const field& f = r->fields.items[k];
    r->attributes.items[k - 1] = ldif_attribute{counted_str{f.name_len, d + f.name_at},
                                                counted_str{f.value_len, d + f.value_at}};
  }
  r->attributes.count = r->fields.count - 1;
  const field& dn = r->fields.items[0];
  entry->dn = counted_str{dn.value_len, d + dn.value_at};
  entry->attributes = r->attributes.items;
  entry->count = r->attributes.count;
  entry->line = first_line;
  return 1;
}

const char* ldif_reader_error(const ldif_reader* r) { return r->error; }

void ldif_reader_close(ldif_reader* r) { delete r; }
