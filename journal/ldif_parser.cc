// The journal's streaming LDIF reader.
//
// Only one entry is held at a time: its strings go into value_arena (which
// the callback may empty after each entry) and the two intern pools, and a
// single record of offsets is reused. Input comes through a 4096-byte
// buffer; names and continuation lines are copied up to their delimiter in
// blocks, the first line of a value byte by byte, since its leading colon,
// spaces and tabs decide how it is read.

#include "journal/ldif_parser.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "core/base64.h"
#include "core/bytes.h"
#include "core/dn.h"
#include "core/escape.h"
#include "core/grow_str.h"
#include "core/out_buffer.h"
#include "journal/arena.h"
#include "journal/intern_pool.h"

ldif_entry_fn entry_callback = nullptr;
arena value_arena;
intern_pool name_pool;
intern_pool object_class_pool;

// Lines read in the current parse, for the one message that reports it:
// the newlines that end a value's first line and the empty lines that end
// an entry.
static uint64_t line_number;

// The record handed to the callback, reused for every entry.
static ldif_record record;

// Size of the input buffer, and the block in which names and continuation
// lines are read (they grow by this much when longer).
static constexpr uint64_t kInputSize = 4096;
static constexpr uint64_t kLineBlock = 8192;

namespace {

// What a step tells the loop.
enum class step { next_line, finish };

struct parser {
  out_buffer in;       // first member: bounded_read finds the parser from it
  uint64_t remaining;  // bytes the input may still deliver before its end
  grow_str name;       // the attribute line up to its ":", NUL-terminated
  uint64_t carried;    // bytes of the next name already in `name` (0 or 1)
  grow_str value;      // the raw value, then its decoded bytes
  grow_str scratch;    // base64 output
  bool base64;
  bool stopped_at_colon;  // the parse ended at a line beginning with ":"
  uint32_t name_id;       // the current line's name, as interned
  uint32_t dn_id;
  uint32_t object_class_id;
  int result;
};

}  // namespace

static void reset_record() {
  record.dn = ldif_no_dn;
  record.count = 0;
}

static int out_of_memory(parser* p) {
  static constexpr char kMessage[] = "out of memory!\n";
  buf_put_flush(&std_err, kMessage, sizeof kMessage - 1);
  p->result = 1;
  return 1;
}

// Offsets go into 32-bit record fields, and the all-ones value marks a
// missing DN, so a store offset must stay below it.
static bool narrow_offset(int64_t offset, uint32_t* out) {
  if (offset < 0 || offset >= static_cast<int64_t>(UINT32_MAX)) return false;
  *out = static_cast<uint32_t>(offset);
  return true;
}

static int callback_accepts() {
  if (entry_callback == nullptr) return 1;
  return entry_callback(&record) == 0 ? 1 : 0;
}

// Reads the rest of an attribute line's name, up to and consuming its ":",
// behind the carried bytes, growing the buffer for names of any length.
// Returns false when memory runs out. A read failure counts as the end of
// the input, as does end of input itself.
static bool read_name(parser* p) {
  p->name.len = p->carried;
  for (;;) {
    if (!grow_str_reserve(&p->name, p->name.len + kLineBlock + 1)) return false;
    // One byte stays free for the terminator put after the name.
    const uint64_t room = p->name.cap - p->name.len - 1;
    // A stale ":" must not be taken for one just read.
    if (p->name.len == 0) p->name.bytes[0] = 0;
    const int64_t got = buf_get_until(&p->in, p->name.bytes + p->name.len, room, ":", 1);
    p->name.len += static_cast<uint64_t>(got);
    if (static_cast<uint64_t>(got) < room) return true;
  }
}

// Appends a continuation line, without its newline, to the value, whole
// however long it is.
static bool read_continuation(parser* p) {
  for (;;) {
    if (!grow_str_reserve_more(&p->value, kLineBlock)) return false;
    const uint64_t room = p->value.cap - p->value.len;
    const int64_t got = buf_get_until(&p->in, p->value.bytes + p->value.len, room, "\n", 1);
    p->value.len += static_cast<uint64_t>(got);
    if (static_cast<uint64_t>(got) < room) return true;
  }
}

