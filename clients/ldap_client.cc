#include "clients/ldap_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "codec/ldap_message.h"
#include "core/bytes.h"
#include "core/number_text.h"
#include "core/out_buffer.h"

uint64_t message_counter = 1;

namespace {

[[noreturn]] void fail(const char* message, int status) {
  buf_put_flush(&std_err, message, cstr_length(message));
  exit(status);
}

}  // namespace

uint16_t client_port() {
  const char* text = getenv("PORT");
  if (text == nullptr) return default_client_port;
  uint64_t value = 0;
  const uint64_t n = scan_decimal(text, &value);
  if (n == 0 || text[n] != '\0' || value < 1 || value > 65535) return default_client_port;
  return static_cast<uint16_t>(value);
}

int scan_whole_ipv4(const char* text, uint8_t out[4]) {
  const uint64_t n = scan_ipv4(text, out);
  return n != 0 && text[n] == '\0' ? 1 : 0;
}

int ldap_connect(const uint8_t ip[4]) {
  (void)signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number
  const int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock < 0) return -1;
  sockaddr_in address;
  clear_bytes(&address, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(client_port());
  copy_bytes(&address.sin_addr, 4, ip);
  if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

int ldap_client_decode_message(const char* start, const char* end, int64_t* message_id,
                               uint64_t* op, const char** contents, const char** contents_end) {
  // The message's own size bounds everything decoded from it: a reply whose
  // inner lengths run past its SEQUENCE must not borrow bytes that follow.
  uint64_t size = 0;
  if (ldap_message_size(start, end, &size) != 1 || size > static_cast<uint64_t>(end - start))
    return 0;
  const char* message_end = start + size;
  uint64_t op_len = 0;
  const uint64_t header = ldap_decode_message(start, message_end, message_id, op, &op_len);
  if (header == 0) return 0;
  // ldap_decode_message has checked that op_len bytes follow the header
  // within message_end.
  *contents = start + header;
  *contents_end = start + header + op_len;
  return 1;
}

int ldap_anonymous_bind(int sock) {
  // The contents go behind room for the largest envelope header (SEQUENCE,
  // a 64-bit messageID and the protocolOp header), which is then written
  // right in front of them so the message is contiguous.
  char work[64];
  char* contents = work + 40;
  const int64_t len = ldap_encode_bind_request(contents, 3, "", "");
  if (len < 0) return -1;
  const uint64_t op_len = static_cast<uint64_t>(len);
  const uint64_t header =
      ldap_encode_message_header(nullptr, message_counter, ldap_bind_request, op_len);
  char* message = contents - header;
  ldap_encode_message_header(message, message_counter, ldap_bind_request, op_len);
  const uint64_t total = header + op_len;
  const ssize_t written = write(sock, message, total);
  if (written < 0 || static_cast<uint64_t>(written) < total) return -1;

  char reply[bind_reply_capacity];
  const int64_t got = read_retry(sys_read, sock, reply, sizeof reply, nullptr);
  if (got <= 0) return -1;
  int64_t id = 0;
  uint64_t op = 0;
  const char* body;
  const char* body_end;
  if (ldap_client_decode_message(reply, reply + got, &id, &op, &body, &body_end) == 0) return -1;
  message_counter = static_cast<uint64_t>(id);
  if (op != ldap_bind_response) return -1;
  int64_t code = -1;
  counted_str matched, text, referral;
  if (ldap_decode_result(body, body_end, &code, &matched, &text, &referral) == 0) return -1;
  return code == 0 ? 0 : -1;
}

int connect_and_bind(const uint8_t ip[4]) {
  const int sock = ldap_connect(ip);
  if (sock < 0) fail("could not connect to ldap server!\n", 1);
  if (ldap_anonymous_bind(sock) != 0) fail("ldapbind failed\n", 2);
  return sock;
}
