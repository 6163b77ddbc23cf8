// The per-connection loop: receive, frame, decode the envelope, dispatch.
#ifndef FERROWYN_SERVER_CONNECTION_H_
#define FERROWYN_SERVER_CONNECTION_H_

#include <cstdint>

// Size of the receive buffer: no LDAPMessage larger than this is served.
constexpr uint64_t receive_buffer_size = 8192;

// Serves one connection until it ends (end of stream, UnbindRequest, read
// error, unknown protocolOp), then closes r (and w when different) and
// returns. Reads requests from r, writes answers to w. An LDAPMessage that
// cannot be framed or decoded ends the process with status 2.
void serve_connection(int r, int w);

#endif  // FERROWYN_SERVER_CONNECTION_H_
