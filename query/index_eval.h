// Answering a filter from the data file's indexes.
//
// index_usable decides whether a resolved filter (resolve_filter_attributes)
// can be answered from the index blocks; evaluate_index computes its
// candidate records by combining the lookups of store/index.h along the
// filter's and/or/not structure. The candidates are a superset of the
// records that match_record accepts: hash buckets and the range rule of a
// missed sorted search may add records that do not match, and every
// candidate is checked afterwards, but no matching record is ever left out.
//
// Blocks are chosen by the item's attribute description (exact bytes), the
// comparison by bit 0 of its attribute_flags.
#ifndef FERROWYN_QUERY_INDEX_EVAL_H_
#define FERROWYN_QUERY_INDEX_EVAL_H_

#include "codec/filter.h"
#include "store/candidate_set.h"

// 1 when the node (its next siblings aside) can be answered from the
// indexes, else 0 (also for a null node).
int index_usable(const Filter* f);

// Fills set (data_store.set_words words, owned by the caller) with the
// candidates of the node and returns 1 when it was answered from the
// indexes, 0 when not (an unanswerable item leaves the set untouched).
// Call it only when index_usable said 1; it then always returns 1. Scratch
// sets for and/or come from the set pool (query/set_pool.h, slots 1 and
// up; the caller's own set may be the pool's result slot). Should memory
// for them run out, the set stays a superset but holds more records, up to
// every record.
int evaluate_index(const Filter* f, candidate_set* set);

#endif  // FERROWYN_QUERY_INDEX_EVAL_H_
