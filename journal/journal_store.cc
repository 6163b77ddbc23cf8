// The journal store and the change check.
//
// Memory layout: an entry and its DN are one allocation that is never
// moved, so the bucket chains, the list and anyone holding an entry or its
// dn need not be told about a replacing record. The attributes of an entry
// live in a second allocation, its attribute block: the pairs first, then
// the owned copies of the names the data file does not know and of every
// value. A replacing record builds a new block and frees the old one, which
// releases all owned names and values at once and never touches a name that
// points into the data file.

#include "journal/journal_store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "core/bytes.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "journal/arena.h"
#include "journal/intern_pool.h"
#include "journal/journal_writer.h"
#include "journal/ldif_parser.h"
#include "store/compare.h"
#include "store/data_file.h"

journal_entry* journal_table[journal_buckets];
journal_value_node* journal_value_table[journal_value_buckets];
journal_entry_list journal_list = {nullptr, &journal_list.head};
struct stat journal_status;
journal_counters journal_stats;

// Names of an earlier data file that the current one lacks, copied before
// the earlier mapping went away; entries that the re-read did not touch may
// still point at them. Kept for the life of the process, once per spelling.
struct kept_name {
  kept_name* next;
  char bytes[];  // a whole stored_str
};
static kept_name* kept_names;

// The empty stored_str (long form).
static constexpr char kEmptyName[5] = {0, 0, 0, 0, 0};

[[noreturn]] static void out_of_memory() {
  diag_line("out of memory!", nullptr);
  exit(1);
}

[[noreturn]] static void journal_unreadable() {
  static constexpr char kMessage[] = "Failed to parse journal!\n";
  buf_put_flush(&std_err, kMessage, sizeof kMessage - 1);
  exit(1);
}

static void put_message(const char* text) { buf_put_flush(&std_err, text, cstr_length(text)); }

// Bytes a whole stored_str occupies: header, content, and the terminator
// of the short form.
static uint64_t stored_size(const char* s) {
  const uint64_t header = stored_str_header(s);
  return header + stored_str_len(s) + (header == 0 ? 1 : 0);
}

static char* copy_stored(char* dest, const char* s) {
  const uint64_t n = stored_size(s);
  copy_bytes(dest, n, s);
  return dest + n;
}

// The data file's attribute-name string that the journal name n denotes,
// or null. Table order, first match, ASCII letters folded. A text name is
// compared together with its terminator, so the lengths must agree and the
// table string is never read past its own terminator. A long-form name
// (only the empty name reaches here in that form) is compared over its
// content bytes only, so the empty name takes the table's first name;
// bytes that the table string does not have count as a mismatch.
static const char* table_name(const char* n) {
  if (data_store.base == nullptr) return nullptr;
  const uint64_t length = stored_str_len(n);
  const char* content = stored_str_data(n);
  const bool text = stored_str_header(n) == 0;
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint64_t i = 0; i < data_store.attribute_count; ++i) {
    const char* t = data_store.base + data_word(table + 4 * i);
    if (text) {
      if (compare_bytes_nocase(content, length + 1, t) == 0) return t;
    } else if (length <= stored_size(t) && compare_bytes_nocase(content, length, t) == 0) {
      return t;
    }
  }
  return nullptr;
}

// The entry for the DN d (a stored_str) with hash h, or null; *end then
// receives the link at the end of the bucket's chain, where a new entry for
// d belongs, so that one walk serves both.
static journal_entry* find_entry(const char* d, uint32_t h, journal_entry*** end) {
  const counted_str key{stored_str_len(d), stored_str_data(d)};
  journal_entry** link = &journal_table[h % journal_buckets];
  for (; *link != nullptr; link = &(*link)->bucket_next) {
    journal_entry* e = *link;
    if (e->dn_hash == h && cmp_value_nocase(key, e->dn) == 0) return e;
  }
  *end = link;
  return nullptr;
}

uint32_t journal_dn_hash(const char* dn, uint64_t len) { return string_hash_nocase(dn, len); }

journal_entry* journal_find(counted_str dn) {
  if (journal_list.head == nullptr) return nullptr;
  const uint32_t h = journal_dn_hash(dn.bytes, dn.len);
  for (journal_entry* e = journal_table[h % journal_buckets]; e != nullptr; e = e->bucket_next) {
    if (e->dn_hash == h && cmp_value_nocase(dn, e->dn) == 0) return e;
  }
  return nullptr;
}

uint32_t journal_value_key(const char* name, uint64_t name_len, const char* value,
                           uint64_t value_len) {
  // FNV-1a over the name, a separator the name cannot hold, and the folded
  // value.
  uint32_t h = 2166136261u;
  const auto mix = [&h](unsigned char c) { h = (h ^ c) * 16777619u; };
  for (uint64_t i = 0; i < name_len; ++i) mix(static_cast<unsigned char>(name[i]));
  mix(0);
  for (uint64_t i = 0; i < value_len; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    mix(static_cast<unsigned>(c - 'A') < 26u ? static_cast<unsigned char>(c + 32) : c);
  }
  return h;
}

