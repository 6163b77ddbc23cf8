// The root DSE (RFC 4512 5.1): the entry with the empty DN that tells a
// client what the server holds and speaks, read with base "" and scope
// base before anything else (Authelia, ldap3's get_info, Apache Directory
// Studio). It is built for each request from the data file and the journal
// as they are then, and readable by everyone.
#ifndef FERROWYN_SERVER_ROOT_DSE_H_
#define FERROWYN_SERVER_ROOT_DSE_H_

#include <cstdint>

#include "codec/search.h"

// Whether the search asks for the root DSE: an empty base and scope base.
bool is_root_dse_search(const search_request* q);

// Answers such a search on fd: the entry when the filter holds for it,
// with the attributes asked for (objectClass for "*" or none; the
// operational ones by name or with "+"), then a SearchResultDone.
//   objectClass           top
//   namingContexts        every entry whose parent is no entry
//   supportedLDAPVersion  3
//   supportedControl      1.2.840.113556.1.4.319 (simple paged results)
//   supportedExtension    1.3.6.1.4.1.4203.1.11.1 (Password Modify) and
//                         1.3.6.1.4.1.4203.1.11.3 ("Who am I?")
//   vendorName            ferrowyn
//   vendorVersion         the version of this build
void answer_root_dse(int fd, int64_t message_id, const search_request* q);

#endif  // FERROWYN_SERVER_ROOT_DSE_H_