// Decodes the value (escapes in place, base64 into the scratch area), stores
// its exact bytes where its attribute wants them and adds it to the record.
// Returns false when memory runs out.
static bool store_value(parser* p) {
  char* content = p->value.bytes;
  uint64_t length = 0;
  const uint64_t n = p->value.len;
  if (n > 0) {
    // Both decoders walk a NUL-terminated text.
    const char terminator = 0;
    if (!grow_str_append_byte(&p->value, &terminator)) return false;
    content = p->value.bytes;
    if (!p->base64) {
      // Decoding never writes ahead of the text it has read.
      unescape_value(content, content, &length);
    } else {
      // The decoded bytes are never more than the text.
      if (!grow_str_reserve(&p->scratch, n + 3)) return false;
      uint64_t decoded = 0;
      const uint64_t used = base64_decode(content, p->scratch.bytes, &decoded);
      const char stop = content[used];
      if (stop == 0 || stop == '\n') {
        content = p->scratch.bytes;
        length = decoded;
      }
      // Otherwise the text was not base64 to its end: the value is empty.
    }
  }

  int64_t offset;
  if (p->name_id == p->object_class_id) {
    offset = intern_bytes(&object_class_pool, content, length);
  } else if (p->name_id == p->dn_id) {
    if (length > static_cast<uint64_t>(INT32_MAX)) return false;
    length = static_cast<uint64_t>(canonical_dn(content, content, static_cast<int32_t>(length)));
    offset = store_stored_exact(&value_arena, content, length);
  } else {
    offset = store_stored_exact(&value_arena, content, length);
  }
  uint32_t at;
  if (!narrow_offset(offset, &at)) return false;

  if (p->name_id == p->dn_id) {
    record.dn = at;  // a later "dn" line of the same entry wins
    return true;
  }
  if (record.count == ldif_max_pairs) {
    const char* name = name_pool.strings.base + p->name_id;
    buf_put_str(&std_err, "LDIF parse error: too many attributes!: ");
    buf_put(&std_err, stored_str_data(name), stored_str_len(name));
    buf_put_str(&std_err, " in line ");
    buf_put_decimal(&std_err, line_number);
    buf_put_newline_flush(&std_err);
    exit(1);
  }
  record.pairs[record.count++] = {p->name_id, at};
  return true;
}

// Cuts the option off the name line (the buffer holds `length` bytes) and
// interns the name. The option is not needed: ";binary" would only spare
// a value its terminator, and every value is stored as its exact bytes
// anyway, with a terminator that is never content.
static bool take_name(parser* p, uint64_t length) {
  char* text = p->name.bytes;
  const uint64_t skip = count_leading_space(text, static_cast<int64_t>(length));
  text[length] = 0;
  const uint64_t semicolon = index_of_char(text, ';');
  if (semicolon < length) text[semicolon] = 0;
  uint32_t id;
  if (!narrow_offset(intern_text(&name_pool, text + skip), &id)) return false;
  p->name_id = id;
  p->value.len = 0;
  p->base64 = false;
  return true;
}

// The first line of a value: a second ":" marks base64, leading spaces and
// tabs are dropped, the rest up to the newline is kept. Returns 0, or the
// parse result on failure.
static int read_first_line(parser* p) {
  for (;;) {
    char c;
    const int got = buf_get_byte(&p->in, &c);
    if (got < 0) {
      p->result = 1;
      return 1;
    }
    if (got == 0) return 0;
    if (c == '\n') {
      ++line_number;
      return 0;
    }
    if (p->value.len == 0) {
      if (c == ':' && !p->base64) {
        p->base64 = true;
        continue;
      }
      if (c == ' ' || c == '\t') continue;
    }
    if (!grow_str_append_byte(&p->value, &c)) return out_of_memory(p);
  }
}

