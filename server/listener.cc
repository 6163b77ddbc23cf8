#include "server/listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

bool ipv4_only = false;
const uint8_t any_address[16] = {};
const uint8_t ipv4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int open_tcp_socket() {
  if (!ipv4_only) {
    int s = socket(AF_INET6, SOCK_STREAM, 0);
    if (s >= 0) {
      int off = 0;
      setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      return s;
    }
    if (errno != EINVAL && errno != EAFNOSUPPORT && errno != EPFNOSUPPORT &&
        errno != EPROTONOSUPPORT)
      return -1;
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ipv4_only = true;
  return s;
}

int bind_reuse(int sock, const uint8_t* address, uint16_t port, uint32_t scope_id) {
  // SO_REUSEADDR lets a restarted server bind while connections of the old
  // one linger in TIME_WAIT, and still refuses a port that another socket
  // listens on. SO_REUSEPORT is left off on purpose: with it a second
  // server on the same port starts without an error and the system splits
  // the connections between the two.
  int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  return bind_address(sock, address, port, scope_id);
}

int bind_address(int sock, const uint8_t* address, uint16_t port, uint32_t scope_id) {
  if (address == nullptr) address = any_address;
  if (ipv4_only && (memcmp(address, any_address, 16) == 0 ||
                    memcmp(address, ipv4_mapped_prefix, 12) == 0))
    return bind_ipv4(sock, address + 12, port);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  memcpy(&sa.sin6_addr, address, 16);
  sa.sin6_scope_id = scope_id;
  sa.sin6_flowinfo = 0;
  return bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int bind_ipv4(int sock, const uint8_t* address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (address != nullptr) memcpy(&sa.sin_addr, address, 4);
  return bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int accept_peer(int sock, uint8_t* address, uint16_t* port, uint32_t* scope_id) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int c = accept(sock, reinterpret_cast<sockaddr*>(&ss), &len);
  if (c < 0) return -1;
  if (ipv4_only || ss.ss_family == AF_INET) {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    if (address != nullptr) {
      memcpy(address, ipv4_mapped_prefix, 12);
      memcpy(address + 12, &sa->sin_addr, 4);
    }
    if (port != nullptr) *port = ntohs(sa->sin_port);
  } else {
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (address != nullptr) memcpy(address, &sa->sin6_addr, 16);
    if (port != nullptr) *port = ntohs(sa->sin6_port);
    if (scope_id != nullptr) *scope_id = sa->sin6_scope_id;
  }
  return c;
}
