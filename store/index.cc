// Index lookups over the blocks of the data file's index chain.
//
// Block layouts (offsets from the block's file offset b, 32-bit words):
//
//   type 0, sorted table:
//     b: 0   b+4: next   b+8: attribute name offset
//     b+12+4k: value offset k, k < N = (next - b - 12) / 4
//   type 1, sorted table with record pointer:
//     as type 0 with N = (next - b - 12) / 8; the N value offsets are
//     followed by N record numbers, b+12+4N+4k holding value k's record
//   type 3, hash table:
//     b: 3   b+4: next   b+8: attribute name offset   b+12: bucket_count
//     b+16+4k: bucket k, a word w: 0 empty; below b the record number w;
//     otherwise the offset of a list: a count c, then c record numbers
//
// Sorted tables are ordered by compare_values (or compare_values_nocase for
// a case-insensitive attribute) over the values' contents, equal values next
// to each other; a value of a type-0 table belongs to the record whose
// strings surround it (findrec). A value falls into the hash bucket
// string_hash (or string_hash_nocase) of its content modulo bucket_count.
#include "store/index.h"

#include <cstdint>

#include "core/diag.h"
#include "core/out_buffer.h"
#include "store/data_file.h"
#include "store/record.h"

static constexpr uint64_t kBlockNext = 4;
static constexpr uint64_t kBlockAttribute = 8;
static constexpr uint64_t kSortedValues = 12;
static constexpr uint64_t kHashBucketCount = 12;
static constexpr uint64_t kHashBuckets = 16;

static bool wanted_kind(index_kinds kinds, uint32_t type) {
  return kinds == index_sorted
             ? type == block_sorted_table || type == block_sorted_table_with_records
             : type == block_hash_table;
}

uint32_t find_index_block(index_kinds kinds, counted_str attribute) {
  if (data_store.index_block_count <= max_cached_index_blocks) {
    for (uint32_t i = 0; i < data_store.index_block_count; ++i) {
      const index_block_entry& e = data_store.index_blocks[i];
      if (wanted_kind(kinds, e.type) && cmp_value(attribute, data_store.base + e.attribute) == 0)
        return e.block;
    }
    return 0;
  }
  uint64_t off = data_store.indices_offset + uint64_t{4} * data_store.record_count;
  while (off < data_store.size) {
    const uint32_t type = data_word(off);
    if (wanted_kind(kinds, type) &&
        cmp_value(attribute, data_store.base + data_word(off + kBlockAttribute)) == 0) {
      return static_cast<uint32_t>(off);
    }
    const uint64_t next = data_word(off + kBlockNext);
    // The loaded chain moves forward; stopping otherwise keeps a lookup
    // from circling for ever should that ever not hold.
    if (next <= off) break;
    off = next;
  }
  return 0;
}

namespace {

// One sorted table, read in place.
struct sorted_table {
  uint64_t values;   // file offset of value 0
  uint64_t records;  // file offset of record number 0 (type 1), else 0
  uint32_t count;    // N

  uint32_t value(uint32_t k) const { return data_word(values + uint64_t{4} * k); }
  // The record of position k, or -1 when findrec finds none.
  int64_t record(uint32_t k) const {
    if (records != 0) return data_word(records + uint64_t{4} * k);
    return findrec(value(k));
  }
};

}  // namespace

static sorted_table open_sorted_table(uint32_t block) {
  const uint64_t b = block;
  const uint64_t next = data_word(b + kBlockNext);
  const bool with_records = data_word(b) == block_sorted_table_with_records;
  sorted_table t{b + kSortedValues, 0, 0};
  if (next < b + kSortedValues) return t;
  const uint64_t bytes = next - b - kSortedValues;
  t.count = static_cast<uint32_t>(bytes / (with_records ? 8 : 4));
  if (with_records) t.records = t.values + uint64_t{4} * t.count;
  return t;
}

static void add_position(const sorted_table& t, uint32_t k, candidate_set* set) {
  const int64_t r = t.record(k);
  if (r >= 0) set_add(set, static_cast<uint64_t>(r));
}

static void trace_probe(uint32_t lo, uint32_t hi, counted_str key, uint32_t value) {
  buf_put(&std_err, "match[", 6);
  buf_put_decimal(&std_err, lo);
  buf_put(&std_err, "..", 2);
  buf_put_decimal(&std_err, hi);
  buf_put(&std_err, "]: ", 3);
  buf_put(&std_err, key.bytes, key.len);
  buf_put(&std_err, " <-> ", 5);
  buf_put_str(&std_err, data_store.base + value);
  buf_put_flush(&std_err, ": ", 2);
}

static void trace_word(const char* word, uint64_t n) {
  if (trace_enabled) buf_put_flush(&std_err, word, n);
}

void search_sorted_table(uint32_t block, counted_str key, value_cmp_fn cmp, search_mode mode,
                         candidate_set* set) {
  set_clear(set);
  const sorted_table t = open_sorted_table(block);
  if (t.count == 0) return;

  uint32_t lo = 0;
  uint32_t hi = t.count - 1;
  uint32_t mid = 0;
  bool matched = false;
  while (true) {
    mid = static_cast<uint32_t>((uint64_t{lo} + hi) / 2);
    const uint32_t v = t.value(mid);
    // A string that is not whole in the file (a broken file) is never
    // read: the search ends there as if it had found nothing more.
    if (!data_string_whole(v)) break;
    if (trace_enabled) trace_probe(lo, hi, key, v);
    const int32_t d = cmp(key, data_store.base + v);
    if (d == 0) {
      trace_word("MATCH!\n", 7);
      matched = true;
      break;
    }
    if (d > 0) {
      trace_word("larger!\n", 8);
      lo = mid + 1;
    } else {
      trace_word("smaller!\n", 9);
      // At position 0 nothing lies below.
      if (mid == 0) break;
      hi = mid - 1;
    }
    if (hi < lo) break;
  }

  if (!matched) {
    // Everything below the last probe sorts before the key, everything
    // above it after, so the range modes take that side with the probe.
    if (mode == search_at_least) {
      for (uint32_t k = mid; k < t.count; ++k) add_position(t, k, set);
    } else if (mode == search_at_most) {
      for (uint32_t k = 0; k <= mid; ++k) add_position(t, k, set);
    }
    return;
  }

  // The values equal to the key form one run around mid; a range mode takes
  // its whole side of the table without comparing.
  add_position(t, mid, set);
  for (uint32_t k = mid; k-- > 0;) {
    if (mode != search_at_most &&
        (!data_string_whole(t.value(k)) || cmp(key, data_store.base + t.value(k)) != 0))
      break;
    add_position(t, k, set);
  }
  for (uint32_t k = mid + 1; k < t.count; ++k) {
    if (mode != search_at_least &&
        (!data_string_whole(t.value(k)) || cmp(key, data_store.base + t.value(k)) != 0))
      break;
    add_position(t, k, set);
  }
}

void probe_hash_table(uint32_t block, counted_str key, int fold, candidate_set* set) {
  const uint64_t b = block;
  const uint32_t buckets = data_word(b + kHashBucketCount);
  // A table without buckets holds nothing (and must not be divided by).
  if (buckets == 0) return;
  const uint32_t h = fold ? string_hash_nocase(key.bytes, key.len) : string_hash(key.bytes, key.len);
  const uint32_t w = data_word(b + kHashBuckets + uint64_t{4} * (h % buckets));
  if (w == 0) return;
  if (w < b) {
    set_add(set, w);
    return;
  }
  const uint32_t c = data_word(w);
  for (uint64_t j = 0; j < c; ++j) set_add(set, data_word(w + 4 + 4 * j));
}
