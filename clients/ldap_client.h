// What the network clients (peekwell, snipwort) share: the port they talk
// to, the messageID counter, and the connection with its anonymous bind.
//
// The clients speak LDAP over IPv4 TCP. Every failure here is reported on
// std_err with its fixed text and ends the process, so callers only see
// success.
#ifndef FERROWYN_CLIENTS_LDAP_CLIENT_H_
#define FERROWYN_CLIENTS_LDAP_CLIENT_H_

#include <cstdint>

constexpr uint16_t default_client_port = 389;

// Receive area for the BindResponse: the whole reply must arrive in one read.
constexpr uint64_t bind_reply_capacity = 1024;

// The messageID of the next request: 1 at start; after the bind it holds
// the BindResponse's messageID, and each later request adds 1 first.
extern uint64_t message_counter;

// The port to connect to: the environment variable PORT when it is a
// decimal number from 1 to 65535 and nothing else, otherwise 389.
uint16_t client_port();

// Reads a dotted-quad IPv4 address that makes up the whole text; 1 with the
// four bytes in out, else 0.
int scan_whole_ipv4(const char* text, uint8_t out[4]);

// Opens an IPv4 TCP socket and connects it to ip on client_port(). Returns
// the socket, or -1 when either step fails (the socket is then closed).
// SIGPIPE is ignored from here on: a server that goes away makes the next
// write fail instead of killing the client before it can say what happened.
int ldap_connect(const uint8_t ip[4]);

// Sends an anonymous simple BindRequest (version 3, empty name and password)
// with messageID message_counter in one write, reads the reply with one read
// of at most bind_reply_capacity bytes and stores its messageID in
// message_counter. 0 when the reply is a BindResponse whose resultCode is 0;
// -1 otherwise (nothing is printed). Only the bytes read are decoded.
int ldap_anonymous_bind(int sock);

// ldap_connect then ldap_anonymous_bind. Returns the bound socket. A failed
// connection prints "could not connect to ldap server!\n" and exits 1; a
// failed bind prints "ldapbind failed\n" and exits 2.
int connect_and_bind(const uint8_t ip[4]);

// The complete LDAPMessage at the front of [start, end): 1 with its
// messageID, protocolOp and the protocolOp's contents in [*contents,
// *contents_end), bounded by the message's own end; 0 when the bytes do not
// hold one whole message that decodes.
int ldap_client_decode_message(const char* start, const char* end, int64_t* message_id,
                               uint64_t* op, const char** contents, const char** contents_end);

#endif  // FERROWYN_CLIENTS_LDAP_CLIENT_H_
