// bindemit: writes one anonymous simple BindRequest (version 3, messageID 1,
// empty name and password) to standard output, for feeding a server by hand:
//   bindemit | nc 127.0.0.1 389 | od -An -tx1
#include <unistd.h>

#include "codec/ldap_message.h"

int main() {
  // The contents are encoded first; the envelope header then goes right in
  // front of them so the message is contiguous.
  char work[64];
  char* contents = work + 32;
  int64_t len = ldap_encode_bind_request(contents, 3, "", "");
  uint64_t header = ldap_encode_message_header(nullptr, 1, ldap_bind_request,
                                               static_cast<uint64_t>(len));
  char* message = contents - header;
  ldap_encode_message_header(message, 1, ldap_bind_request, static_cast<uint64_t>(len));
  if (write(1, message, header + static_cast<uint64_t>(len)) < 0) {
    // Nothing is reported: the output is the only channel.
  }
  return 0;
}
