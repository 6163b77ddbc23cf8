// The journal store: the in-memory form of the file "journal", and the
// change check that keeps it and the data file current with the disk.
//
// Every DN that the journal mentions has one journal_entry, reachable by DN
// through journal_table and in creation order through journal_list. An
// entry shadows the data-file record with the same DN: its attributes
// replace the record's wholesale, and an entry without attributes marks the
// DN as deleted. A later journal record for a DN replaces the entry's
// attributes completely; entries are never removed while the process lives.
//
// Addresses stay put: an entry and its dn are one allocation that is never
// moved or freed, so a journal_entry pointer or a dn pointer may be kept for
// the life of the process. A replacing record swaps the attribute block
// only, so attribute, name and value pointers are valid until the next
// parse (that is, until the next change_check).
//
// Attribute names: a name that the data file's attribute table knows
// (ASCII case ignored) points at the table's own string, with the table's
// spelling; any other name is an owned copy of the journal's spelling.
// After a data-file reload every name that pointed into the old mapping is
// re-pointed into the new table (or, when the new table lacks it, to an
// owned copy of its spelling), so no entry ever refers to an unmapped file.
#ifndef FERROWYN_JOURNAL_JOURNAL_STORE_H_
#define FERROWYN_JOURNAL_JOURNAL_STORE_H_

#include <sys/stat.h>

#include <cstdint>

#include "core/counted_str.h"
#include "journal/journal_writer.h"
#include "journal/ldif_parser.h"

// 8191 rather than 8192: a prime spreads string_hash values better.
constexpr uint32_t journal_buckets = 8191;


struct journal_attribute {
  const char* name;   // stored_str: the attribute table's name, or an owned copy
  const char* value;  // stored_str: owned copy of the value
};

struct journal_entry {
  journal_entry* bucket_next;     // next entry in the same journal_table bucket
  journal_entry* list_next;       // next entry of journal_list
  uint64_t dn_hash;               // journal_dn_hash of the DN's content (32-bit value)
  const char* dn;                 // stored_str: the normalised DN as parsed; owned
  uint64_t attribute_count;       // 0 means that the DN is deleted
  uint64_t sequence;              // creation order: the number of entries this process
                                  // created before it. Set once, never changed (a
                                  // replacing record keeps it), so that a search can keep
                                  // its marks aside, indexed by it, and never write here
  journal_attribute* attributes;  // attribute_count pairs, in the record's order
};

// Bucket dn_hash % journal_buckets holds the entry; new entries go to the
// end of their chain.
extern journal_entry* journal_table[journal_buckets];

// DNs are filed and found ignoring ASCII letter case, as LDAP compares the
// names of the usual naming attributes (uid, cn, ou, dc, o): one entry per
// DN however a client spells it. The hash is string_hash_nocase.
uint32_t journal_dn_hash(const char* dn, uint64_t len);
// The entry for the normalised DN (any letter case), or null.
journal_entry* journal_find(counted_str dn);

// Every value of every entry is also reachable by its attribute's name and
// the value itself, so that an equality search finds the entries that may
// hold a value without a walk over the whole journal: the node of value i
// of an entry hangs in bucket journal_value_key(name, value) %
// journal_value_buckets. Equal keys do not mean equal values (the caller
// matches every entry it finds), but an entry whose attribute named
// exactly N has a value equal to V, with or without regard to ASCII case,
// always hangs under journal_value_key(N, V). The nodes live in the entry's
// attribute block and change with it.
constexpr uint32_t journal_value_buckets = 1u << 16;
struct journal_value_node {
  journal_value_node* next;    // next node of the bucket
  journal_value_node** pprev;  // the link that points at this node
  journal_entry* entry;        // the entry holding the value
  uint32_t key;                // journal_value_key of name and value
};
extern journal_value_node* journal_value_table[journal_value_buckets];
// The key of a name (exact bytes) and a value (ASCII letters folded).
uint32_t journal_value_key(const char* name, uint64_t name_len, const char* value,
                           uint64_t value_len);

struct journal_entry_list {
  journal_entry* head;   // the first entry created, or null
  journal_entry** link;  // where the next new entry is hung: &head while
                         // empty, else the last entry's list_next
};
extern journal_entry_list journal_list;

// fstat of the journal as left by the last successful parse, with st_size
// replaced by the offset up to which it was parsed; all zero until the
// journal has been parsed once.
extern struct stat journal_status;

// Sets entry_callback to build_journal_entry, sets up name_pool and
// object_class_pool, and parses the whole journal over the existing
// entries. A journal that does not parse ends the process with "Failed to
// parse journal!\n" on std_err and status 1; a missing one parses as empty.
// Call it once at start-up, after load_data_file.
void load_journal();

// The entry callback: builds or replaces the entry for the record's DN,
// copying every string out of the parser's stores, then empties
// value_arena. Returns 0, or -1 for a record without a DN. Out of memory
// ends the process ("out of memory!" through diag_line, status 1).
int build_journal_entry(const ldif_record* record);

// Brings the data file and the store up to date with the disk; returns
// only then, or ends the process. Unchanged files cost two stat calls; an
// appended journal costs the parse of the appended bytes; a replaced data
// file ("Data file changed, reloading.\n") is reloaded and the journal
// re-read; an edited journal ("Unsanctioned journal editing detected!
// Re-reading journal.\n") is re-read. A data file that cannot be stat'ed
// ends the process with "ABEND: data file suddenly gone.\n" (status 1).
// Run it before every request and after every accepted connection.
//
// The journal is read under its shared lock, and only up to the end of its
// last whole record; an incomplete record behind it (its writer died half
// way through the append) is cut off under the exclusive lock, with one
// line on std_err. A journal that is a symbolic link or is not owned by
// the process's user ends the process with status 1, here and at start-up.
void change_check();
// The same, for a writer that holds the journal's exclusive lock: the read
// of the current state, the decision and the append then see no other
// writer in between.
void change_check_held(const journal_hold* hold);

// What the store has done, counted for tests and measurements.
struct journal_counters {
  uint64_t stat_calls;    // stat calls made by change_check
  uint64_t parses;        // parse_ldif calls, whole or incremental
  uint64_t full_reads;    // of which parses of the whole journal
  int64_t last_start;     // offset the last parse started from
  uint64_t bytes_parsed;  // sum over the parses of end offset - start offset
};
extern journal_counters journal_stats;

// Frees every entry and resets the table, the list, journal_status, the
// counters and both pools to their start-up state. The server never needs
// it (entries live as long as the process); tests start afresh with it.
void journal_store_release();

#endif  // FERROWYN_JOURNAL_JOURNAL_STORE_H_
