// Word arrays for candidate sets, held by the process and reused from
// request to request.
//
// A candidate set has data_store.set_words words, one bit per record: 1.25
// MB at 10,000,000 records. Evaluating a filter needs one scratch set per
// and/or nesting level, which the stack cannot hold at that size. The pool
// owns one array per slot; a slot is allocated the first time it is asked
// for and then kept, so memory grows with the deepest nesting seen (the
// filter decoder bounds it), never per request.
//
// A reload of the data file that changes set_words makes every array the
// wrong size: the next call notices (it compares the size the arrays were
// made for with data_store.set_words), frees them all and allocates again
// at the new size, lazily as before.
//
// Slot set_pool_result holds the result set of the operation in progress
// (a search, or lookupdn); evaluate_index uses slots 1 and up as its
// scratch sets, one per and/or level. Single-threaded; a forked child works
// on its own copy. A pointer stays valid until set_pool_release or the
// first call after a reload that changed set_words.
#ifndef FERROWYN_QUERY_SET_POOL_H_
#define FERROWYN_QUERY_SET_POOL_H_

#include <cstdint>

constexpr uint32_t set_pool_result = 0;

// The words of slot for the loaded data file (contents unspecified), or
// null when memory runs out.
uint64_t* set_pool_words(uint32_t slot);
// Bytes the pool holds: its arrays and its slot table.
uint64_t set_pool_bytes();
// Frees everything; the pool starts afresh on its next use.
void set_pool_release();

#endif  // FERROWYN_QUERY_SET_POOL_H_
