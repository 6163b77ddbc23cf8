// Filter matching against the three shapes of entries: data-file records,
// journal entries, and the entry an update is about to write; and the
// search-scope tests that combine baseObject, scope and filter.
//
// Every matcher needs the filter resolved first (resolve_filter_attributes).
// Only equalityMatch, substrings, greaterOrEqual, lessOrEqual and present
// are supported, combined with and, or and not; approxMatch and
// extensibleMatch never match. Matchers are exact: they are the final word
// on every candidate the indexes propose.
#ifndef FERROWYN_QUERY_MATCH_H_
#define FERROWYN_QUERY_MATCH_H_

#include <cstdint>

#include "codec/filter.h"
#include "codec/search.h"
#include "core/counted_str.h"
#include "journal/journal_writer.h"

struct journal_entry;

// Fills attribute_offset and attribute_flags of every node from the loaded
// data file's attribute table (names compared without case).
void resolve_filter_attributes(Filter* f);
// 1 when the entry satisfies the filter, else 0.
int match_record(uint32_t record, const Filter* f);
int match_journal_entry(const journal_entry* e, const Filter* f);
int match_request_entry(const request_entry* e, const Filter* f);

// 1 when D ends with B, ignoring spaces and ASCII letter case (0 when D is
// empty).
int dn_suffix_match(counted_str base, counted_str dn);
// baseObject and scope alone, for a record (its filter not looked at).
int record_in_scope(uint32_t record, const search_request* r);
// baseObject, scope and filter of a decoded, resolved SearchRequest.
int record_matches_search(uint32_t record, const search_request* r);
int journal_matches_search(const journal_entry* e, const search_request* r);

#endif  // FERROWYN_QUERY_MATCH_H_