// The value nodes of an attribute block of count attributes: right after
// the attributes.
static journal_value_node* value_nodes(journal_attribute* block, uint64_t count) {
  return reinterpret_cast<journal_value_node*>(block + count);
}

static void link_values(journal_entry* e) {
  if (e->attributes == nullptr) return;
  journal_value_node* nodes = value_nodes(e->attributes, e->attribute_count);
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    const journal_attribute& a = e->attributes[i];
    journal_value_node* n = &nodes[i];
    n->entry = e;
    n->key = journal_value_key(stored_str_data(a.name), stored_str_len(a.name),
                               stored_str_data(a.value), stored_str_len(a.value));
    journal_value_node** head = &journal_value_table[n->key % journal_value_buckets];
    n->next = *head;
    n->pprev = head;
    if (*head != nullptr) (*head)->pprev = &n->next;
    *head = n;
  }
}

static void unlink_values(journal_entry* e) {
  if (e->attributes == nullptr) return;
  journal_value_node* nodes = value_nodes(e->attributes, e->attribute_count);
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    journal_value_node* n = &nodes[i];
    *n->pprev = n->next;
    if (n->next != nullptr) n->next->pprev = n->pprev;
  }
}

// Entries created so far: the next entry's sequence. Never reset, so a
// sequence stays unique for the life of the process.
static uint64_t entries_created;

// A new entry for d, hung at the end of journal_list and at chain_end.
static journal_entry* new_entry(const char* d, uint32_t h, journal_entry** chain_end) {
  const uint64_t dn_size = stored_size(d);
  auto* e = static_cast<journal_entry*>(malloc(sizeof(journal_entry) + dn_size));
  if (e == nullptr) out_of_memory();
  char* dn = reinterpret_cast<char*>(e + 1);
  copy_bytes(dn, dn_size, d);
  e->bucket_next = nullptr;
  e->list_next = nullptr;
  e->dn_hash = h;
  e->dn = dn;
  e->attribute_count = 0;
  e->sequence = entries_created++;
  e->attributes = nullptr;

  *journal_list.link = e;
  journal_list.link = &e->list_next;
  *chain_end = e;
  return e;
}

int build_journal_entry(const ldif_record* r) {
  if (r->dn == ldif_no_dn) return -1;
  const char* d = value_arena.base + r->dn;
  const uint32_t h = journal_dn_hash(stored_str_data(d), stored_str_len(d));

  // The parser interned "objectClass" at the start of the parse, so this
  // finds it without storing anything.
  const int64_t object_class_id = intern_text(&name_pool, "objectClass");
  if (object_class_id < 0) out_of_memory();

  // First pass: where every name and value comes from, and the size of
  // the attribute block; the second pass fills it.
  const uint64_t count = r->count;
  uint64_t size = count * (sizeof(journal_attribute) + sizeof(journal_value_node));
  // Static rather than on the stack: they are large, and one entry is
  // built at a time.
  static const char* names[ldif_max_pairs];
  static const char* values[ldif_max_pairs];
  static const char* resolved[ldif_max_pairs];
  for (uint64_t i = 0; i < count; ++i) {
    names[i] = name_pool.strings.base + r->pairs[i].name;
    values[i] = r->pairs[i].name == static_cast<uint64_t>(object_class_id)
                    ? object_class_pool.strings.base + r->pairs[i].value
                    : value_arena.base + r->pairs[i].value;
    resolved[i] = table_name(names[i]);
    if (resolved[i] == nullptr) size += stored_size(names[i]);
    size += stored_size(values[i]);
  }

  journal_attribute* block = nullptr;
  if (count != 0) {
    block = static_cast<journal_attribute*>(malloc(size));
    if (block == nullptr) out_of_memory();
    char* strings = reinterpret_cast<char*>(value_nodes(block, count) + count);
    for (uint64_t i = 0; i < count; ++i) {
      if (resolved[i] != nullptr) {
        block[i].name = resolved[i];
      } else {
        block[i].name = strings;
        strings = copy_stored(strings, names[i]);
      }
      block[i].value = strings;
      strings = copy_stored(strings, values[i]);
    }
  }

  journal_entry** chain_end = nullptr;
  journal_entry* e = find_entry(d, h, &chain_end);
  if (e == nullptr) e = new_entry(d, h, chain_end);
  unlink_values(e);
  free(e->attributes);
  e->attributes = block;
  e->attribute_count = count;
  link_values(e);

  // Every string of the record has been copied out.
  arena_clear(&value_arena);
  return 0;
}

