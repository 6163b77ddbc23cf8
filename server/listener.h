// The listening socket: a dual-stack IPv6 socket that also takes IPv4
// connections as IPv4-mapped addresses, falling back to a plain IPv4 socket
// where the system has no IPv6. Addresses are always carried as 16 bytes;
// an IPv4 address a.b.c.d is ::ffff:a.b.c.d. Ports are in host byte order.
#ifndef FERROWYN_SERVER_LISTENER_H_
#define FERROWYN_SERVER_LISTENER_H_

#include <cstdint>

// Set by open_tcp_socket when it had to fall back to IPv4.
extern bool ipv4_only;
extern const uint8_t any_address[16];
extern const uint8_t ipv4_mapped_prefix[12];

// A stream socket (IPv6 with IPV6_V6ONLY off, else IPv4), or -1.
int open_tcp_socket();
// SO_REUSEADDR (never SO_REUSEPORT, so a port another socket listens on
// fails with EADDRINUSE), then bind_address.
int bind_reuse(int sock, const uint8_t* address, uint16_t port, uint32_t scope_id);
// Binds to the 16-byte address (null: any). On an IPv4-only socket the
// unspecified and IPv4-mapped addresses bind as IPv4; others fail.
int bind_address(int sock, const uint8_t* address, uint16_t port, uint32_t scope_id);
int bind_ipv4(int sock, const uint8_t* address, uint16_t port);
// accept(2); the peer as a 16-byte address, port and scope id (each output
// may be null). Returns the connected socket or -1.
int accept_peer(int sock, uint8_t* address, uint16_t* port, uint32_t* scope_id);

#endif  // FERROWYN_SERVER_LISTENER_H_
