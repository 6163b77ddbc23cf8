// peekwell: asks a directory server for the entries below baseObject whose
// Attrib begins with Prefix (requesting only "mail") and prints the first
// one it gets back:
//   peekwell 127.0.0.1 dc=example,dc=com cn Ali
// With a fifth argument the encoded SearchRequest is written to that file
// instead of being sent: ready-made request bytes for feeding a server by
// hand.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "clients/ldap_client.h"
#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "codec/search.h"
#include "core/bytes.h"
#include "core/out_buffer.h"

namespace {

// The search reply's first message must be complete within this many bytes.
constexpr uint64_t search_reply_capacity = 8192;

// Room in front of the contents for the largest envelope header.
constexpr uint64_t max_envelope_header = 40;

[[noreturn]] void finish(out_buffer* b, const char* message, int status) {
  buf_put_flush(b, message, cstr_length(message));
  exit(status);
}

counted_str arg_str(const char* text) { return {cstr_length(text), text}; }

void print_entry(const search_entry& e) {
  buf_put_str(&std_out, "objectName \"");
  buf_put(&std_out, e.objectName.bytes, e.objectName.len);
  buf_put_str(&std_out, "\"\n");
  for (const partial_attribute* a = e.attributes; a; a = a->next) {
    buf_put_str(&std_out, "  ");
    buf_put(&std_out, a->type.bytes, a->type.len);
    buf_put_str(&std_out, ":");
    // The decoder lists values in reverse message order; that is the order
    // printed.
    for (const string_node* v = a->vals; v; v = v->next) {
      buf_put(&std_out, v->str.bytes, v->str.len);
      if (v->next) buf_put_str(&std_out, ", ");
    }
    buf_put_flush(&std_out, "\n", 1);
  }
  buf_flush(&std_out);
}

}  // namespace

int main(int argc, char** argv) {
  uint8_t ip[4];
  if (argc < 5 || scan_whole_ipv4(argv[1], ip) == 0)
    finish(&std_err, "usage: peekwell ip baseObject Attrib Prefix\n", 0);
  const char* file = argc > 5 ? argv[5] : nullptr;

  int sock = ldap_connect(ip);
  if (file == nullptr) {
    if (sock < 0) finish(&std_err, "could not connect to ldap server!\n", 1);
    if (ldap_anonymous_bind(sock) != 0) finish(&std_err, "ldapbind failed\n", 2);
  }

  // (Attrib=Prefix*), wholeSubtree below baseObject, "mail" only.
  filter_substring initial = {substring_initial, arg_str(argv[4]), nullptr};
  Filter filter = {};
  filter.choice = filter_substrings;
  filter.attribute = arg_str(argv[3]);
  filter.substrings = &initial;
  string_node mail = {{4, "mail"}, 0, nullptr};
  search_request request = {};
  request.baseObject = arg_str(argv[2]);
  request.scope = scope_whole_subtree;
  request.derefAliases = 0;
  request.sizeLimit = 0;
  request.timeLimit = 0;
  request.typesOnly = 0;
  request.filter = &filter;
  request.attributes = &mail;

  ++message_counter;
  // The arguments may be long, so the message is sized by a counting pass;
  // the envelope header then goes right in front of the contents.
  const uint64_t op_len = ldap_encode_search_request(nullptr, &request);
  char* work = static_cast<char*>(malloc(max_envelope_header + op_len));
  if (work == nullptr) finish(&std_err, "out of memory.\n", 1);
  char* contents = work + max_envelope_header;
  ldap_encode_search_request(contents, &request);
  const uint64_t header =
      ldap_encode_message_header(nullptr, message_counter, ldap_search_request, op_len);
  char* message = contents - header;
  ldap_encode_message_header(message, message_counter, ldap_search_request, op_len);
  const uint64_t total = header + op_len;

  if (file != nullptr) {
    // Neither the connection nor these calls are judged: the file is a
    // convenience, and the request bytes are the same either way.
    puts("writing file");
    const int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
    if (write(fd, message, total) < 0) {
      // Not looked at.
    }
    close(fd);
    free(work);
    return 0;
  }

  if (write(sock, message, total) < 0) {
    // Not looked at: a lost request shows as a read error below.
  }
  free(work);

  // Read until the first message is complete. Only the bytes read are
  // decoded; a full area without a whole message is a read error too.
  static char reply[search_reply_capacity];
  uint64_t got = 0;
  int64_t id;
  uint64_t op;
  const char* body;
  const char* body_end;
  for (;;) {
    if (got == sizeof reply) finish(&std_err, "read error.\n", 0);
    const int64_t r = read_retry(sys_read, sock, reply + got, sizeof reply - got, nullptr);
    if (r <= 0) finish(&std_err, "read error.\n", 0);
    got += static_cast<uint64_t>(r);
    if (ldap_client_decode_message(reply, reply + got, &id, &op, &body, &body_end) != 0) break;
  }

  if (op == ldap_search_result_entry) {
    search_entry entry;
    if (ldap_decode_search_entry(body, body_end, &entry) == 0) finish(&std_out, "punt!\n", 0);
    print_entry(entry);
    free_partial_attributes(entry.attributes);
    return 0;
  }
  if (op == ldap_search_result_done) finish(&std_err, "no matches.\n", 0);
  finish(&std_err, "unexpected response.\n", 0);
}
