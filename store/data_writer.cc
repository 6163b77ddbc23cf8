// Builds data files: every entry is held in memory (one byte arena for DNs
// and values, small fixed-size records per entry and per value), and the
// whole file is laid out and written in one go by data_writer_write.
//
// String table order, which findrec depends on:
//   1. the attribute names;
//   2. for each record in order: its DN, then its own (unshared) values;
//   3. the shared strings, each once: every objectClass value and the values
//      of attributes whose values most records share.
// Record 0's first objectClass value is a shared string, so it lies after
// every per-record string, which is what findrec needs for the last record.
//
// An ACL block built from filters and entries is laid out, at file offset B:
//   B: type 2, next; B+8: F; B+12: F filter offsets; B+12+4F: X;
//   the "*" name (when an entry lists it); the filters' bytes;
//   X: A, then A entry offsets; the entries, each: subject, target,
//   grant and deny (16 bits each), name offsets, a 0 word.
// Every name lies before the entry that refers to it: attribute names at
// the start of the string table, "*" near the start of the block.
#include "store/data_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/dn.h"
#include "core/pod_array.h"
#include "core/out_buffer.h"
#include "store/compare.h"
#include "store/data_file.h"

// The header's magic word: the bytes "FWD1" read as a little-endian word.
static constexpr uint32_t data_file_magic = 0x31445746;

// Values of an attribute are shared when, among its first occurrences (up
// to this many), at most half are distinct.
static constexpr uint32_t share_sample = 2048;
static constexpr uint32_t share_sample_slots = 4096;  // power of two, > 2 * sample

static constexpr uint32_t dn_attribute = 0;
static constexpr uint32_t object_class_attribute = 1;
static constexpr uint64_t max_file_size = 0xffffffffu;
static constexpr uint64_t write_chunk = 4u << 20;


struct attribute_info {
  uint64_t name_at;  // name bytes in data_writer::names
  uint32_t name_len;
  uint32_t hash;      // string_hash_nocase of the name
  uint32_t flags;     // flag word of the attribute table
  uint32_t offset;    // string offset of the name, once laid out
  bool shared;        // values go to the shared strings
  bool never_shared;  // a forced type-0 index lists its values
};

enum option_kind : uint32_t { option_nocase, option_sorted, option_hash };

struct attribute_option {
  uint64_t name_at;  // in data_writer::names
  uint32_t name_len;
  option_kind kind;
  int32_t block_type;  // sorted: -1, 0 or 1
  uint32_t buckets;    // hash: 0 for automatic
};

// ACL parts: a filter's bytes in data_writer::acl_filter_bytes; an entry
// and its names (in data_writer::acl_names, first to first + count).
struct acl_filter_item {
  uint64_t at;
  uint64_t len;
};

struct acl_entry_item {
  uint32_t subject;
  uint32_t target;
  uint16_t grant;
  uint16_t deny;
  uint64_t first;
  uint64_t count;
};

// An ACL name: its bytes in data_writer::names, and the attribute it
// resolves to once the file is laid out (acl_any_name for "*").
struct acl_name_item {
  uint64_t name_at;
  uint32_t name_len;
  uint32_t attr;
};
static constexpr uint32_t acl_any_name = UINT32_MAX;

enum acl_way : uint32_t { acl_not_given, acl_given_whole, acl_given_in_parts };

struct entry_item {
  uint64_t dn;     // DN bytes in the arena (normalised)
  uint64_t first;  // index of the entry's first value
  uint32_t dn_len;
  uint32_t dn_hash;    // string_hash of the DN
  uint32_t dn_offset;  // string offset, once laid out
};

struct value_item {
  uint64_t data;  // bytes in the arena
  uint32_t len;
  uint32_t attr : 31;      // index in the attribute table
  uint32_t long_form : 1;  // empty or holding a NUL: stored in the long form
};

// Open-addressing slot: the key's hash and its item index + 1 (0: empty).
struct hash_slot {
  uint32_t hash;
  uint32_t item;
};

struct data_writer {
  pod_array<char> arena;
  pod_array<entry_item> entries;
  pod_array<value_item> values;
  pod_array<attribute_info> attributes;
  pod_array<char> names;
  pod_array<hash_slot> name_slots;  // attributes by folded name
  pod_array<hash_slot> dn_slots;    // entries by DN
  pod_array<attribute_option> options;
  // Attribute of the k-th value of the last entry: entries usually list
  // their attributes in the same order, so the name is checked against it
  // before the table is searched.
  pod_array<uint32_t> predicted;
  // The ACL block: given whole (acl, and the positions of the words that
  // hold block-relative offsets), or in parts.
  acl_way acl_given = acl_not_given;
  pod_array<char> acl;
  pod_array<uint64_t> acl_relative;
  pod_array<char> acl_filter_bytes;
  pod_array<acl_filter_item> acl_filters;
  pod_array<acl_entry_item> acl_entries;
  pod_array<acl_name_item> acl_names;
  bool in_entry = false;
  bool entry_has_object_class = false;
  char error[512] = {};
};

// ---- Small helpers -------------------------------------------------------

__attribute__((format(printf, 2, 3))) static int fail(data_writer* w, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  // A message longer than the buffer is cut short, which is all it needs.
  (void)vsnprintf(w->error, sizeof w->error, format, ap);
  va_end(ap);
  return -1;
}

static int out_of_memory(data_writer* w) { return fail(w, "out of memory"); }

static constexpr unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

