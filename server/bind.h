// The bound identity's life outside the bind itself.
//
// bind_operation (server/operations.h) sets bound_record and bound_dn
// (query/acl.h) on a successful named bind. bound_dn always points at the
// bind's own copy of the DN text, never into the data file's mapping, so a
// reload cannot leave it dangling; bound_record, an offset into the mapped
// file, is made current again by refresh_bound_identity.
#ifndef FERROWYN_SERVER_BIND_H_
#define FERROWYN_SERVER_BIND_H_

#include "core/counted_str.h"

// Makes the client anonymous: bound_record 0, bound_dn null, and the ACL
// subjects recomputed for nobody (only "everyone" subjects apply). A new
// connection starts this way, so no client inherits the rights of one that
// bound before it.
void reset_bound_identity();

// After a reload of the data file (data_store.generation moved since the
// identity was set): looks the bound DN up again. Found as a record, the
// identity is that record; found in the journal, that journal entry
// (bound_record 0); not found, the client becomes anonymous. The ACL
// subjects are then recomputed for it. Nothing happens while the file is
// the one the identity was set on, or when no one is bound. Call it after
// every change_check.
void refresh_bound_identity();

// Whether the entry with the normalised DN exists and its userPassword
// accepts the password, as a bind would check it: 1 or 0.
int entry_password_matches(counted_str dn, counted_str password);

#endif  // FERROWYN_SERVER_BIND_H_
