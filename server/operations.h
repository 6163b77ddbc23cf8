// The request handlers that the connection loop dispatches to.
//
// Each gets the descriptor to answer on, the messageID, the protocolOp's
// contents [contents, contents + len) and the end of the whole LDAPMessage
// in the receive buffer (decoders are bounded by it). Each writes every
// answer as one complete LDAPMessage with a single write(2) and returns; the
// loop then consumes the message. Decoded strings point into the receive
// buffer and are valid until the handler returns.
#ifndef FERROWYN_SERVER_OPERATIONS_H_
#define FERROWYN_SERVER_OPERATIONS_H_

#include <cstdint>

void bind_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                    const char* end);
void search_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                      const char* end);
void modify_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                      const char* end);
void add_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                   const char* end);
void delete_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                      const char* end);
void compare_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                       const char* end);
// The steps of a ModifyRequest after its decode (the checks, the journal's
// exclusive hold, the append): its result code. For operations that change
// an entry the way a modify does, such as a password change.
struct modify_request;
uint64_t apply_modify(const modify_request* r);
void extended_operation(int fd, int64_t message_id, const char* contents, uint64_t len,
                        const char* end);

#endif  // FERROWYN_SERVER_OPERATIONS_H_