// One attribute line with its continuations, and whatever ends it: the
// start of the next line, an empty line (the entry ends), or the input.
static step parse_line(parser* p) {
  if (!read_name(p)) {
    out_of_memory(p);
    return step::finish;
  }
  const uint64_t length = p->name.len;
  if (length == 0) {
    // No name at all: the input has ended, or a line begins with ":"
    // right at the start of an entry, where parsing stops.
    p->stopped_at_colon = p->name.bytes[0] == ':';
    return step::finish;
  }
  if (!take_name(p, length)) {
    out_of_memory(p);
    return step::finish;
  }
  if (read_first_line(p) != 0) return step::finish;

  for (;;) {
    char c;
    const int got = buf_get_byte(&p->in, &c);
    if (got < 0) {
      static constexpr char kMessage[] = "read error!\n";
      buf_put_flush(&std_err, kMessage, sizeof kMessage - 1);
      p->result = 1;
      return step::finish;
    }
    if (got == 0) {
      if (!store_value(p)) out_of_memory(p);
      return step::finish;
    }
    if (c == ' ') {
      if (!read_continuation(p)) {
        out_of_memory(p);
        return step::finish;
      }
      continue;
    }
    if (c == '\n') {
      ++line_number;
      if (!store_value(p)) {
        out_of_memory(p);
        return step::finish;
      }
      if (!callback_accepts()) {
        p->result = -1;
        return step::finish;
      }
      reset_record();
      p->carried = 0;
      return step::next_line;
    }
    // The first byte of the next attribute line (a tab too: only a space
    // continues a value).
    p->name.bytes[0] = c;
    p->carried = 1;
    if (!store_value(p)) {
      out_of_memory(p);
      return step::finish;
    }
    return step::next_line;
  }
}

// Stores the two names the parser recognises and sets up the buffers.
static bool prepare(parser* p) {
  uint32_t id;
  if (!narrow_offset(intern_text(&name_pool, "dn"), &id)) return false;
  p->dn_id = id;
  if (!narrow_offset(intern_text(&name_pool, "objectClass"), &id)) return false;
  p->object_class_id = id;
  return grow_str_reserve(&p->name, kLineBlock + 1) != 0;
}

// Reads no further than the parse's end offset.
static int64_t bounded_read(int fd, char* bytes, uint64_t count, out_buffer* in) {
  static_assert(offsetof(parser, in) == 0, "the input buffer is the parser's first member");
  parser* p = reinterpret_cast<parser*>(in);
  if (count > p->remaining) count = p->remaining;
  if (count == 0) return 0;
  const ssize_t got = read(fd, bytes, count);
  if (got > 0) p->remaining -= static_cast<uint64_t>(got);
  return got;
}

int parse_ldif(const char* path, int64_t start_offset, struct stat* status) {
  const int fd = open_readonly(path);
  if (fd < 0) {
    arena_release(&value_arena);
    return 0;
  }
  const int result = parse_ldif_range(fd, start_offset, INT64_MAX, status);
  close(fd);
  return result;
}

int parse_ldif_range(int fd, int64_t start_offset, int64_t end_offset, struct stat* status) {
  arena_release(&value_arena);
  char storage[kInputSize];
  parser p = {};
  buf_init(&p.in, bounded_read, fd, storage, sizeof storage);
  p.remaining = end_offset > start_offset ? static_cast<uint64_t>(end_offset - start_offset) : 0;
  line_number = 0;
  reset_record();

  if (lseek(fd, start_offset, SEEK_SET) < 0) {
    static constexpr char kMessage[] = "read error!\n";
    buf_put_flush(&std_err, kMessage, sizeof kMessage - 1);
    p.result = 1;
  } else if (!prepare(&p)) {
    out_of_memory(&p);
  } else {
    while (parse_line(&p) == step::next_line) {
    }
  }

  // The last entry need not be followed by an empty line; one without a
  // "dn" line is dropped. After a failure nothing more is delivered.
  if (p.result == 0 && record.dn != ldif_no_dn && !callback_accepts()) p.result = -1;

  if (status != nullptr) {
    fstat(fd, status);
    // Where the parser stopped: the descriptor's position less what is
    // still unread in the buffer, and less the ":" of a line that ended
    // the parse early, so that a later parse from here sees that line.
    const off_t position = lseek(fd, 0, SEEK_CUR);
    if (position >= 0) {
      status->st_size = position - static_cast<off_t>(p.in.end - p.in.pos) -
                        (p.stopped_at_colon ? 1 : 0);
    }
  }
  grow_str_free(&p.name);
  grow_str_free(&p.value);
  grow_str_free(&p.scratch);
  return p.result;
}
