// SearchRequest and SearchResultEntry (RFC 4511): the records, shared by
// both directions, and their codecs. SearchResultDone is an LDAPResult
// (ldap_encode_result).
//
// Decoded strings point into the bytes they were decoded from; the decoders
// allocate the filter and the list nodes, which the free functions release.
#ifndef FERROWYN_CODEC_SEARCH_H_
#define FERROWYN_CODEC_SEARCH_H_

#include <cstdint>

#include "codec/filter.h"
#include "core/counted_str.h"

struct string_node {
  counted_str str;            // an attribute description or value
  uint32_t attribute_offset;  // requested attributes only: resolved name offset, else 0
  string_node* next;
};

constexpr uint32_t scope_base_object = 0;
constexpr uint32_t scope_single_level = 1;
constexpr uint32_t scope_whole_subtree = 2;

struct search_request {
  counted_str baseObject;   // the base DN as received (not normalised)
  uint32_t scope;           // scope_base_object, _single_level, _whole_subtree
  uint32_t derefAliases;    // 0 to 3
  int64_t sizeLimit;        // never negative; 0 for no limit
  int64_t timeLimit;        // never negative; only traced
  int64_t typesOnly;        // 0 or 1
  Filter* filter;           // owned
  string_node* attributes;  // requested descriptions in request order; owned
};

struct partial_attribute {
  counted_str type;          // the attribute description
  string_node* vals;         // its values
  partial_attribute* next;
};

struct search_entry {
  counted_str objectName;          // the entry's DN
  partial_attribute* attributes;
};

// Server side. Returns the bytes consumed, or 0 with the record cleared.
uint64_t ldap_decode_search_request(const char* start, const char* end, search_request* r);
// Frees the filter and the attributes list and clears every field.
void free_search_request(search_request* r);
// Client side: the SearchRequest contents.
uint64_t ldap_encode_search_request(char* dest, const search_request* r);

constexpr unsigned string_list_sequence = 16;
constexpr unsigned string_list_set = 17;
// A SEQUENCE OF or SET OF OCTET STRING (form: string_list_sequence or
// string_list_set), header included; a null list gives an empty one.
uint64_t ber_encode_string_list(char* dest, const string_node* list, unsigned form);
// Server side: the SearchResultEntry contents.
uint64_t ldap_encode_search_entry(char* dest, const search_entry* e);
// The PartialAttributeList contents (without its SEQUENCE header).
uint64_t ldap_encode_partial_attributes(char* dest, const partial_attribute* list);
// Client side. Values of each attribute are listed in REVERSE message order.
uint64_t ldap_decode_search_entry(const char* start, const char* end, search_entry* e);
void free_partial_attributes(partial_attribute* list);
void free_string_list(string_node* list);

#endif  // FERROWYN_CODEC_SEARCH_H_
