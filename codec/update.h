// ModifyRequest, AddRequest and DelRequest (RFC 4511): records, the server's
// decoders, and the delete client's DelRequest encoder. The answers are
// LDAPResults (ldap_encode_result).
//
// Strings point into the received bytes; value lists are string_node lists
// (attribute_offset stays 0). The records are provided by the caller and
// cleared by the decoders; the free functions release the heap nodes.
#ifndef FERROWYN_CODEC_UPDATE_H_
#define FERROWYN_CODEC_UPDATE_H_

#include <cstdint>

#include "codec/search.h"
#include "core/counted_str.h"

constexpr uint32_t modify_add = 0;
constexpr uint32_t modify_delete = 1;
constexpr uint32_t modify_replace = 2;

struct modification {
  uint32_t operation;  // modify_add, modify_delete or modify_replace
  counted_str type;    // the attribute description
  string_node* vals;   // the values in request order; null for an empty SET
  modification* next;  // the following change (heap node)
};

struct modify_request {
  counted_str object;  // the DN as received
  modification first;  // the first change, held in the record
};

struct add_attribute {
  counted_str type;
  string_node vals;    // the first value, held in the attribute; further
                       // values are heap nodes through vals.next. An empty
                       // SET decodes as one value of length 0.
  add_attribute* next; // the following attribute (heap node)
};

struct add_request {
  counted_str entry;   // the DN as received
  add_attribute first; // the first attribute, held in the record
};

uint64_t ldap_decode_modify_request(const char* start, const char* end, modify_request* r);
void free_modify_request(modify_request* r);
uint64_t ldap_decode_add_request(const char* start, const char* end, add_request* r);
void free_add_request(add_request* r);
// The DN is the whole protocolOp contents [start, end): end - start, or 0
// when start >= end.
uint64_t ldap_decode_del_request(const char* start, const char* end, counted_str* dn);
// Client side: writes the DN's bytes; returns its length.
uint64_t ldap_encode_del_request(char* dest, counted_str dn);

#endif  // FERROWYN_CODEC_UPDATE_H_
