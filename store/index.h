// Index lookups: sorted tables (block types 0 and 1) and hash tables (3).
//
// Lookups may return records that do not match (hash collisions, the range
// rule of a missed sorted search) but never miss one: callers check every
// candidate. They allocate nothing and read the blocks in place.
#ifndef FERROWYN_STORE_INDEX_H_
#define FERROWYN_STORE_INDEX_H_

#include <cstdint>

#include "core/counted_str.h"
#include "store/candidate_set.h"
#include "store/compare.h"

enum index_kinds { index_sorted, index_hash };  // types 0 and 1; type 3
enum search_mode { search_equal, search_at_least, search_at_most };

// The first block of the chain of the wanted kinds whose attribute name is
// exactly the description's bytes, or 0.
uint32_t find_index_block(index_kinds kinds, counted_str attribute);
// Clears the set, binary-searches the sorted table at block for key with
// cmp, and adds the records found: in mode equal the run of values that
// compare equal; at-least / at-most extend it upward / downward (or, with
// no equal value, from the last position probed). Writes a trace of every
// probe on std_err when trace_enabled.
void search_sorted_table(uint32_t block, counted_str key, value_cmp_fn cmp, search_mode mode,
                         candidate_set* set);
// Adds every record of the key's bucket (the set is not cleared first).
// fold selects string_hash_nocase.
void probe_hash_table(uint32_t block, counted_str key, int fold, candidate_set* set);

#endif  // FERROWYN_STORE_INDEX_H_
