#include "server/connection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "codec/ldap_message.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "server/bind.h"
#include "server/operations.h"

namespace {

void trace_message(uint64_t len, int64_t message_id, uint64_t op) {
  buf_put_str(&std_err, "got message of length ");
  buf_put_decimal(&std_err, len);
  buf_put_str(&std_err, " with id ");
  buf_put_decimal(&std_err, static_cast<uint64_t>(message_id));
  buf_put_str(&std_err, ": op ");
  buf_put_decimal(&std_err, op);
  buf_put_flush(&std_err, ".\n", 2);
}

// The unsolicited Notice of Disconnection (RFC 4511 4.4.1): messageID 0,
// protocolError, sent before the server closes a connection on a request it
// cannot serve, so that the client reports why instead of "Can't contact".
void notice_of_disconnection(int w, const char* message) {
  char out[256];
  const uint64_t body = ldap_encode_extended_response(nullptr, ldap_protocol_error, message,
                                                      ldap_oid_notice_of_disconnection, nullptr, 0);
  const uint64_t header = ldap_encode_message_header(nullptr, 0, ldap_extended_response, body);
  if (header + body > sizeof out) return;
  ldap_encode_extended_response(out + header, ldap_protocol_error, message,
                                ldap_oid_notice_of_disconnection, nullptr, 0);
  ldap_encode_message_header(out, 0, ldap_extended_response, body);
  if (write(w, out, header + body) < 0) {
    // The connection ends anyway.
  }
}

// Handles one decoded message; false when the connection must end.
bool dispatch(int w, int64_t message_id, uint64_t op, const char* contents, uint64_t len,
              const char* end) {
  switch (op) {
    case ldap_bind_request:
      bind_operation(w, message_id, contents, len, end);
      return true;
    case ldap_unbind_request:
      return false;
    case ldap_search_request:
      search_operation(w, message_id, contents, len, end);
      return true;
    case ldap_modify_request:
      modify_operation(w, message_id, contents, len, end);
      return true;
    case ldap_add_request:
      add_operation(w, message_id, contents, len, end);
      return true;
    case ldap_del_request:
      delete_operation(w, message_id, contents, len, end);
      return true;
    case ldap_compare_request:
      compare_operation(w, message_id, contents, len, end);
      return true;
    case ldap_extended_request:
      extended_operation(w, message_id, contents, len, end);
      return true;
    case ldap_abandon_request:
      // Every request is answered before the next is read, so there is
      // never anything left to abandon.
      if (trace_enabled) buf_put_flush(&std_err, "AbandonRequest!\n", 16);
      return true;
    default:
      buf_put_str(&std_err, "unknown request type ");
      buf_put_decimal(&std_err, op);
      buf_put_newline_flush(&std_err);
      notice_of_disconnection(w, "operation not supported");
      return false;
  }
}

}  // namespace

void serve_connection(int r, int w) {
  char buf[receive_buffer_size];
  uint64_t fill = 0;  // received, unconsumed bytes; always at buf[0]
  // Every client starts anonymous: in the tracing build one process serves
  // every connection in turn, and a client must not inherit the rights of
  // whoever bound before it.
  reset_bound_identity();
  for (;;) {
    // TCP keeps no message boundaries: a message may arrive in pieces, and
    // several may arrive in one read. Serve every complete message already
    // buffered before reading again; read more only while the one at the
    // front is incomplete and can still fit.
    uint64_t size = 0;
    int framed = fill > 0 ? ldap_message_size(buf, buf + fill, &size) : 0;
    if (framed < 0 || (framed > 0 && size > sizeof buf)) exit(2);
    if (framed == 0 || size > fill) {
      ssize_t n;
      do {
        n = read(r, buf + fill, sizeof buf - fill);
      } while (n < 0 && errno == EINTR);
      if (n == 0) break;
      if (n < 0) {
        if (write(2, "error!\n", 7) < 0) {
          // Nothing more can be reported.
        }
        break;
      }
      fill += static_cast<uint64_t>(n);
      continue;
    }

    // Invariant: [buf, buf + size) holds one whole LDAPMessage, controls
    // included. The envelope is decoded within it, so nothing a request says
    // can make a decoder read the next message.
    const char* end = buf + size;
    int64_t message_id;
    uint64_t op, len;
    uint64_t header = ldap_decode_message(buf, end, &message_id, &op, &len);
    if (header == 0) exit(2);
    if (trace_enabled) trace_message(len, message_id, op);
    // Every request sees the data file and the journal as they are now,
    // including records other connections appended.
    change_check();
    // A reload unmapped the file the bound identity pointed into.
    refresh_bound_identity();

    if (!dispatch(w, message_id, op, buf + header, len, end)) break;

    fill -= size;
    memmove(buf, buf + size, fill);
  }
  close(r);
  if (w != r) close(w);
}