static bool same_name_nocase(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
  if (a_len != b_len) return false;
  for (uint64_t i = 0; i < a_len; ++i)
    if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Attribute descriptions: letters, digits, "-", "." and ";" (options).
static bool valid_attribute_name(const char* name, uint64_t len) {
  if (len == 0 || len > 0xffff) return false;
  for (uint64_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == ';';
    if (!ok) return false;
  }
  return true;
}

// Size of the stored_str encoding of a content.
static uint64_t stored_size(uint64_t len, bool long_form) { return long_form ? len + 5 : len + 1; }

static bool is_prime(uint64_t n) {
  if (n < 2) return false;
  if (n % 2 == 0) return n == 2;
  for (uint64_t d = 3; d * d <= n; d += 2)
    if (n % d == 0) return false;
  return true;
}

// The smallest prime at or above n (at least 2).
static uint64_t prime_at_least(uint64_t n) {
  if (n <= 2) return 2;
  if (n % 2 == 0) ++n;
  while (!is_prime(n)) n += 2;
  return n;
}

// ---- Open-addressing tables ---------------------------------------------

// The first slot to probe for a hash in a table of n slots (a power of
// two). string_hash mixes its low bits poorly for keys that differ only
// early on (DNs under one suffix), so the slot is taken from the high half
// of a multiplication.
static uint64_t home_slot(uint32_t hash, uint64_t n) {
  return ((uint64_t{hash} * 0x9e3779b97f4a7c15u) >> 32) & (n - 1);
}

// Grows the table to keep it at most half full; rehashes by stored hashes.
static bool slots_make_room(pod_array<hash_slot>* slots, uint64_t used) {
  if (slots->count != 0 && (used + 1) * 2 <= slots->count) return true;
  uint64_t n = slots->count == 0 ? 1024 : slots->count * 2;
  while ((used + 1) * 2 > n) n *= 2;
  if (n > (uint64_t{1} << 32)) return false;
  pod_array<hash_slot> fresh;
  if (!fresh.assign(n, hash_slot{0, 0})) return false;
  for (uint64_t i = 0; i < slots->count; ++i) {
    const hash_slot s = (*slots)[i];
    if (s.item == 0) continue;
    uint64_t k = home_slot(s.hash, n);
    while (fresh[k].item != 0) k = (k + 1) & (n - 1);
    fresh[k] = s;
  }
  std::swap(slots->items, fresh.items);
  std::swap(slots->count, fresh.count);
  std::swap(slots->cap, fresh.cap);
  return true;
}

// ---- Attributes ------------------------------------------------------------

static const char* attribute_name(const data_writer* w, const attribute_info& a) {
  return w->names.items + a.name_at;
}

// Index of the attribute named (without regard to case), or -1.
static int64_t find_attribute(const data_writer* w, const char* name, uint64_t len, uint32_t hash) {
  const uint64_t n = w->name_slots.count;
  if (n == 0) return -1;
  for (uint64_t k = home_slot(hash, n);; k = (k + 1) & (n - 1)) {
    const hash_slot s = w->name_slots[k];
    if (s.item == 0) return -1;
    if (s.hash != hash) continue;
    const attribute_info& a = w->attributes[s.item - 1];
    if (same_name_nocase(attribute_name(w, a), a.name_len, name, len)) return s.item - 1;
  }
}

static bool store_name(data_writer* w, const char* name, uint64_t len, uint64_t* at) {
  *at = w->names.count;
  // Names are kept NUL-terminated so that messages can print them.
  return w->names.append(name, len) && w->names.push('\0');
}

// Adds an attribute (the caller checked that it is new and valid).
// stored_at: where the name already lies in names (an option's spelling),
// or UINT64_MAX to store a copy (copying from names itself could read
// storage that the copy's growth has just freed).
static int64_t add_attribute(data_writer* w, const char* name, uint64_t len, uint32_t hash,
                             uint64_t stored_at = UINT64_MAX) {
  if (w->attributes.count >= 0x7fffffff) return -1;  // value_item's field width
  if (!slots_make_room(&w->name_slots, w->attributes.count)) return -1;
  attribute_info a{};
  a.name_at = stored_at;
  if (stored_at == UINT64_MAX && !store_name(w, name, len, &a.name_at)) return -1;
  a.name_len = static_cast<uint32_t>(len);
  a.hash = hash;
  if (!w->attributes.push(a)) return -1;
  const uint64_t n = w->name_slots.count;
  uint64_t k = home_slot(hash, n);
  while (w->name_slots[k].item != 0) k = (k + 1) & (n - 1);
  w->name_slots[k] = hash_slot{hash, static_cast<uint32_t>(w->attributes.count)};
  return static_cast<int64_t>(w->attributes.count - 1);
}

// ---- Life cycle ------------------------------------------------------------

data_writer* data_writer_new() {
  // The writer holds only pod_arrays and plain fields; new without
  // exceptions yields null when memory runs out.
  data_writer* w = new (std::nothrow) data_writer;
  if (w == nullptr) return nullptr;
  if (add_attribute(w, "dn", 2, string_hash_nocase("dn", 2)) != int64_t{dn_attribute} ||
      add_attribute(w, "objectClass", 11, string_hash_nocase("objectClass", 11)) !=
          int64_t{object_class_attribute}) {
    delete w;
    return nullptr;
  }
  return w;
}

void data_writer_free(data_writer* w) { delete w; }

const char* data_writer_error(const data_writer* w) { return w->error; }

// ---- Options ---------------------------------------------------------------

static int add_option(data_writer* w, const char* attribute, option_kind kind, int32_t block_type,
                      uint32_t buckets) {
  const uint64_t len = attribute == nullptr ? 0 : strlen(attribute);
  if (!valid_attribute_name(attribute, len))
    return fail(w, "invalid attribute name \"%s\"", attribute == nullptr ? "" : attribute);
  attribute_option o{};
  if (!store_name(w, attribute, len, &o.name_at)) return out_of_memory(w);
  o.name_len = static_cast<uint32_t>(len);
  o.kind = kind;
  o.block_type = block_type;
  o.buckets = buckets;
  if (!w->options.push(o)) return out_of_memory(w);
  return 0;
}

int data_writer_case_insensitive(data_writer* w, const char* attribute) {
  return add_option(w, attribute, option_nocase, -1, 0);
}

int data_writer_sorted_index(data_writer* w, const char* attribute, int block_type) {
  if (block_type < -1 || block_type > 1)
    return fail(w, "sorted index type must be 0 or 1 (or -1 to choose), not %d", block_type);
  // objectClass values are shared strings (record 0's first one must lie
  // after every per-record string), so a table that finds their owners with
  // findrec cannot be built for them.
  if (block_type == 0 && attribute != nullptr &&
      same_name_nocase(attribute, strlen(attribute), "objectClass", 11))
    return fail(w, "objectClass values are shared: its sorted index must be of type 1");
  return add_option(w, attribute, option_sorted, block_type, 0);
}

int data_writer_hash_index(data_writer* w, const char* attribute, uint32_t bucket_count) {
  return add_option(w, attribute, option_hash, -1, bucket_count);
}

// ---- ACL block -------------------------------------------------------------

int data_writer_acl_block_relative(data_writer* w, const char* bytes, uint64_t n,
                                   const uint64_t* positions, uint64_t position_count) {
  if (w->acl_given == acl_given_in_parts)
    return fail(w, "the ACL block is already being built from filters and entries");
  if (n > max_file_size) return fail(w, "ACL block too large");
  for (uint64_t i = 0; i < position_count; ++i)
    if (positions[i] > n || n - positions[i] < 4)
      return fail(w, "ACL block offset position %llu is not inside the contents",
                  static_cast<unsigned long long>(positions[i]));
  w->acl.count = 0;
  w->acl_relative.count = 0;
  if (!w->acl.append(bytes, n) || !w->acl_relative.append(positions, position_count))
    return out_of_memory(w);
  w->acl_given = acl_given_whole;
  return 0;
}

int data_writer_acl_block(data_writer* w, const char* bytes, uint64_t n) {
  return data_writer_acl_block_relative(w, bytes, n, nullptr, 0);
}

int64_t data_writer_acl_filter(data_writer* w, const char* bytes, uint64_t n) {
  if (w->acl_given == acl_given_whole) return fail(w, "the ACL block was given whole");
  if (n == 0) return fail(w, "empty ACL filter");
  if (n > max_file_size) return fail(w, "ACL filter too large");
  for (uint64_t i = 0; i < w->acl_filters.count; ++i) {
    const acl_filter_item& f = w->acl_filters[i];
    if (f.len == n && memcmp(w->acl_filter_bytes.items + f.at, bytes, n) == 0)
      return static_cast<int64_t>(i);
  }
  if (w->acl_filters.count >= 0x3fffffff) return fail(w, "too many ACL filters");
  const acl_filter_item f{w->acl_filter_bytes.count, n};
  if (!w->acl_filter_bytes.append(bytes, n)) return out_of_memory(w);
  if (!w->acl_filters.push(f)) {
    w->acl_filter_bytes.count = f.at;
    return out_of_memory(w);
  }
  w->acl_given = acl_given_in_parts;
  return static_cast<int64_t>(w->acl_filters.count - 1);
}

int data_writer_acl_entry(data_writer* w, uint32_t subject, uint32_t target, uint16_t grant,
                          uint16_t deny, const char* const* names, uint64_t name_count) {
  if (w->acl_given == acl_given_whole) return fail(w, "the ACL block was given whole");
  if (subject >= w->acl_filters.count || target >= w->acl_filters.count)
    return fail(w, "ACL entry refers to filter %u, but there are %llu",
                subject >= w->acl_filters.count ? subject : target,
                static_cast<unsigned long long>(w->acl_filters.count));
  for (uint64_t i = 0; i < name_count; ++i) {
    const uint64_t len = strlen(names[i]);
    if (!(len == 1 && names[i][0] == '*') && !valid_attribute_name(names[i], len))
      return fail(w, "invalid attribute name \"%.*s\" in an ACL entry",
                  static_cast<int>(std::min<uint64_t>(len, 100)), names[i]);
  }
  const uint64_t names_before = w->names.count;
  const acl_entry_item e{subject, target, grant, deny, w->acl_names.count, name_count};
  for (uint64_t i = 0; i < name_count; ++i) {
    acl_name_item n{};
    n.name_len = static_cast<uint32_t>(strlen(names[i]));
    n.attr = acl_any_name;
    if (!store_name(w, names[i], n.name_len, &n.name_at) || !w->acl_names.push(n)) {
      w->names.count = names_before;
      w->acl_names.count = e.first;
      return out_of_memory(w);
    }
  }
  if (!w->acl_entries.push(e)) {
    w->names.count = names_before;
    w->acl_names.count = e.first;
    return out_of_memory(w);
  }
  w->acl_given = acl_given_in_parts;
  return 0;
}

// ---- Entries ---------------------------------------------------------------

// DNs are told apart ignoring ASCII letter case, as the server finds them:
// two entries whose DNs differ only in case would be one entry to every
// client. The table of DNs seen so far is keyed by string_hash_nocase.
static int64_t find_dn(const data_writer* w, const char* dn, uint32_t len, uint32_t hash) {
  const uint64_t n = w->dn_slots.count;
  if (n == 0) return -1;
  for (uint64_t k = home_slot(hash, n);; k = (k + 1) & (n - 1)) {
    const hash_slot s = w->dn_slots[k];
    if (s.item == 0) return -1;
    if (s.hash != hash) continue;
    const entry_item& e = w->entries[s.item - 1];
    if (e.dn_len == len && compare_values_nocase(w->arena.items + e.dn, len, dn, len) == 0)
      return s.item - 1;
  }
}

int data_writer_begin_entry(data_writer* w, const char* dn, uint64_t dn_len) {
  if (w->in_entry) return fail(w, "an entry is already open");
  if (dn_len == 0) return fail(w, "empty DN");
  if (dn_len > 0x7fffffff) return fail(w, "DN too long");
  if (memchr(dn, 0, dn_len) != nullptr) return fail(w, "DN holds a NUL byte");
  if (w->entries.count >= 0xffffffffu) return fail(w, "too many entries");
  const uint64_t at = w->arena.count;
  if (!w->arena.append(dn, dn_len)) return out_of_memory(w);
  char* p = w->arena.items + at;
  const auto len = static_cast<uint32_t>(canonical_dn(p, p, static_cast<int32_t>(dn_len)));
  w->arena.count = at + len;
  if (len == 0) {
    w->arena.count = at;
    return fail(w, "empty DN");
  }
  const uint32_t hash = string_hash(p, len);
  if (find_dn(w, p, len, string_hash_nocase(p, len)) >= 0) {
    fail(w, "duplicate DN \"%.*s\"", static_cast<int>(std::min<uint32_t>(len, 300)), p);
    w->arena.count = at;
    return -1;
  }
  entry_item e{};
  e.dn = at;
  e.dn_len = len;
  e.dn_hash = hash;
  e.first = w->values.count;
  if (!w->entries.push(e)) {
    w->arena.count = at;
    return out_of_memory(w);
  }
  w->in_entry = true;
  w->entry_has_object_class = false;
  return 0;
}

int data_writer_add_value(data_writer* w, const char* attribute, uint64_t attribute_len,
                          const char* value, uint64_t value_len) {
  if (!w->in_entry) return fail(w, "a value outside an entry");
  const uint64_t position = w->values.count - w->entries[w->entries.count - 1].first;
  int64_t a = -1;
  if (position < w->predicted.count) {
    const attribute_info& guess = w->attributes[w->predicted[position]];
    if (guess.name_len == attribute_len &&
        memcmp(attribute_name(w, guess), attribute, attribute_len) == 0)
      a = w->predicted[position];
  }
  if (a < 0) {
    const uint32_t hash = string_hash_nocase(attribute, attribute_len);
    a = find_attribute(w, attribute, attribute_len, hash);
    if (a < 0) {
      if (!valid_attribute_name(attribute, attribute_len))
        return fail(w, "invalid attribute name \"%.*s\"",
                    static_cast<int>(std::min<uint64_t>(attribute_len, 100)), attribute);
      a = add_attribute(w, attribute, attribute_len, hash);
      if (a < 0) return out_of_memory(w);
    }
    if (position < w->predicted.count) {
      w->predicted[position] = static_cast<uint32_t>(a);
    } else if (position == w->predicted.count && !w->predicted.push(static_cast<uint32_t>(a))) {
      return out_of_memory(w);
    }
  }
  if (a == dn_attribute)
    return fail(w, "\"dn\" is not an attribute: the DN is given once per entry");
  if (value_len > max_file_size - 5) return fail(w, "value too long");
  value_item v{};
  v.data = w->arena.count;
  v.len = static_cast<uint32_t>(value_len);
  v.attr = static_cast<uint32_t>(a) & 0x7fffffffu;
  v.long_form = value_len == 0 || memchr(value, 0, value_len) != nullptr;
  if (!w->arena.append(value, value_len)) return out_of_memory(w);
  if (!w->values.push(v)) {
    w->arena.count = v.data;
    return out_of_memory(w);
  }
  if (a == object_class_attribute) w->entry_has_object_class = true;
  return 0;
}

int data_writer_end_entry(data_writer* w) {
  if (!w->in_entry) return fail(w, "no entry is open");
  w->in_entry = false;
  entry_item& e = w->entries[w->entries.count - 1];
  if (!w->entry_has_object_class) {
    fail(w, "entry \"%.*s\" has no objectClass value",
         static_cast<int>(std::min<uint32_t>(e.dn_len, 300)), w->arena.items + e.dn);
    // Forget the entry as if it had never been begun.
    w->values.count = e.first;
    w->arena.count = e.dn;
    --w->entries.count;
    return -1;
  }
  const uint32_t hash = string_hash_nocase(w->arena.items + e.dn, e.dn_len);
  if (!slots_make_room(&w->dn_slots, w->entries.count - 1)) {
    w->values.count = e.first;
    w->arena.count = e.dn;
    --w->entries.count;
    return out_of_memory(w);
  }
  const uint64_t n = w->dn_slots.count;
  uint64_t k = home_slot(hash, n);
  while (w->dn_slots[k].item != 0) k = (k + 1) & (n - 1);
  w->dn_slots[k] = hash_slot{hash, static_cast<uint32_t>(w->entries.count)};
  return 0;
}

// ---- Layout ----------------------------------------------------------------

// One index block to write, resolved against the attribute table.
struct index_plan {
  uint32_t attr;
  uint32_t block_type;  // 0, 1 or 3
  int32_t forced;       // sorted: -1 or the type asked for
  uint32_t buckets;     // hash: 0 for automatic
};

struct shared_str {
  uint64_t data;
  uint32_t len;
  uint32_t offset;
  bool long_form;
};

// A value of an indexed attribute: its record and its index in values.
struct value_ref {
  uint32_t record;
  uint32_t value;
};

// Everything data_writer_write computes before the first byte is written.
struct layout {
  pod_array<index_plan> plans;
  pod_array<uint32_t> value_offsets;       // string offset of every value
  pod_array<shared_str> shared;            // shared strings in file order
  pod_array<pod_array<uint32_t>*> blocks;  // index blocks, words ready to write
  // The values of the indexed attributes grouped by attribute, in record
  // order: those of attribute a are refs[ref_begin[a]] to refs[ref_begin[a + 1]].
  pod_array<value_ref> refs;
  pod_array<uint64_t> ref_begin;
  pod_array<char> acl_block;               // the ACL block's contents, offsets filled in
  uint64_t string_end = 0;  // end of the string table
  uint64_t records_at = 0;
  uint64_t indices_offset = 0;
  uint64_t file_size = 0;

  layout() = default;
  layout(const layout&) = delete;
  layout& operator=(const layout&) = delete;
  ~layout() {
    for (uint64_t i = 0; i < blocks.count; ++i) delete blocks[i];
  }
};

static uint64_t entry_end(const data_writer* w, uint64_t i) {
  return i + 1 < w->entries.count ? w->entries[i + 1].first : w->values.count;
}

// Applies the declared options to the attribute table: the index blocks
// in the order given, then the case-insensitive flags. An index for an
// attribute no entry has adds the attribute with the option's spelling; a
// repeated index of the same kind for the same attribute updates the first.
static int resolve_options(data_writer* w, layout* l) {
  for (uint64_t i = 0; i < w->options.count; ++i) {
    const attribute_option& o = w->options[i];
    if (o.kind == option_nocase) continue;
    const char* name = w->names.items + o.name_at;
    const uint32_t hash = string_hash_nocase(name, o.name_len);
    int64_t a = find_attribute(w, name, o.name_len, hash);
    if (a < 0) {
      a = add_attribute(w, name, o.name_len, hash, o.name_at);
      if (a < 0) return out_of_memory(w);
    }
    const uint32_t type = o.kind == option_hash ? block_hash_table : block_sorted_table;
    index_plan* p = nullptr;
    for (uint64_t k = 0; k < l->plans.count && p == nullptr; ++k)
      if (l->plans[k].attr == a &&
          (l->plans[k].block_type == block_hash_table) == (type == block_hash_table))
        p = &l->plans[k];
    if (p == nullptr) {
      if (!l->plans.push(index_plan{static_cast<uint32_t>(a), type, -1, 0}))
        return out_of_memory(w);
      p = &l->plans[l->plans.count - 1];
    }
    p->forced = o.block_type;
    p->buckets = o.buckets;
  }
  for (uint64_t i = 0; i < w->options.count; ++i) {
    const attribute_option& o = w->options[i];
    if (o.kind != option_nocase) continue;
    const char* name = w->names.items + o.name_at;
    const int64_t a = find_attribute(w, name, o.name_len, string_hash_nocase(name, o.name_len));
    if (a >= 0) w->attributes[a].flags |= attribute_flag_nocase;
  }
  for (uint64_t k = 0; k < l->plans.count; ++k)
    if (l->plans[k].block_type != block_hash_table && l->plans[k].forced == 0)
      w->attributes[l->plans[k].attr].never_shared = true;
  return 0;
}

// Resolves the names of the ACL entries against the attribute table; a
// name that no entry has joins the table with the ACL's spelling.
static int resolve_acl_names(data_writer* w) {
  for (uint64_t i = 0; i < w->acl_names.count; ++i) {
    acl_name_item& n = w->acl_names[i];
    const char* name = w->names.items + n.name_at;
    if (n.name_len == 1 && name[0] == '*') continue;
    const uint32_t hash = string_hash_nocase(name, n.name_len);
    int64_t a = find_attribute(w, name, n.name_len, hash);
    if (a < 0) {
      a = add_attribute(w, name, n.name_len, hash, n.name_at);
      if (a < 0) return out_of_memory(w);
    }
    n.attr = static_cast<uint32_t>(a);
  }
  return 0;
}

// Decides which attributes' values are shared strings: objectClass always,
// the DN never, nor an attribute with a forced type-0 index; any other when
// at most half of its first occurrences are distinct.
static int decide_sharing(data_writer* w) {
  const uint64_t na = w->attributes.count;
  struct sample {
    hash_slot* slots;
    uint32_t seen;
    uint32_t distinct;
  };
  pod_array<sample> samples;
  if (!samples.assign(na, sample{nullptr, 0, 0})) return out_of_memory(w);
  uint64_t open = 0;  // attributes still sampling
  for (uint64_t a = 2; a < na; ++a)
    if (!w->attributes[a].never_shared) ++open;
  int result = 0;
  for (uint64_t i = 0; i < w->values.count && open > 0; ++i) {
    const value_item& v = w->values[i];
    if (v.attr < 2 || w->attributes[v.attr].never_shared) continue;
    sample& s = samples[v.attr];
    if (s.seen == share_sample) continue;
    if (s.slots == nullptr) {
      s.slots = static_cast<hash_slot*>(calloc(share_sample_slots, sizeof(hash_slot)));
      if (s.slots == nullptr) {
        result = out_of_memory(w);
        break;
      }
    }
    const char* data = w->arena.items + v.data;
    const uint32_t hash = string_hash(data, v.len);
    uint64_t k = home_slot(hash, share_sample_slots);
    for (;; k = (k + 1) & (share_sample_slots - 1)) {
      const hash_slot slot = s.slots[k];
      if (slot.item == 0) {
        s.slots[k] = hash_slot{hash, static_cast<uint32_t>(i + 1)};
        ++s.distinct;
        break;
      }
      const value_item& o = w->values[slot.item - 1];
      if (slot.hash == hash && o.len == v.len && memcmp(w->arena.items + o.data, data, v.len) == 0)
        break;
    }
    if (++s.seen == share_sample) --open;
  }
  for (uint64_t a = 0; a < na; ++a) {
    free(samples[a].slots);
    attribute_info& info = w->attributes[a];
    if (a == object_class_attribute)
      info.shared = true;
    else if (a == dn_attribute || info.never_shared)
      info.shared = false;
    else
      info.shared = samples[a].seen >= 2 && uint64_t{samples[a].distinct} * 2 <= samples[a].seen;
  }
  return result;
}

// Places every string: names, then per record its DN and own values, then
// the shared strings deduplicated in order of first use.
static int lay_out_strings(data_writer* w, layout* l) {
  uint64_t off = data_header_size;
  for (uint64_t a = 0; a < w->attributes.count; ++a) {
    attribute_info& info = w->attributes[a];
    info.offset = static_cast<uint32_t>(off);
    off += info.name_len + 1;
  }
  if (!l->value_offsets.assign(w->values.count, 0)) return out_of_memory(w);
  for (uint64_t i = 0; i < w->entries.count; ++i) {
    entry_item& e = w->entries[i];
    if (off > max_file_size) break;  // reported below; keeps offsets from wrapping unnoticed
    e.dn_offset = static_cast<uint32_t>(off);
    off += e.dn_len + 1;
    for (uint64_t k = e.first, end = entry_end(w, i); k < end; ++k) {
      const value_item& v = w->values[k];
      if (w->attributes[v.attr].shared) continue;
      l->value_offsets[k] = static_cast<uint32_t>(off);
      off += stored_size(v.len, v.long_form);
    }
  }
  if (off > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  pod_array<hash_slot> slots;
  for (uint64_t k = 0; k < w->values.count; ++k) {
    const value_item& v = w->values[k];
    if (!w->attributes[v.attr].shared) continue;
    const char* data = w->arena.items + v.data;
    const uint32_t hash = string_hash(data, v.len);
    if (!slots_make_room(&slots, l->shared.count)) return out_of_memory(w);
    const uint64_t n = slots.count;
    uint64_t j = home_slot(hash, n);
    for (;; j = (j + 1) & (n - 1)) {
      const hash_slot s = slots[j];
      if (s.item == 0) {
        if (off > max_file_size) return fail(w, "the data file would exceed 4 GiB");
        if (!l->shared.push(
                shared_str{v.data, v.len, static_cast<uint32_t>(off), v.long_form != 0}))
          return out_of_memory(w);
        slots[j] = hash_slot{hash, static_cast<uint32_t>(l->shared.count)};
        l->value_offsets[k] = static_cast<uint32_t>(off);
        off += stored_size(v.len, v.long_form);
        break;
      }
      const shared_str& o = l->shared[s.item - 1];
      if (s.hash == hash && o.len == v.len && memcmp(w->arena.items + o.data, data, v.len) == 0) {
        l->value_offsets[k] = o.offset;
        break;
      }
    }
  }
  if (off > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  l->string_end = off;
  l->records_at = off + 8 * w->attributes.count;
  // A record holds the DN and first objectClass value in its fixed slot and
  // a pair for every other value: 8 * (values + 1) bytes.
  l->indices_offset = l->records_at + 8 * (w->values.count + w->entries.count);
  l->file_size = l->indices_offset + 4 * w->entries.count;
  if (l->file_size > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  return 0;
}

// ---- Index blocks ----------------------------------------------------------

// A value of an indexed attribute with what sorting needs.
struct sort_item {
  uint64_t prefix;   // 8 content bytes (folded for nocase), big-endian, zero-padded
  uint64_t prefix2;  // the 8 bytes after those
  const char* data;
  uint32_t len;
  uint32_t record;
  uint32_t offset;
};

// The 8 bytes from position skip: when every value of a table begins with
// the same skip bytes, these still order the values consistently with the
// full comparison, and they tell more of them apart.
static uint64_t sort_prefix(const char* data, uint32_t len, bool nocase, uint64_t skip = 0) {
  uint64_t p = 0;
  for (uint64_t i = skip; i < skip + 8; ++i) {
    unsigned char c = i < len ? static_cast<unsigned char>(data[i]) : 0;
    if (nocase) c = fold(c);
    p = p << 8 | c;
  }
  return p;
}

// Groups the values of every indexed attribute (one pass over all values,
// instead of one per index and pass).
static int collect_indexed_values(data_writer* w, layout* l) {
  const uint64_t na = w->attributes.count;
  pod_array<uint64_t> next;
  if (!l->ref_begin.assign(na + 1, 0) || !next.assign(na, UINT64_MAX)) return out_of_memory(w);
  for (uint64_t k = 0; k < l->plans.count; ++k)
    if (l->plans[k].attr != dn_attribute) next[l->plans[k].attr] = 0;
  for (uint64_t k = 0; k < w->values.count; ++k) {
    const uint32_t a = w->values[k].attr;
    if (next[a] != UINT64_MAX) ++l->ref_begin[a + 1];
  }
  for (uint64_t a = 0; a < na; ++a) {
    l->ref_begin[a + 1] += l->ref_begin[a];
    if (next[a] != UINT64_MAX) next[a] = l->ref_begin[a];
  }
  if (!l->refs.assign(l->ref_begin[na], value_ref{0, 0})) return out_of_memory(w);
  for (uint64_t i = 0; i < w->entries.count; ++i) {
    for (uint64_t k = w->entries[i].first, end = entry_end(w, i); k < end; ++k) {
      const uint32_t a = w->values[k].attr;
      if (next[a] != UINT64_MAX)
        l->refs[next[a]++] = value_ref{static_cast<uint32_t>(i), static_cast<uint32_t>(k)};
    }
  }
  return 0;
}

// Calls f(record, data, len, offset) for every value of the attribute, in
// record order; for dn, the records' DNs.
template <typename F>
static void for_each_value(const data_writer* w, const layout* l, uint32_t attr, F f) {
  if (attr == dn_attribute) {
    for (uint64_t i = 0; i < w->entries.count; ++i) {
      const entry_item& e = w->entries[i];
      f(static_cast<uint32_t>(i), w->arena.items + e.dn, e.dn_len, e.dn_offset);
    }
    return;
  }
  for (uint64_t r = l->ref_begin[attr], end = l->ref_begin[attr + 1]; r < end; ++r) {
    const value_ref ref = l->refs[r];
    const value_item& v = w->values[ref.value];
    f(ref.record, w->arena.items + v.data, v.len, l->value_offsets[ref.value]);
  }
}

// A type-1 table of a shared attribute, without a general sort: its values
// are few distinct strings (each at one offset), so only those are sorted,
// and the values are then placed by a counting pass in record order, which
// leaves equal values ordered by record number.
static int build_shared_sorted_block(data_writer* w, layout* l, const index_plan& p, uint64_t at,
                                     pod_array<uint32_t>* block) {
  const attribute_info& info = w->attributes[p.attr];
  const bool nocase = (info.flags & attribute_flag_nocase) != 0;
  pod_array<sort_item> distinct;  // record: occurrences; later the class
  pod_array<hash_slot> slots;
  bool ok = true;
  uint64_t n = 0;
  for_each_value(w, l, p.attr, [&](uint32_t, const char* data, uint32_t len, uint32_t off) {
    if (!ok) return;
    ++n;
    const uint32_t hash = off;
    if (!slots_make_room(&slots, distinct.count)) {
      ok = false;
      return;
    }
    const uint64_t mask = slots.count - 1;
    for (uint64_t k = home_slot(hash, slots.count);; k = (k + 1) & mask) {
      if (slots[k].item == 0) {
        ok = distinct.push(sort_item{sort_prefix(data, len, nocase), 0, data, len, 1, off});
        slots[k] = hash_slot{hash, static_cast<uint32_t>(distinct.count)};
        return;
      }
      if (distinct[slots[k].item - 1].offset == off) {
        ++distinct[slots[k].item - 1].record;
        return;
      }
    }
  });
  if (!ok) return out_of_memory(w);
  const uint64_t size = 12 + 8 * n;
  if (at + size > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  // Distinct strings in value order; strings that compare equal (only
  // possible without case) form one class. first[c]: where class c starts.
  pod_array<uint32_t> order;
  pod_array<uint64_t> first;
  if (!order.assign(distinct.count, 0) || !first.assign(distinct.count + 1, 0))
    return out_of_memory(w);
  for (uint64_t k = 0; k < distinct.count; ++k) order[k] = static_cast<uint32_t>(k);
  auto cmp = [&](uint32_t a, uint32_t b) {
    const sort_item& x = distinct[a];
    const sort_item& y = distinct[b];
    if (x.prefix != y.prefix) return x.prefix < y.prefix ? -1 : 1;
    return nocase ? compare_values_nocase(x.data, x.len, y.data, y.len)
                  : compare_values(x.data, x.len, y.data, y.len);
  };
  std::sort(order.items, order.items + order.count, [&](uint32_t a, uint32_t b) {
    const int c = cmp(a, b);
    return c != 0 ? c < 0 : distinct[a].offset < distinct[b].offset;
  });
  uint64_t classes = 0;
  uint64_t placed = 0;
  for (uint64_t k = 0; k < order.count; ++k) {
    if (k == 0 || cmp(order[k - 1], order[k]) != 0) first[classes++] = placed;
    placed += distinct[order[k]].record;
    distinct[order[k]].record = static_cast<uint32_t>(classes - 1);
  }
  if (!block->assign(size / 4, 0)) return out_of_memory(w);
  uint32_t* words = block->items;
  words[0] = block_sorted_table_with_records;
  words[1] = static_cast<uint32_t>(at + size);
  words[2] = info.offset;
  for_each_value(w, l, p.attr, [&](uint32_t record, const char*, uint32_t, uint32_t off) {
    const uint64_t mask = slots.count - 1;
    uint64_t k = home_slot(off, slots.count);
    while (distinct[slots[k].item - 1].offset != off) k = (k + 1) & mask;
    const uint64_t pos = first[distinct[slots[k].item - 1].record]++;
    words[3 + pos] = off;
    words[3 + n + pos] = record;
  });
  return 0;
}

static int build_sorted_block(data_writer* w, layout* l, const index_plan& p, uint64_t at,
                              pod_array<uint32_t>* block) {
  const attribute_info& info = w->attributes[p.attr];
  const bool nocase = (info.flags & attribute_flag_nocase) != 0;
  uint32_t type = p.forced >= 0
                      ? static_cast<uint32_t>(p.forced)
                      : (info.shared ? block_sorted_table_with_records : block_sorted_table);
  if (info.shared && type == block_sorted_table_with_records)
    return build_shared_sorted_block(w, l, p, at, block);
  pod_array<sort_item> items;
  bool ok = true;
  for_each_value(w, l, p.attr, [&](uint32_t record, const char* data, uint32_t len, uint32_t off) {
    ok = ok && items.push(sort_item{0, 0, data, len, record, off});
  });
  if (!ok) return out_of_memory(w);
  const uint64_t n = items.count;
  // Bytes every value begins with (folded when the table ignores case).
  uint32_t common = n == 0 ? 0 : items[0].len;
  for (uint64_t k = 1; k < n && common > 0; ++k) {
    const sort_item& x = items[k];
    uint32_t i = 0;
    const uint32_t limit = std::min(common, x.len);
    if (nocase) {
      while (i < limit && fold(static_cast<unsigned char>(x.data[i])) ==
                              fold(static_cast<unsigned char>(items[0].data[i])))
        ++i;
    } else {
      while (i < limit && x.data[i] == items[0].data[i]) ++i;
    }
    common = i;
  }
  for (uint64_t k = 0; k < n; ++k) {
    items[k].prefix = sort_prefix(items[k].data, items[k].len, nocase, common);
    items[k].prefix2 = sort_prefix(items[k].data, items[k].len, nocase, common + 8);
  }
  // Two values of the same length that fit in the prefixes are equal when
  // the prefixes are.
  const uint64_t whole = uint64_t{common} + 16;
  const uint64_t size = 12 + (type == block_sorted_table ? 4 : 8) * n;
  if (at + size > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  // Ties between equal values go by record number, then by string offset,
  // so the output does not depend on the sort's internals.
  auto less = [nocase, whole](const sort_item& a, const sort_item& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.prefix2 != b.prefix2) return a.prefix2 < b.prefix2;
    if (a.offset != b.offset && (a.len != b.len || a.len > whole)) {
      const int32_t c = nocase ? compare_values_nocase(a.data, a.len, b.data, b.len)
                               : compare_values(a.data, a.len, b.data, b.len);
      if (c != 0) return c < 0;
    }
    if (a.record != b.record) return a.record < b.record;
    return a.offset < b.offset;
  };
  std::sort(items.items, items.items + n, less);
  if (!block->reserve(size / 4)) return out_of_memory(w);
  block->push(type);
  block->push(static_cast<uint32_t>(at + size));
  block->push(info.offset);
  for (uint64_t k = 0; k < n; ++k) block->push(items[k].offset);
  if (type == block_sorted_table_with_records)
    for (uint64_t k = 0; k < n; ++k) block->push(items[k].record);
  return 0;
}

static int build_hash_block(data_writer* w, layout* l, const index_plan& p, uint64_t at,
                            pod_array<uint32_t>* block) {
  const attribute_info& info = w->attributes[p.attr];
  const bool nocase = (info.flags & attribute_flag_nocase) != 0;
  // A case-sensitive DN index reuses the hash taken when the entry began.
  const bool dn_hashes = p.attr == dn_attribute && !nocase;
  auto hash_of = [w, nocase, dn_hashes](uint32_t record, const char* data, uint32_t len) {
    if (dn_hashes) return w->entries[record].dn_hash;
    return nocase ? string_hash_nocase(data, len) : string_hash(data, len);
  };
  uint64_t buckets = p.buckets;
  if (buckets == 0) {
    uint64_t values = 0;
    for_each_value(w, l, p.attr, [&](uint32_t, const char*, uint32_t, uint32_t) { ++values; });
    buckets = prime_at_least(values);
  }
  if (at + 16 + 4 * buckets > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  // Per bucket: how many distinct records, and the last record counted
  // (records come in ascending order, so a repeat is always the last one).
  // Kept side by side: the buckets are visited in random order.
  struct bucket_state {
    uint32_t count;
    uint32_t last;
  };
  pod_array<bucket_state> state;
  if (!state.assign(buckets, bucket_state{0, UINT32_MAX})) return out_of_memory(w);
  for_each_value(w, l, p.attr, [&](uint32_t record, const char* data, uint32_t len, uint32_t) {
    bucket_state& b = state[hash_of(record, data, len) % buckets];
    if (b.last == record) return;
    b.last = record;
    ++b.count;
  });
  // Bucket words: 0, a single record other than 0, or the offset of a list
  // (count, then the records ascending) placed behind the bucket words.
  uint64_t size = 16 + 4 * buckets;
  for (uint64_t h = 0; h < buckets; ++h) {
    const bucket_state& b = state[h];
    if (b.count > 1 || (b.count == 1 && b.last == 0)) size += 4 + 4 * uint64_t{b.count};
  }
  if (at + size > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  if (!block->assign(size / 4, 0)) return out_of_memory(w);
  uint32_t* words = block->items;
  words[0] = block_hash_table;
  words[1] = static_cast<uint32_t>(at + size);
  words[2] = info.offset;
  words[3] = static_cast<uint32_t>(buckets);
  // count becomes the word index where the bucket's next record goes (0:
  // the bucket needs no list).
  uint64_t cursor = 4 + buckets;
  for (uint64_t h = 0; h < buckets; ++h) {
    bucket_state& b = state[h];
    if (b.count == 0) continue;
    if (b.count == 1 && b.last != 0) {
      words[4 + h] = b.last;
      b.count = 0;
      continue;
    }
    words[4 + h] = static_cast<uint32_t>(at + 4 * cursor);
    words[cursor] = b.count;
    const uint64_t c = b.count;
    b.count = static_cast<uint32_t>(cursor + 1);
    cursor += 1 + c;
    b.last = UINT32_MAX;
  }
  for_each_value(w, l, p.attr, [&](uint32_t record, const char* data, uint32_t len, uint32_t) {
    bucket_state& b = state[hash_of(record, data, len) % buckets];
    if (b.count == 0 || b.last == record) return;
    b.last = record;
    words[b.count++] = record;
  });
  return 0;
}

static void put_le32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v);
  p[1] = static_cast<char>(v >> 8);
  p[2] = static_cast<char>(v >> 16);
  p[3] = static_cast<char>(v >> 24);
}

static uint32_t get_le32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{u[0]} | uint32_t{u[1]} << 8 | uint32_t{u[2]} << 16 | uint32_t{u[3]} << 24;
}

// The contents of the ACL block at file offset at (after its type and next
// words), into l->acl_block.
static int build_acl_block(data_writer* w, layout* l, uint64_t at) {
  pod_array<char>& out = l->acl_block;
  if (w->acl_given == acl_given_whole) {
    if (!out.append(w->acl.items, w->acl.count)) return out_of_memory(w);
    for (uint64_t i = 0; i < w->acl_relative.count; ++i) {
      char* p = out.items + w->acl_relative[i];
      put_le32(p, static_cast<uint32_t>(get_le32(p) + at));
    }
    return 0;
  }
  const uint64_t nf = w->acl_filters.count;
  const uint64_t na = w->acl_entries.count;
  bool any_name = false;
  for (uint64_t i = 0; i < w->acl_names.count; ++i)
    any_name = any_name || w->acl_names[i].attr == acl_any_name;
  // Offsets within the block (from its type word).
  const uint64_t star_at = 12 + 4 * nf + 4;
  const uint64_t filters_at = star_at + (any_name ? 2 : 0);
  const uint64_t list_at = filters_at + w->acl_filter_bytes.count;
  const uint64_t entries_at = list_at + 4 + 4 * na;
  const uint64_t size = entries_at + 16 * na + 4 * w->acl_names.count;
  if (at + size > max_file_size) return fail(w, "the data file would exceed 4 GiB");
  if (!out.assign(size - 8, '\0')) return out_of_memory(w);
  // The contents start at block offset 8, behind the type and next words.
  auto word = [&out](uint64_t block_offset, uint64_t v) {
    put_le32(out.items + block_offset - 8, static_cast<uint32_t>(v));
  };
  word(8, nf);
  for (uint64_t i = 0; i < nf; ++i) word(12 + 4 * i, at + filters_at + w->acl_filters[i].at);
  word(12 + 4 * nf, at + list_at);
  if (any_name) out[star_at - 8] = '*';
  if (w->acl_filter_bytes.count != 0)
    memcpy(out.items + filters_at - 8, w->acl_filter_bytes.items, w->acl_filter_bytes.count);
  word(list_at, na);
  uint64_t e_at = entries_at;
  for (uint64_t j = 0; j < na; ++j) {
    const acl_entry_item& e = w->acl_entries[j];
    word(list_at + 4 + 4 * j, at + e_at);
    word(e_at, e.subject);
    word(e_at + 4, e.target);
    word(e_at + 8, uint32_t{e.grant} | uint32_t{e.deny} << 16);
    for (uint64_t k = 0; k < e.count; ++k) {
      const acl_name_item& n = w->acl_names[e.first + k];
      word(e_at + 12 + 4 * k,
           n.attr == acl_any_name ? at + star_at : w->attributes[n.attr].offset);
    }
    e_at += 16 + 4 * e.count;  // the 0 word that ends the names is already there
  }
  return 0;
}

static int build_blocks(data_writer* w, layout* l) {
  if (collect_indexed_values(w, l) != 0) return -1;
  uint64_t at = l->file_size;
  for (uint64_t i = 0; i < l->plans.count; ++i) {
    auto* block = new (std::nothrow) pod_array<uint32_t>;
    if (block == nullptr || !l->blocks.push(block)) {
      delete block;
      return out_of_memory(w);
    }
    const index_plan& p = l->plans[i];
    const int r = p.block_type == block_hash_table ? build_hash_block(w, l, p, at, block)
                                                   : build_sorted_block(w, l, p, at, block);
    if (r != 0) return r;
    at += 4 * block->count;
  }
  if (w->acl_given != acl_not_given) {
    if (at + 8 + w->acl.count > max_file_size) return fail(w, "the data file would exceed 4 GiB");
    if (build_acl_block(w, l, at) != 0) return -1;
    at += 8 + l->acl_block.count;
  }
  l->file_size = at;
  return 0;
}

// ---- Output ----------------------------------------------------------------

// Output through one large buffer; the first failure is kept in err.
struct file_out {
  int fd = -1;
  char* buf = nullptr;
  uint64_t pos = 0;
  int err = 0;

  file_out() = default;
  file_out(const file_out&) = delete;
  file_out& operator=(const file_out&) = delete;
  ~file_out() { free(buf); }

  void flush() {
    if (pos != 0 && err == 0 && write_all(sys_write, fd, buf, pos, nullptr) != 0)
      err = errno != 0 ? errno : EIO;
    pos = 0;
  }
  void put(const char* bytes, uint64_t n) {
    if (n >= write_chunk) {
      flush();
      if (err == 0 && write_all(sys_write, fd, bytes, n, nullptr) != 0)
        err = errno != 0 ? errno : EIO;
      return;
    }
    if (pos + n > write_chunk) flush();
    memcpy(buf + pos, bytes, n);
    pos += n;
  }
  void word(uint32_t v) {
    if (pos + 4 > write_chunk) flush();
    buf[pos] = static_cast<char>(v);
    buf[pos + 1] = static_cast<char>(v >> 8);
    buf[pos + 2] = static_cast<char>(v >> 16);
    buf[pos + 3] = static_cast<char>(v >> 24);
    pos += 4;
  }
  void words(const uint32_t* v, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) word(v[i]);
  }
  void stored(const char* data, uint64_t len, bool long_form) {
    if (!long_form) {
      put(data, len);
      put("", 1);
    } else {
      put("", 1);
      word(static_cast<uint32_t>(len));
      put(data, len);
    }
  }
};

static void write_contents(const data_writer* w, const layout* l, file_out* out) {
  out->word(data_file_magic);
  out->word(static_cast<uint32_t>(w->attributes.count));
  out->word(static_cast<uint32_t>(w->entries.count));
  out->word(static_cast<uint32_t>(l->indices_offset));
  out->word(static_cast<uint32_t>(l->string_end - data_header_size));
  for (uint64_t a = 0; a < w->attributes.count; ++a) {
    const attribute_info& info = w->attributes[a];
    out->put(attribute_name(w, info), info.name_len + 1);
  }
  for (uint64_t i = 0; i < w->entries.count; ++i) {
    const entry_item& e = w->entries[i];
    out->put(w->arena.items + e.dn, e.dn_len);
    out->put("", 1);
    for (uint64_t k = e.first, end = entry_end(w, i); k < end; ++k) {
      const value_item& v = w->values[k];
      if (!w->attributes[v.attr].shared) out->stored(w->arena.items + v.data, v.len, v.long_form);
    }
  }
  for (uint64_t s = 0; s < l->shared.count; ++s)
    out->stored(w->arena.items + l->shared[s].data, l->shared[s].len, l->shared[s].long_form);
  for (uint64_t a = 0; a < w->attributes.count; ++a) out->word(w->attributes[a].offset);
  for (uint64_t a = 0; a < w->attributes.count; ++a) out->word(w->attributes[a].flags);
  for (uint64_t i = 0; i < w->entries.count; ++i) {
    const entry_item& e = w->entries[i];
    const uint64_t end = entry_end(w, i);
    uint64_t oc = e.first;
    while (w->values[oc].attr != object_class_attribute) ++oc;
    out->word(static_cast<uint32_t>(end - e.first + 1));
    out->word(0);
    out->word(e.dn_offset);
    out->word(l->value_offsets[oc]);
    for (uint64_t k = e.first; k < end; ++k) {
      if (k == oc) continue;
      out->word(w->attributes[w->values[k].attr].offset);
      out->word(l->value_offsets[k]);
    }
  }
  uint64_t record = l->records_at;
  for (uint64_t i = 0; i < w->entries.count; ++i) {
    out->word(static_cast<uint32_t>(record));
    record += 8 * (entry_end(w, i) - w->entries[i].first + 1);
  }
  for (uint64_t b = 0; b < l->blocks.count; ++b)
    out->words(l->blocks[b]->items, l->blocks[b]->count);
  if (w->acl_given != acl_not_given) {
    out->word(block_acl_data);
    out->word(static_cast<uint32_t>(l->file_size));
    if (l->acl_block.count != 0) out->put(l->acl_block.items, l->acl_block.count);
  }
  out->flush();
}

// Directory part of path ("." when it has none) into dir. False when it
// does not fit: dir then holds a prefix of it, good for a message only.
static bool directory_of(const char* path, char* dir, uint64_t cap) {
  const char* slash = strrchr(path, '/');
  int n = 0;
  if (slash == nullptr) {
    n = snprintf(dir, cap, ".");
  } else if (slash == path) {
    n = snprintf(dir, cap, "/");
  } else {
    n = snprintf(dir, cap, "%.*s", static_cast<int>(slash - path), path);
  }
  return n >= 0 && static_cast<uint64_t>(n) < cap;
}

int data_writer_write(data_writer* w, const char* path, data_writer_stats* stats) {
  if (w->in_entry) return fail(w, "an entry is still open");
  layout l;
  if (resolve_acl_names(w) != 0 || resolve_options(w, &l) != 0 || decide_sharing(w) != 0 ||
      lay_out_strings(w, &l) != 0 || build_blocks(w, &l) != 0)
    return -1;

  const uint64_t path_len = strlen(path);
  char* temp = static_cast<char*>(malloc(path_len + 8));
  if (temp == nullptr) return out_of_memory(w);
  memcpy(temp, path, path_len);
  memcpy(temp + path_len, ".XXXXXX", 8);
  file_out out;
  out.buf = static_cast<char*>(malloc(write_chunk));
  if (out.buf == nullptr) {
    free(temp);
    return out_of_memory(w);
  }
  out.fd = mkstemp(temp);
  if (out.fd < 0) {
    char dir[4096];
    (void)directory_of(path, dir, sizeof dir);  // cut short at worst
    fail(w, "cannot create a temporary file in %s: %s", dir, strerror(errno));
    free(temp);
    return -1;
  }
  write_contents(w, &l, &out);
  const char* step = "write";
  if (out.err == 0 && fsync(out.fd) != 0) {
    out.err = errno;
    step = "sync";
  }
  // The file holds every stored password hash: readable by its owner only,
  // whatever the umask.
  if (out.err == 0 && fchmod(out.fd, 0600) != 0) {
    out.err = errno;
    step = "set the mode of";
  }
  if (close(out.fd) != 0 && out.err == 0) {
    out.err = errno;
    step = "close";
  }
  if (out.err == 0 && rename(temp, path) != 0) {
    out.err = errno;
    fail(w, "cannot rename %s to %s: %s", temp, path, strerror(out.err));
    unlink(temp);
    free(temp);
    return -1;
  }
  if (out.err != 0) {
    fail(w, "cannot %s %s: %s", step, temp, strerror(out.err));
    unlink(temp);
    free(temp);
    return -1;
  }
  free(temp);
  // Make the rename itself durable; a failure here leaves a complete file.
  // A directory name too long for dir is not synced rather than a wrong
  // directory (a prefix of it).
  char dir[4096];
  const int dfd = directory_of(path, dir, sizeof dir) ? open(dir, O_RDONLY | O_DIRECTORY) : -1;
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  if (stats != nullptr) {
    stats->entries = w->entries.count;
    stats->attributes = w->attributes.count;
    stats->indexes = l.plans.count;
    stats->bytes = l.file_size;
  }
  w->error[0] = '\0';
  return 0;
}