[[noreturn]] static void journal_refused(const char* why) {
  put_message(why);
  exit(1);
}

// The journal opened for reading, or -1 when there is none. A journal that
// is there but cannot be read is no empty journal (its deletions and
// changes would silently come undone), and one that is a symbolic link or
// belongs to another user is not the server's own: either ends the process.
static int open_journal_for_reading() {
  const int fd = open(journal_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    if (errno == ELOOP) journal_refused("journal is a symbolic link, refused!\n");
    journal_unreadable();
  }
  if (!journal_owned(fd)) {
    close(fd);
    journal_refused("journal is not a file owned by the server's user, refused!\n");
  }
  return fd;
}

// Where the parse of fd (locked, shared or through the hold `held`) must
// stop: the end of the journal's last whole record. An incomplete record
// behind it (its writer died half way) is cut off under the exclusive
// lock, so that the next record appended cannot become part of it.
static int64_t whole_records_end(int fd, int held) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  const int64_t whole = journal_whole_end(fd, st.st_size);
  // Unreadable: the parse reads what it can and reports the failure.
  if (whole < 0 || whole == st.st_size) return st.st_size;
  if (held >= 0) {
    journal_cut_incomplete(held);
    return whole;
  }
  // The shared lock makes way for the exclusive one, which cuts; then the
  // end is looked for again, as another writer may have come in between.
  lock_descriptor(fd, LOCK_UN);
  journal_hold hold;
  if (journal_hold_exclusive(&hold) == 0) journal_release(&hold);
  lock_descriptor(fd, LOCK_SH);
  if (fstat(fd, &st) != 0) return whole;
  const int64_t now = journal_whole_end(fd, st.st_size);
  return now < 0 ? whole : now;
}

// parse_ldif over the journal's whole records from start, counted. held is
// the descriptor of this process's exclusive hold, or -1, when the parse
// takes the shared lock: writers append under the exclusive one, so the
// file then ends with whole records, never with one being written.
// Returns the parse's result.
static int parse_journal(int64_t start, int held) {
  ++journal_stats.parses;
  journal_stats.last_start = start;
  const int fd = open_journal_for_reading();
  if (fd < 0) {
    arena_release(&value_arena);
    return 0;
  }
  if (held < 0) lock_descriptor(fd, LOCK_SH);
  const int64_t end = whole_records_end(fd, held);
  const int result = parse_ldif_range(fd, start, end, &journal_status);
  close(fd);
  if (journal_status.st_size > start) {
    journal_stats.bytes_parsed += static_cast<uint64_t>(journal_status.st_size - start);
  }
  return result;
}

static void load_journal_with(int held) {
  entry_callback = build_journal_entry;
  intern_pool_init(&name_pool);
  intern_pool_init(&object_class_pool);
  ++journal_stats.full_reads;
  if (parse_journal(0, held) != 0) journal_unreadable();
}

void load_journal() { load_journal_with(-1); }

static void release_pools() {
  intern_pool_release(&name_pool);
  intern_pool_release(&object_class_pool);
}

// ---- Data file reload: moving the names off the old mapping ---------------

// One name of the attribute table that is about to be unmapped: its offset
// there, a copy of it, and where names at that offset go after the reload.
struct old_name {
  uint32_t offset;
  char* copy;
  const char* target;
};

struct old_table {
  const char* base;  // the old mapping, only ever compared, never read
  uint64_t size;
  old_name* names;  // sorted by offset
  uint64_t count;
};

// Copies the names of the current attribute table; call it while the file
// is still mapped.
static old_table save_table() {
  old_table saved = {data_store.base, data_store.size, nullptr, data_store.attribute_count};
  if (saved.count == 0) return saved;
  saved.names = static_cast<old_name*>(calloc(saved.count, sizeof(old_name)));
  if (saved.names == nullptr) out_of_memory();
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint64_t i = 0; i < saved.count; ++i) {
    const uint32_t offset = data_word(table + 4 * i);
    const char* s = data_store.base + offset;
    char* copy = static_cast<char*>(malloc(stored_size(s)));
    if (copy == nullptr) out_of_memory();
    copy_stored(copy, s);
    // Insertion sort: attribute tables are short and usually in order.
    uint64_t at = i;
    while (at > 0 && saved.names[at - 1].offset > offset) {
      saved.names[at] = saved.names[at - 1];
      --at;
    }
    saved.names[at] = {offset, copy, nullptr};
  }
  return saved;
}

// A kept copy equal to s (exactly), taking ownership of s; s itself when
// none is kept yet.
static const char* keep_name(char* s) {
  for (kept_name* k = kept_names; k != nullptr; k = k->next) {
    if (cmp_stored(k->bytes, s) == 0) {
      free(s);
      return k->bytes;
    }
  }
  const uint64_t n = stored_size(s);
  auto* k = static_cast<kept_name*>(malloc(sizeof(kept_name) + n));
  if (k == nullptr) out_of_memory();
  copy_stored(k->bytes, s);
  free(s);
  k->next = kept_names;
  kept_names = k;
  return k->bytes;
}

