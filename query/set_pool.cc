// The process's pool of candidate-set word arrays.
//
// Arrays are allocated whole with malloc and never resized: a set's size
// only changes with a reload, and then every array goes at once.
#include "query/set_pool.h"

#include <cstdint>
#include <cstdlib>

#include "store/data_file.h"

namespace {

struct pool_state {
  uint64_t** slots;     // slot_count entries; null where not allocated yet
  uint32_t slot_count;  // entries of slots
  uint32_t words;       // the set_words every allocated array was made for
};

pool_state pool;

}  // namespace

static void free_arrays() {
  for (uint32_t i = 0; i < pool.slot_count; ++i) {
    std::free(pool.slots[i]);
    pool.slots[i] = nullptr;
  }
}

// Makes the slot table hold at least count entries.
static bool grow_table(uint64_t count) {
  if (count <= pool.slot_count) return true;
  uint64_t n = pool.slot_count < 8 ? 8 : uint64_t{pool.slot_count} * 2;
  if (n < count) n = count;
  if (n > UINT32_MAX) return false;
  void* p = std::realloc(pool.slots, n * sizeof(uint64_t*));
  if (p == nullptr) return false;
  pool.slots = static_cast<uint64_t**>(p);
  for (uint64_t i = pool.slot_count; i < n; ++i) pool.slots[i] = nullptr;
  pool.slot_count = static_cast<uint32_t>(n);
  return true;
}

uint64_t* set_pool_words(uint32_t slot) {
  // A reload that changed the number of words leaves every array the wrong
  // size; the arrays of the new size come back lazily as they are asked for.
  if (pool.words != data_store.set_words) {
    free_arrays();
    pool.words = data_store.set_words;
  }
  if (!grow_table(uint64_t{slot} + 1)) return nullptr;
  if (pool.slots[slot] == nullptr) {
    // An empty data file still gets a word, so that no caller sees a null
    // array for a valid (empty) set.
    const uint64_t words = pool.words == 0 ? 1 : pool.words;
    pool.slots[slot] = static_cast<uint64_t*>(std::malloc(words * sizeof(uint64_t)));
  }
  return pool.slots[slot];
}

uint64_t set_pool_bytes() {
  const uint64_t words = pool.words == 0 ? 1 : pool.words;
  uint64_t bytes = uint64_t{pool.slot_count} * sizeof(uint64_t*);
  for (uint32_t i = 0; i < pool.slot_count; ++i) {
    if (pool.slots[i] != nullptr) bytes += words * sizeof(uint64_t);
  }
  return bytes;
}

void set_pool_release() {
  free_arrays();
  std::free(pool.slots);
  pool = pool_state{};
}
