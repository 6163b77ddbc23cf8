// DN lookup: the journal's DN table, then the data file's "dn" index.
//
// The index only proposes records: a hash bucket lists every record whose
// DN falls into it. Taking the lowest-numbered candidate unchecked would let
// a bind, modify or delete of one DN act on another entry that merely
// shares its bucket, so each candidate's DN is compared with the one asked
// for, under the dn attribute's comparison. That is the order a sorted dn
// index is built in, so there the check only confirms what the search found.
#include "query/dn_lookup.h"

#include <cstdint>

#include "codec/filter.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/index_eval.h"
#include "query/match.h"
#include "query/set_pool.h"
#include "store/candidate_set.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"

static int fail(const char* line, uint64_t n) {
  buf_put_flush(&std_err, line, n);
  return -1;
}

int lookupdn(counted_str dn, uint64_t* record, journal_entry** entry) {
  if (dn.len == 0 || dn.bytes == nullptr) {
    static constexpr char kNullDn[] = "lookupdn called for NULL dn!\n";
    return fail(kNullDn, sizeof kNullDn - 1);
  }

  // The journal shadows the data file: its entry is the answer, also when
  // it marks the DN as deleted.
  if (journal_entry* e = journal_find(dn); e != nullptr) {
    *entry = e;
    *record = dn_in_journal;
    return e->attribute_count > 0 ? 1 : 0;
  }
  *entry = nullptr;

  Filter node{};
  node.choice = filter_equality;
  node.attribute = counted_str{2, "dn"};
  node.value = dn;
  resolve_filter_attributes(&node);
  if (!index_usable(&node)) {
    static constexpr char kNoIndex[] = "no index for dn, lookup failed!\n";
    return fail(kNoIndex, sizeof kNoIndex - 1);
  }
  candidate_set set{set_pool_words(set_pool_result), 0, 0};
  if (set.words == nullptr) {
    static constexpr char kNoMemory[] = "out of memory!\n";
    return fail(kNoMemory, sizeof kNoMemory - 1);
  }
  evaluate_index(&node, &set);

  const value_cmp_fn cmp =
      (node.attribute_flags & attribute_flag_nocase) != 0 ? cmp_value_nocase : cmp_value;
  for (int64_t i = set_next(&set, set.lowest); i >= 0;
       i = set_next(&set, static_cast<uint64_t>(i) + 1)) {
    const uint32_t r = record_offset(static_cast<uint32_t>(i));
    if (cmp(dn, data_store.base + record_value(r, data_store.dn_name)) == 0) {
      *record = static_cast<uint64_t>(i);
      return 1;
    }
  }
  return 0;
}