static const char* old_target(const old_table* saved, uint64_t offset) {
  uint64_t lo = 0;
  uint64_t hi = saved->count;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (saved->names[mid].offset < offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < saved->count && saved->names[lo].offset == offset ? saved->names[lo].target : nullptr;
}

// After the new file is loaded: every name of every entry points into the
// new table when the table knows it. Names that pointed into the old
// mapping are recognised by address alone (the old mapping is gone); the
// entries built since were all allocated while it still occupied its
// addresses, so no owned name can lie in that range.
static void repoint_names(old_table* saved) {
  for (uint64_t i = 0; i < saved->count; ++i) {
    old_name* o = &saved->names[i];
    o->target = table_name(o->copy);
    if (o->target != nullptr) {
      free(o->copy);
    } else {
      o->target = keep_name(o->copy);
    }
    o->copy = nullptr;
  }
  const auto old_start = reinterpret_cast<uintptr_t>(saved->base);
  for (journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    for (uint64_t i = 0; i < e->attribute_count; ++i) {
      journal_attribute* a = &e->attributes[i];
      const uintptr_t at = reinterpret_cast<uintptr_t>(a->name);
      if (at - old_start < saved->size) {
        const char* target = old_target(saved, at - old_start);
        // Every old-mapping name came from the old table; should one not,
        // the empty name is still safer than a pointer into nothing.
        a->name = target != nullptr ? target : kEmptyName;
      } else {
        const char* t = table_name(a->name);
        if (t != nullptr) a->name = t;
      }
    }
  }
  free(saved->names);
  saved->names = nullptr;
  // A name may now be spelt as the new table spells it, which changes the
  // keys of its values: every value is hung again.
  clear_bytes(journal_value_table, sizeof journal_value_table);
  for (journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) link_values(e);
}

// ---- The change check -------------------------------------------------------

static bool same_status(const struct stat* a, const struct stat* b) {
  return a->st_size == b->st_size && a->st_mtim.tv_sec == b->st_mtim.tv_sec &&
         a->st_ino == b->st_ino;
}

// True when the two bytes before offset end are both "\n", or cannot be
// read (then the appended part is parsed as usual).
static bool ends_with_empty_line(int64_t end) {
  const int fd = open(journal_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;
  char tail[2] = {0, 0};
  ssize_t got = -1;
  if (lseek(fd, end - 2, SEEK_SET) >= 0) {
    do {
      got = read(fd, tail, 2);
    } while (got < 0 && errno == EINTR);
  }
  close(fd);
  if (got != 2) return true;
  return tail[0] == '\n' && tail[1] == '\n';
}

static void check(int held) {
  struct stat data;
  ++journal_stats.stat_calls;
  if (stat(data_store.path, &data) != 0) {
    put_message("ABEND: data file suddenly gone.\n");
    exit(1);
  }
  if (!same_status(&data, &data_store.identity)) {
    put_message("Data file changed, reloading.\n");
    old_table saved = save_table();
    unmap_data_file();
    load_data_file(data_store.path);
    repoint_names(&saved);
    release_pools();
    load_journal_with(held);
    return;
  }

  struct stat journal;
  ++journal_stats.stat_calls;
  if (lstat(journal_path, &journal) != 0) {
    release_pools();
    return;
  }
  if (same_status(&journal, &journal_status)) return;

  const int64_t old_size = journal_status.st_size;
  if (journal.st_size > old_size && old_size >= 3 && !ends_with_empty_line(old_size)) {
    put_message("Unsanctioned journal editing detected!  Re-reading journal.\n");
    release_pools();
    load_journal_with(held);
    return;
  }
  if (parse_journal(old_size, held) != 0) journal_unreadable();
  data_store.identity = data;
}

void change_check() { check(-1); }

void change_check_held(const journal_hold* hold) { check(hold->fd); }

void journal_store_release() {
  for (journal_entry* e = journal_list.head; e != nullptr;) {
    journal_entry* next = e->list_next;
    free(e->attributes);
    free(e);
    e = next;
  }
  for (kept_name* k = kept_names; k != nullptr;) {
    kept_name* next = k->next;
    free(k);
    k = next;
  }
  kept_names = nullptr;
  clear_bytes(journal_table, sizeof journal_table);
  clear_bytes(journal_value_table, sizeof journal_value_table);
  journal_list = {nullptr, &journal_list.head};
  clear_bytes(&journal_status, sizeof journal_status);
  journal_stats = {};
  release_pools();
  arena_release(&value_arena);
}
