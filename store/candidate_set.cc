// candidate_set: one bit per record of the loaded data file.
//
// The words live on the caller's stack; their number is data_store's
// set_words. Iteration skips empty words whole, so a sparse set over a large
// file costs one load per 64 records outside its bounds at most.
#include "store/candidate_set.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "store/data_file.h"

void set_clear(candidate_set* set) {
  std::memset(set->words, 0, sizeof(uint64_t) * data_store.set_words);
  set->lowest = data_store.record_count;
  set->highest = 0;
}

// The bits past the last record are set too; set_next never looks at them.
void set_fill(candidate_set* set) {
  std::memset(set->words, 0xff, sizeof(uint64_t) * data_store.set_words);
  set->lowest = 0;
  set->highest = data_store.record_count;
}

void set_add(candidate_set* set, uint64_t i) {
  if (i >= data_store.record_count) return;
  set->words[i / 64] |= uint64_t{1} << (i % 64);
  if (i < set->lowest) set->lowest = i;
  if (i > set->highest) set->highest = i;
}

int64_t set_next(const candidate_set* set, uint64_t i) {
  const uint64_t count = data_store.record_count;
  if (count == 0) return -1;
  const uint64_t last = set->highest < count - 1 ? set->highest : count - 1;
  if (i < set->lowest) i = set->lowest;
  if (i > last) return -1;
  uint64_t w = i / 64;
  const uint64_t last_word = last / 64;
  // The first word is looked at from bit i on only.
  uint64_t bits = set->words[w] & (~uint64_t{0} << (i % 64));
  while (bits == 0) {
    if (++w > last_word) return -1;
    bits = set->words[w];
  }
  const uint64_t found = w * 64 + static_cast<uint64_t>(std::countr_zero(bits));
  return found <= last ? static_cast<int64_t>(found) : -1;
}
