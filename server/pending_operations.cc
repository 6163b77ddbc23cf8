// Requests the server decodes and frames but does not answer yet: the bind,
// search and update handlers land with the directory store. Until then the
// client gets no answer and the connection goes on with the next message.
#include "server/operations.h"

void bind_operation(int, int64_t, const char*, uint64_t, const char*) {}
void search_operation(int, int64_t, const char*, uint64_t, const char*) {}
void modify_operation(int, int64_t, const char*, uint64_t, const char*) {}
void add_operation(int, int64_t, const char*, uint64_t, const char*) {}
void delete_operation(int, int64_t, const char*, uint64_t, const char*) {}
