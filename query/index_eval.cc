// Index-driven evaluation of a resolved filter.
//
// Every evaluated set is described by what it says about the records that
// match its node: a superset (no match is missing) and/or a subset (every
// member matches). Usable sets are always supersets: that is what lets the
// search check only the candidates. The subset property matters for not:
// the complement of a set is a superset of the not's matches only when the
// operand's set held nothing but matches. A hash bucket or a range lookup
// may hold records that do not match their item, and complementing such a
// set would silently drop records that satisfy the not, so a not whose
// operand's set may hold such records proposes every record instead.
//
// Which sets are exact: a sorted-table equality lookup (the run of values
// equal under the very comparison the matcher uses), present (the matcher's
// own test), and and/or/not built from exact parts. Hash probes, range
// lookups and substrings (only the initial element is looked up) are
// supersets only.
#include "query/index_eval.h"

#include <cstdint>

#include "query/set_pool.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/index.h"
#include "store/record.h"

namespace {

// What an evaluated set says about the records that match its node.
struct eval_result {
  bool usable;    // answered from the indexes
  bool superset;  // every matching record is in the set
  bool subset;    // every record in the set matches
};

// An item that no index answers. Its set is untouched; every caller that
// reads such a set (only not does) has cleared it, so it is empty.
constexpr eval_result kUnusable{false, false, true};

}  // namespace

// Offset of the indexed attribute's name offset in a block of types 0, 1, 3.
static constexpr uint64_t kBlockAttribute = 8;

// The block of the wanted kinds for the item. The block is found by the
// description's exact bytes; it must also index the attribute the item
// resolved to, since the matcher tests that attribute's values. The two
// differ only in a file whose attribute table holds names that differ only
// in case, and then the block says nothing about the item.
static uint32_t item_block(index_kinds kinds, const Filter* f) {
  const uint32_t b = find_index_block(kinds, f->attribute);
  if (b == 0 || data_word(b + kBlockAttribute) != f->attribute_offset) return 0;
  return b;
}

static bool nocase(const Filter* f) { return (f->attribute_flags & attribute_flag_nocase) != 0; }

static value_cmp_fn value_cmp(const Filter* f) { return nocase(f) ? cmp_value_nocase : cmp_value; }

// The substrings list's first element when it is an initial one, else null.
static const filter_substring* leading_initial(const Filter* f) {
  const filter_substring* s = f->substrings;
  return s != nullptr && s->kind == substring_initial ? s : nullptr;
}

int index_usable(const Filter* f) {
  if (f == nullptr) return 0;
  switch (f->choice) {
    case filter_and:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (index_usable(c)) return 1;
      }
      return 0;
    case filter_or:
      for (const Filter* c = f->children; c != nullptr; c = c->next) {
        if (!index_usable(c)) return 0;
      }
      return 1;
    case filter_not:
      return 0;
    case filter_equality:
      return item_block(index_hash, f) != 0 || item_block(index_sorted, f) != 0;
    case filter_greater_or_equal:
    case filter_less_or_equal:
      return item_block(index_sorted, f) != 0;
    case filter_substrings:
      return leading_initial(f) != nullptr && item_block(index_sorted, f) != 0;
    case filter_present:
      return 1;
    default:
      return 0;
  }
}

// ---- Whole-set operations ---------------------------------------------
// Invariant: outside [lowest, highest] a set has no bit set below
// record_count (bits at or above it are never visited). So the bits alone
// say which records are members, and a complement is the bitwise one.

static void intersect(candidate_set* out, const candidate_set* in) {
  for (uint64_t i = 0; i < data_store.set_words; ++i) out->words[i] &= in->words[i];
  if (in->lowest > out->lowest) out->lowest = in->lowest;
  if (in->highest < out->highest) out->highest = in->highest;
}

static void unite(candidate_set* out, const candidate_set* in) {
  for (uint64_t i = 0; i < data_store.set_words; ++i) out->words[i] |= in->words[i];
  if (in->lowest < out->lowest) out->lowest = in->lowest;
  if (in->highest > out->highest) out->highest = in->highest;
}

static void complement(candidate_set* s) {
  for (uint64_t i = 0; i < data_store.set_words; ++i) s->words[i] = ~s->words[i];
  s->lowest = 0;
  s->highest = data_store.record_count;
}

// ---- Items --------------------------------------------------------------

// present: the matcher's own test over every record, in file order. An
// unresolved attribute is present in no record.
static void collect_present(uint32_t attribute, candidate_set* out) {
  set_clear(out);
  if (attribute == 0) return;
  uint64_t r = data_header_size + uint64_t{data_store.size_of_string_table} +
               uint64_t{8} * data_store.attribute_count;
  for (uint32_t i = 0; i < data_store.record_count; ++i) {
    if (record_has_attribute(static_cast<uint32_t>(r), attribute)) set_add(out, i);
    r += uint64_t{8} * data_word(r);
  }
}

