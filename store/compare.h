// Value comparisons and the string hash.
//
// The sorted indexes of the data file are ordered by exactly these
// comparisons, the filter matchers decide equality and ordering with them,
// and the hash indexes and the journal's DN table bucket by string_hash.
// A key is a counted_str; the other side is a stored_str given by its
// address (may be null). Results order the key against the stored string:
// negative means the key sorts first.
#ifndef FERROWYN_STORE_COMPARE_H_
#define FERROWYN_STORE_COMPARE_H_

#include <cstdint>

#include "core/counted_str.h"

// The order of values: bytewise unsigned, and a string sorts right before
// every extension of it. It is a total order, so a table sorted by it can
// be binary-searched for any key. The _nocase form folds "A"-"Z" first.
int32_t compare_values(const char* a, uint64_t a_len, const char* b, uint64_t b_len);
int32_t compare_values_nocase(const char* a, uint64_t a_len, const char* b, uint64_t b_len);

// compare_values of the key against the stored string's content; a null
// stored string sorts first (-1).
int32_t cmp_value(counted_str key, const char* s);
int32_t cmp_value_nocase(counted_str key, const char* s);
// 0 when the stored string begins with the key, else cmp_value.
int32_t cmp_prefix(counted_str key, const char* s);
// As cmp_prefix over folded bytes: 0 when the stored string's content
// begins with the key, else cmp_value_nocase. The whole content counts, also
// in a long-form string, so the order stays the table's order.
int32_t cmp_prefix_nocase(counted_str key, const char* s);
// Equality of two stored strings (0 when equal).
int32_t cmp_stored(const char* a, const char* b);
// Equality of a stored string and a key (0 when equal).
int32_t cmp_stored_counted(const char* s, counted_str key);

// The comparison a sorted-table search uses.
using value_cmp_fn = int32_t (*)(counted_str key, const char* s);

// h = h * 33 XOR byte over the bytes, modulo 2^32, from 0.
uint32_t string_hash(const char* bytes, uint64_t n);
// The same over the bytes with "A"-"Z" folded to "a"-"z".
uint32_t string_hash_nocase(const char* bytes, uint64_t n);

#endif  // FERROWYN_STORE_COMPARE_H_
