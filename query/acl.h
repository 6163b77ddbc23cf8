// Access control lists: the process-wide ACL state loaded from the data
// file's "acl data" block, the bound identity the subjects are matched
// against, and the checks.
//
// ACL block at file offset B (words 32-bit LE, grant/deny 16-bit LE):
//   B+0: block_type (2)   B+4: next   B+8: F, the number of filters
//   B+12+4i: file offset of filter i (i < F)   B+12+4F: X, offset of the list
//   X: A, the number of entries, then A file offsets of entries, in order
// Entry at a: a+0 subject (filter index), a+4 target (filter index),
//   a+8 grant, a+10 deny, a+12+4k: attribute name offsets, ended by 0
//   (each no greater than the offset it is stored at)
// Filter: the four bytes "self" (the bound client's own entry), the two
//   bytes "*\0" (everyone / every entry), or a BER-encoded LDAP Filter.
// Rights: acl_read 1, acl_write 2, acl_add 4, acl_delete 8, acl_R 16.
//
// The first entry whose subject applies to the bound client, whose rights
// mention the asked right, whose target applies to the checked entry and
// whose names hold the attribute (or "*") decides.
#ifndef FERROWYN_QUERY_ACL_H_
#define FERROWYN_QUERY_ACL_H_

#include <cstdint>

#include "codec/filter.h"

struct journal_entry;
struct request_entry;

constexpr uint16_t acl_read = 1;
constexpr uint16_t acl_write = 2;
constexpr uint16_t acl_add = 4;
constexpr uint16_t acl_delete = 8;
constexpr uint16_t acl_R = 16;

// A filter of the table: the self marker, the any marker, or a decoded,
// attribute-resolved Filter.
enum acl_filter_kind : uint32_t { acl_filter_self, acl_filter_any, acl_filter_tree };
struct acl_filter {
  acl_filter_kind kind;
  Filter* tree;  // owned; acl_filter_tree only
};

struct acl_entry {
  uint32_t subject;     // index into acl_filters
  uint32_t target;      // index into acl_filters
  uint16_t grant;       // rights granted
  uint16_t deny;        // rights denied
  uint32_t name_count;
  uint32_t* names;      // name_count attribute name offsets; owned
};

// The ACL state, rebuilt by every load of the data file.
extern acl_filter* acl_filters;
extern uint32_t acl_filter_count;
extern acl_entry* acl_entries;
extern uint32_t acl_entry_count;
extern uint32_t any_attribute;     // string offset of the "*" name, or 0
extern uint8_t* subject_bytes;     // per filter: 1 when it applies to the bound client
extern uint8_t* target_bytes;      // per filter: 0 unknown, 1 applies, 255 does not

// The bound identity, set by a successful named bind.
extern uint32_t bound_record;      // record offset of the bound entry, 0 for a journal entry or none
extern const char* bound_dn;       // the bound entry's DN as text, null when unbound

// Builds the ACL state from the block at file offset B of the loaded file
// (B = 0: no block, empty state), releasing the previous state afterwards.
// A malformed block ends the process with "broken data file!\n" on std_out.
void load_acl_block(uint32_t block);
// Clears the target bytes: call before checking a new entry.
void acl_clear_targets();
// Recomputes subject_bytes for the bound identity (after a successful bind
// or when the identity changes): any-marker subjects apply to everyone,
// filter subjects are matched against the bound record or journal entry.
void acl_refresh_subjects(const journal_entry* bound_entry);
// Attribute names are compared as LDAP compares attribute descriptions:
// by their type (the part before the first ";", the options left out),
// ignoring ASCII letter case. An entry that lists userPassword therefore
// decides userPassword;binary and USERPASSWORD as well, whatever spelling
// a client, the journal or the attribute table uses.
//
// 1 granted, -1 denied, 0 no entry applies. record is a record offset, or
// 0 when the checked entry is the request entry q; attribute a name offset
// in the attribute table (0 for none: then only entries listing "*"
// decide); right one of the rights above.
int acl_check(uint32_t record, uint32_t attribute, uint16_t right, const request_entry* q);
// The same for `right` on the attribute described by `name` (bytes,
// length; options and letter case as above) of a journal entry.
int acl_check_journal_attribute(const journal_entry* e, const char* name, uint64_t name_len,
                                uint16_t right);
// acl_check_journal_attribute for the read right.
int acl_check_journal(const journal_entry* e, const char* name, uint64_t name_len);
// A right over a whole journal entry (the modify and delete rights, where
// only ACLs listing "*" apply), as acl_check does for records: 1 granted,
// -1 denied, 0 no entry applies.
int acl_check_journal_entry(const journal_entry* e, uint16_t right);

#endif  // FERROWYN_QUERY_ACL_H_
