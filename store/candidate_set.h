// candidate_set: a set of record numbers, one bit per record, with bounds.
//
// The words are owned by the caller (data_store.set_words of them). Record
// numbers at or above record_count are never added. lowest and highest are
// bounds, not exact: combining sets may leave them wider than the members.
#ifndef FERROWYN_STORE_CANDIDATE_SET_H_
#define FERROWYN_STORE_CANDIDATE_SET_H_

#include <cstdint>

struct candidate_set {
  uint64_t* words;   // record i is in when bit i % 64 of words[i / 64] is set
  uint64_t lowest;   // no member is below it
  uint64_t highest;  // no member is above it
};

// Empty: all words 0, lowest = record_count, highest = 0.
void set_clear(candidate_set* set);
// Every record: all words all ones, lowest 0, highest = record_count.
void set_fill(candidate_set* set);
void set_add(candidate_set* set, uint64_t i);
// The smallest member >= i within [lowest, min(highest, record_count - 1)],
// or -1. Iterate: for (i = set_next(s, s->lowest); i >= 0; i = set_next(s, i + 1)).
int64_t set_next(const candidate_set* set, uint64_t i);

#endif  // FERROWYN_STORE_CANDIDATE_SET_H_
