// Finding the one entry that has a given DN: the journal first, then the
// data file's "dn" index. Bind and the update operations find their target
// with it; search never does.
#ifndef FERROWYN_QUERY_DN_LOOKUP_H_
#define FERROWYN_QUERY_DN_LOOKUP_H_

#include <cstdint>

#include "core/counted_str.h"

struct journal_entry;

// The record number lookupdn gives for an entry found in the journal.
constexpr uint64_t dn_in_journal = ~uint64_t{0};

// dn must be normalised (canonical_dn). Results:
//   1: found. In the journal: *entry is its journal_entry and *record is
//      dn_in_journal. In the data file: *entry is null and *record is the
//      number of the record whose DN equals dn (under the dn attribute's
//      comparison; the lowest such number).
//   0: not found. *entry is the journal's entry when it marks the DN as
//      deleted (no attributes; *record is then dn_in_journal), else null.
//  -1: failure, with a line on std_err: "lookupdn called for NULL dn!\n"
//      for an empty or absent dn (outputs untouched), "no index for dn,
//      lookup failed!\n" when no index covers "dn" (*entry null),
//      "out of memory!\n" when there is no memory for the candidate set.
// Valid until the next reload of the data file or the journal.
int lookupdn(counted_str dn, uint64_t* record, journal_entry** entry);

#endif  // FERROWYN_QUERY_DN_LOOKUP_H_
