// snipwort: deletes one entry from a directory server and reports the
// answer, all on standard error:
//   snipwort 127.0.0.1 uid=bob,ou=people,dc=example,dc=com
// The DN is sent byte for byte as given; the bind is anonymous, so the
// server's ACLs must grant delete to everyone for it to succeed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "clients/ldap_client.h"
#include "codec/ldap_message.h"
#include "codec/update.h"
#include "core/bytes.h"
#include "core/out_buffer.h"

namespace {

// The DelResponse must arrive in one read of at most this many bytes.
constexpr uint64_t delete_reply_capacity = 32768;

// Room in front of the contents for the largest envelope header.
constexpr uint64_t max_envelope_header = 40;

void say(const char* text) { buf_put_flush(&std_err, text, cstr_length(text)); }

[[noreturn]] void finish(int sock, const char* message) {
  say(message);
  close(sock);
  exit(0);
}

// A hostile server may send a negative resultCode; it is printed as the
// signed number it is.
void put_code(int64_t code) {
  if (code < 0) {
    buf_put_str(&std_err, "-");
    buf_put_decimal(&std_err, 0 - static_cast<uint64_t>(code));
  } else {
    buf_put_decimal(&std_err, static_cast<uint64_t>(code));
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint8_t ip[4];
  if (argc < 3 || scan_whole_ipv4(argv[1], ip) == 0) {
    say("usage: snipwort ip dn\n");
    return 0;
  }
  const int sock = connect_and_bind(ip);

  ++message_counter;
  const counted_str dn = {cstr_length(argv[2]), argv[2]};
  const uint64_t op_len = ldap_encode_del_request(nullptr, dn);
  char* work = static_cast<char*>(malloc(max_envelope_header + op_len));
  if (work == nullptr) {
    say("out of memory.\n");
    exit(1);
  }
  char* contents = work + max_envelope_header;
  ldap_encode_del_request(contents, dn);
  const uint64_t header =
      ldap_encode_message_header(nullptr, message_counter, ldap_del_request, op_len);
  char* message = contents - header;
  ldap_encode_message_header(message, message_counter, ldap_del_request, op_len);
  if (write(sock, message, header + op_len) < 0) {
    // Not looked at: a request that did not leave shows as a read error.
  }
  free(work);
  // Nothing more will be sent; the server sees the end of the stream after
  // the request.
  shutdown(sock, SHUT_WR);

  static char reply[delete_reply_capacity];
  const int64_t got = read_retry(sys_read, sock, reply, sizeof reply, nullptr);
  if (got <= 0) {
    say("read error.\n");
    exit(2);
  }

  // Only the bytes read are decoded, each part within its own message.
  int64_t id;
  uint64_t op;
  const char* body;
  const char* body_end;
  if (ldap_client_decode_message(reply, reply + got, &id, &op, &body, &body_end) == 0)
    finish(sock, "failed to parse ldap message.\n");
  if (op != ldap_del_response) finish(sock, "unexpected response.\n");
  int64_t code;
  counted_str matched, text, referral;
  if (ldap_decode_result_full(body, body_end, &code, &matched, &text, &referral) == 0)
    finish(sock, "failed to parse result message.\n");
  if (code == 0) finish(sock, "ok\n");

  // A non-empty error message ends the first line; the "." then stands on
  // a line of its own.
  buf_put_str(&std_err, "fail, code ");
  put_code(code);
  if (text.len != 0) {
    buf_put_str(&std_err, ", error message \"");
    buf_put(&std_err, text.bytes, text.len);
    buf_put_str(&std_err, "\n");
  }
  finish(sock, ".\n");
}
