// Requests the server frames and decodes but does not answer yet: the
// update handlers land with the journal writer. Until then the client gets
// no answer and the connection goes on with the next message.
#include "server/operations.h"

void modify_operation(int, int64_t, const char*, uint64_t, const char*) {}
void add_operation(int, int64_t, const char*, uint64_t, const char*) {}
void delete_operation(int, int64_t, const char*, uint64_t, const char*) {}
