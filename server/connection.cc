#include "server/connection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "codec/ldap_message.h"
#include "core/bytes.h"
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

// The response operation of a request, 0 for one that has none (unbind,
// abandon) or that the server does not know.
uint64_t response_of(uint64_t op) {
  switch (op) {
    case ldap_bind_request: return ldap_bind_response;
    case ldap_search_request: return ldap_search_result_done;
    case ldap_modify_request: return ldap_modify_response;
    case ldap_add_request: return ldap_add_response;
    case ldap_del_request: return ldap_del_response;
    case ldap_compare_request: return ldap_compare_response;
    case ldap_extended_request: return ldap_extended_response;
    default: return 0;
  }
}

void answer_result(int w, int64_t message_id, uint64_t response, uint64_t code,
                   const char* message) {
  char out[256];
  const uint64_t body = ldap_encode_result(nullptr, code, "", message);
  const uint64_t header =
      ldap_encode_message_header(nullptr, static_cast<uint64_t>(message_id), response, body);
  if (header + body > sizeof out) return;
  ldap_encode_result(out + header, code, "", message);
  ldap_encode_message_header(out, static_cast<uint64_t>(message_id), response, body);
  if (write(w, out, header + body) < 0) {
    // A client that has gone away is noticed by the next read.
  }
}

// Whether the server acts on a control of this type for this operation:
// simple paged results on a search. A critical control of any other kind
// is refused, a non-critical one ignored.
bool control_supported(uint64_t op, counted_str type) {
  static constexpr char kPagedResults[] = "1.2.840.113556.1.4.319";
  return op == ldap_search_request && type.len == sizeof kPagedResults - 1 &&
         compare_bytes(type.bytes, type.len, kPagedResults) == 0;
}

// The request's controls (RFC 4511 4.1.11): false, with the answer sent,
// when they do not decode (protocolError) or one marked critical is not
// one the server acts on for this operation (unavailableCriticalExtension),
// so the operation is not performed. Unbind and abandon have no answer and
// their controls are not looked at.
bool controls_acceptable(int w, int64_t message_id, uint64_t op, const char* controls,
                         const char* end) {
  const uint64_t response = response_of(op);
  if (response == 0) return true;
  ldap_control list[ldap_max_controls];
  const int64_t n = ldap_decode_controls(controls, end, list);
  if (n < 0) {
    answer_result(w, message_id, response, ldap_protocol_error, "malformed controls");
    return false;
  }
  for (int64_t i = 0; i < n; ++i) {
    if (list[i].critical != 0 && !control_supported(op, list[i].type)) {
      answer_result(w, message_id, response, ldap_unavailable_critical_extension,
                    "critical control not supported");
      return false;
    }
  }
  return true;
}

// Handles one decoded message; false when the connection must end.
bool dispatch(int w, int64_t message_id, uint64_t op, const char* contents, uint64_t len,
              const char* end) {
  if (!controls_acceptable(w, message_id, op, contents + len, end)) return true;
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
