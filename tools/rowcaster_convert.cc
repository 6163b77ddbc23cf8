// The line handling of rowcaster: table definitions in, LDIF entries out.
//
// Every scan is bounded by the line's length rather than by a terminator,
// so a NUL byte inside a quoted string is just another byte of the value
// and a line never reads past its end.

#include "tools/rowcaster_convert.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <string_view>

#include "core/base64.h"
#include "core/grow_str.h"

namespace {

constexpr std::string_view kCreateTable = "CREATE TABLE ";
constexpr std::string_view kEndOfDefinition = ") TYPE=";
constexpr std::string_view kPrimaryKey = "  PRIMARY KEY ";
constexpr std::string_view kKey = "  KEY ";
constexpr std::string_view kInsert = "INSERT INTO ";

bool starts_with(const char* line, uint64_t len, std::string_view prefix) {
  return len >= prefix.size() && memcmp(line, prefix.data(), prefix.size()) == 0;
}

// Index of the first c in [from, len), or len.
uint64_t find(const char* line, uint64_t len, uint64_t from, char c) {
  if (from >= len) return len;
  const void* hit = memchr(line + from, static_cast<unsigned char>(c), len - from);
  return hit == nullptr ? len : static_cast<uint64_t>(static_cast<const char*>(hit) - line);
}

// A message longer than the error buffer is cut to fit it.
int fail(rowcaster_state* st, const char* message) {
  (void)snprintf(st->error, sizeof st->error, "%s", message);
  return -1;
}

int parse_error(rowcaster_state* st, const char* message) {
  (void)snprintf(st->error, sizeof st->error, "parse error in line %llu: %s!\n",
                 static_cast<unsigned long long>(st->line_number), message);
  return -1;
}

void clear_columns(rowcaster_state* st) {
  for (uint64_t i = 0; i < st->column_count; ++i) free(st->columns[i].bytes);
  st->column_count = 0;
}

int add_column(rowcaster_state* st, const char* name, uint64_t len) {
  if (st->column_count == st->column_cap) {
    const uint64_t want = st->column_cap < 8 ? 8 : st->column_cap * 2;
    void* p = realloc(st->columns, want * sizeof *st->columns);
    if (p == nullptr) return fail(st, "out of memory");
    st->columns = static_cast<rowcaster_column*>(p);
    st->column_cap = want;
  }
  // One byte more so that an empty name is still a real allocation.
  char* copy = static_cast<char*>(malloc(len + 1));
  if (copy == nullptr) return fail(st, "out of memory");
  if (len > 0) memcpy(copy, name, len);
  st->columns[st->column_count++] = rowcaster_column{copy, len};
  // The column table owns the copy from here on (clear_columns frees it).
  // cppcheck-suppress memleak
  return 0;
}

// Value slots for every column of the current table, which may have more
// columns than any table before it.
int reserve_values(rowcaster_state* st, uint64_t n) {
  if (n <= st->value_cap) return 0;
  void* p = realloc(st->values, n * sizeof *st->values);
  if (p == nullptr) return fail(st, "out of memory");
  st->values = static_cast<counted_str*>(p);
  st->value_cap = n;
  return 0;
}

int definition_line(rowcaster_state* st, const char* line, uint64_t len) {
  if (starts_with(line, len, kEndOfDefinition)) {
    st->phase = rowcaster_after_definition;
    return 0;
  }
  if (!starts_with(line, len, "  ")) return parse_error(st, "expected two leading spaces");
  if (starts_with(line, len, kPrimaryKey)) {
    const uint64_t open = find(line, len, kPrimaryKey.size(), '(');
    if (open == len) return parse_error(st, "expected '('");
    const uint64_t close = find(line, len, open + 1, ')');
    if (close == len) return parse_error(st, "expected ')'");
    const char* name = line + open + 1;
    const uint64_t name_len = close - open - 1;
    for (uint64_t i = 0; i < st->column_count; ++i) {
      const rowcaster_column& c = st->columns[i];
      if (c.len == name_len && (name_len == 0 || memcmp(c.bytes, name, name_len) == 0)) {
        st->primary_key = static_cast<int64_t>(i);
        return 0;
      }
    }
    return fail(st, "primary key not found?!\n");
  }
  if (starts_with(line, len, kKey)) return 0;
  const uint64_t space = find(line, len, 2, ' ');
  if (space == len) return parse_error(st, "expected ' ' after field name");
  return add_column(st, line + 2, space - 2);
}

// The byte a backslash escape stands for in a MySQL string literal.
char unescaped(char c) {
  switch (c) {
    case 'n': return '\n';
    case 't': return '\t';
    case 'r': return '\r';
    case '0': return '\0';
    case 'Z': return '\x1a';
    case 'b': return '\b';
    default: return c;
  }
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads the values of the first row, starting at *at, into st->values.
int read_row(rowcaster_state* st, char* line, uint64_t len, uint64_t* at) {
  uint64_t p = *at;
  for (uint64_t column = 0; column < st->column_count; ++column) {
    counted_str value{0, nullptr};
    if (p < len && line[p] == '\'') {
      // Unescaped in place: the write position never overtakes the read
      // position, which is at least one byte ahead (the opening quote).
      char* start = line + p;
      uint64_t w = p;
      uint64_t r = p + 1;
      for (;;) {
        if (r == len) return parse_error(st, "expected closing '");
        const char c = line[r];
        if (c == '\'') break;
        if (c == '\\') {
          if (r + 1 == len) return parse_error(st, "\\ at line ending");
          line[w++] = unescaped(line[r + 1]);
          r += 2;
        } else {
          line[w++] = c;
          ++r;
        }
      }
      value = counted_str{w - p, start};
      p = r + 1;
    } else if (starts_with(line + p, len - p, "NULL")) {
      p += 4;  // the slot stays absent
    } else if (p < len && line[p] >= '0' && line[p] <= '9') {
      const uint64_t first = p;
      while (p < len && line[p] >= '0' && line[p] <= '9') ++p;
      value = counted_str{p - first, line + first};
    } else {
      return parse_error(st, "expected NULL, 'string' or 1234");
    }
    if (p == len || (line[p] != ',' && line[p] != ')')) return parse_error(st, "expected ',' or ')'");
    ++p;
    st->values[column] = value;
  }
  *at = p;
  return 0;
}

int put(rowcaster_state* st, grow_str* out, const char* bytes, uint64_t n) {
  return grow_str_append(out, bytes, n) ? 0 : fail(st, "out of memory");
}

int put(rowcaster_state* st, grow_str* out, std::string_view text) {
  return put(st, out, text.data(), text.size());
}

// "name: value\n", or "name:: base64\n" for a value that is not plain.
int put_attribute(rowcaster_state* st, grow_str* out, const char* name, uint64_t name_len,
                  counted_str value) {
  if (put(st, out, name, name_len) != 0) return -1;
  if (rowcaster_value_is_plain(value.bytes, value.len)) {
    if (put(st, out, ": ") != 0 || put(st, out, value.bytes, value.len) != 0) return -1;
  } else {
    if (put(st, out, ":: ") != 0) return -1;
    const uint64_t encoded = 4 * ((value.len + 2) / 3);
    if (!grow_str_reserve_more(out, encoded)) return fail(st, "out of memory");
    out->len += static_cast<uint64_t>(base64_encode(out->bytes + out->len, value.bytes, value.len));
  }
  return put(st, out, "\n");
}

int insert_line(rowcaster_state* st, char* line, uint64_t len, grow_str* out) {
  uint64_t p = find(line, len, 0, '(');
  if (p == len) return parse_error(st, "expected '(' in INSERT statement");
  ++p;
  if (reserve_values(st, st->column_count) != 0) return -1;
  // Only the first row counts; what follows it is not looked at.
  if (read_row(st, line, len, &p) != 0) return -1;
  // A key position left over from an earlier, wider table may lie beyond
  // this table's columns: then this table has no usable key.
  const int64_t key = st->primary_key;
  if (key < 0 || static_cast<uint64_t>(key) >= st->column_count ||
      st->values[key].bytes == nullptr) {
    return parse_error(st, "primary key empty");
  }
  if (put_attribute(st, out, "dn", 2, st->values[key]) != 0) return -1;
  if (put(st, out, "objectClass: rowcaster\n") != 0) return -1;
  for (uint64_t i = 0; i < st->column_count; ++i) {
    if (st->values[i].bytes == nullptr) continue;
    const rowcaster_column& c = st->columns[i];
    if (put_attribute(st, out, c.bytes, c.len, st->values[i]) != 0) return -1;
  }
  return put(st, out, "\n");
}

}  // namespace

void rowcaster_init(rowcaster_state* st) {
  *st = rowcaster_state{};
  st->phase = rowcaster_outside;
  st->primary_key = -1;
}

void rowcaster_free(rowcaster_state* st) {
  clear_columns(st);
  free(st->columns);
  free(st->values);
  rowcaster_init(st);
}

int rowcaster_line(rowcaster_state* st, char* line, uint64_t len, grow_str* out) {
  ++st->line_number;
  st->error[0] = '\0';
  if (starts_with(line, len, kCreateTable)) {
    // The table name starts right after the prefix and is at least one
    // byte long; it is not used further.
    if (find(line, len, kCreateTable.size() + 1, ' ') == len) {
      return parse_error(st, "expected ' ' after table name");
    }
    clear_columns(st);
    st->phase = rowcaster_in_definition;
    return 0;
  }
  switch (st->phase) {
    case rowcaster_in_definition:
      return definition_line(st, line, len);
    case rowcaster_after_definition:
      if (starts_with(line, len, kInsert)) return insert_line(st, line, len, out);
      return 0;
    case rowcaster_outside:
      return 0;
  }
  return 0;
}

int rowcaster_value_is_plain(const char* bytes, uint64_t n) {
  if (n == 0) return 1;
  // A reader takes a leading space as part of the separator and "::" or
  // ":<" as the marks of base64 or a URL; a trailing space is dropped by
  // many readers.
  if (bytes[0] == ' ' || bytes[0] == ':' || bytes[0] == '<' || bytes[n - 1] == ' ') return 0;
  for (uint64_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 || c > 0x7e) return 0;
    // The importer reads a backslash and two hex digits in a plain value as
    // that byte, so such text would not come back as it was.
    if (c == '\\' && i + 2 < n && is_hex_digit(bytes[i + 1]) && is_hex_digit(bytes[i + 2])) {
      return 0;
    }
  }
  return 1;
}