static eval_result evaluate_item(const Filter* f, candidate_set* out) {
  switch (f->choice) {
    case filter_equality: {
      uint32_t b = item_block(index_hash, f);
      if (b != 0) {
        set_clear(out);
        probe_hash_table(b, f->value, nocase(f) ? 1 : 0, out);
        return {true, true, false};
      }
      b = item_block(index_sorted, f);
      if (b == 0) return kUnusable;
      search_sorted_table(b, f->value, value_cmp(f), search_equal, out);
      return {true, true, true};
    }
    case filter_greater_or_equal:
    case filter_less_or_equal: {
      const uint32_t b = item_block(index_sorted, f);
      if (b == 0) return kUnusable;
      const search_mode mode =
          f->choice == filter_greater_or_equal ? search_at_least : search_at_most;
      search_sorted_table(b, f->value, value_cmp(f), mode, out);
      return {true, true, false};
    }
    case filter_substrings: {
      const filter_substring* initial = leading_initial(f);
      if (initial == nullptr) return kUnusable;
      const uint32_t b = item_block(index_sorted, f);
      if (b == 0) return kUnusable;
      search_sorted_table(b, initial->value, nocase(f) ? cmp_prefix_nocase : cmp_prefix,
                          search_equal, out);
      return {true, true, false};
    }
    case filter_present:
      collect_present(f->attribute_offset, out);
      return {true, true, true};
    default:
      return kUnusable;
  }
}

// ---- and, or, not -------------------------------------------------------
// A node at and/or nesting level L combines its children in pool slot
// 1 + L and evaluates them at level L + 1; a not passes its level on, since
// its operand is evaluated into the not's own set. Only a node's first
// usable child goes straight into the node's set; the later ones need the
// scratch set, which is asked for only then.

static eval_result evaluate_node(const Filter* f, candidate_set* out, uint32_t level);

static eval_result evaluate_and(const Filter* f, candidate_set* out, uint32_t level) {
  if (f->children == nullptr) {
    set_fill(out);
    return {false, true, true};
  }
  candidate_set scratch{nullptr, 0, 0};
  bool any = false;    // a usable child's set is in out
  bool exact = true;   // every child so far usable with an exact set
  for (const Filter* c = f->children; c != nullptr; c = c->next) {
    if (!any) {
      const eval_result r = evaluate_node(c, out, level + 1);
      any = r.usable;
      exact = exact && r.usable && r.subset;
      continue;
    }
    if (scratch.words == nullptr) scratch.words = set_pool_words(1 + level);
    if (scratch.words == nullptr) {
      // Out of memory: the children intersected so far still give a
      // superset of the matches.
      return {true, true, false};
    }
    const eval_result r = evaluate_node(c, &scratch, level + 1);
    exact = exact && r.usable && r.subset;
    if (r.usable) intersect(out, &scratch);
  }
  if (!any) {
    set_clear(out);
    return {false, false, true};
  }
  return {true, true, exact};
}

static eval_result evaluate_or(const Filter* f, candidate_set* out, uint32_t level) {
  candidate_set scratch{nullptr, 0, 0};
  bool any = false;         // a usable child's set is in out
  bool all_usable = true;
  bool subset = true;       // every usable child's set so far held only matches
  for (const Filter* c = f->children; c != nullptr; c = c->next) {
    candidate_set* target = out;
    if (any) {
      if (scratch.words == nullptr) scratch.words = set_pool_words(1 + level);
      if (scratch.words == nullptr) {
        // Out of memory: every record is a superset of the union.
        for (; c != nullptr && all_usable; c = c->next) all_usable = index_usable(c) != 0;
        set_fill(out);
        return {all_usable, true, false};
      }
      target = &scratch;
    }
    const eval_result r = evaluate_node(c, target, level + 1);
    if (!r.usable) {
      all_usable = false;
      continue;
    }
    subset = subset && r.subset;
    if (any) unite(out, &scratch);
    any = true;
  }
  if (!any) set_clear(out);
  // Without all children the union may miss matches, but it still holds
  // only members of the usable children's sets.
  return {all_usable, all_usable, subset};
}

static eval_result evaluate_not(const Filter* f, candidate_set* out, uint32_t level) {
  set_clear(out);
  if (f->children == nullptr) return {true, true, true};
  const eval_result r = evaluate_node(f->children, out, level);
  if (!r.subset) {
    set_fill(out);
    return {true, true, false};
  }
  complement(out);
  return {true, true, r.superset};
}

static eval_result evaluate_node(const Filter* f, candidate_set* out, uint32_t level) {
  switch (f->choice) {
    case filter_and:
      return evaluate_and(f, out, level);
    case filter_or:
      return evaluate_or(f, out, level);
    case filter_not:
      return evaluate_not(f, out, level);
    default:
      return evaluate_item(f, out);
  }
}

int evaluate_index(const Filter* f, candidate_set* set) {
  if (f == nullptr) return 0;
  return evaluate_node(f, set, 0).usable ? 1 : 0;
}
