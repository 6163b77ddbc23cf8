#include "server/startup.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>

#include "core/bytes.h"
#include "core/diag.h"
#include "core/number_text.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/acl.h"
#include "server/listener.h"
#include "store/data_file.h"

namespace {

[[noreturn]] void fail(const char* message) {
  buf_put_flush(&std_err, message, cstr_length(message));
  exit(1);
}

}  // namespace

uint16_t listen_port() {
  const char* text = getenv("PORT");
  if (text == nullptr) return default_ldap_port;
  uint64_t value = 0;
  uint64_t n = scan_decimal(text, &value);
  if (n == 0 || text[n] != '\0' || value < 1 || value > 65535) return default_ldap_port;
  return static_cast<uint16_t>(value);
}

int server_start(int argc, char** argv) {
  set_program_name("ferrowyn");
  (void)signal(SIGPIPE, SIG_IGN);
  // A journal append beyond a file-size limit then fails with EFBIG, is
  // taken back and answered operationsError, instead of killing the child.
  (void)signal(SIGXFSZ, SIG_IGN);

  // Options come before the data file's path.
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] != '\0'; ++arg) {
    if (compare_text(argv[arg], "--no-sync") == 0) {
      journal_durable = false;
    } else if (compare_text(argv[arg], "--") == 0) {
      ++arg;
      break;
    } else {
      fail("usage: ferrowyn [--no-sync] [DATAFILE]\n");
    }
  }

  // The data file is loaded before the socket is opened: a server that
  // cannot answer from its data must not accept connections at all.
  data_file_acl_loader = load_acl_block;
  load_data_file(arg < argc ? argv[arg] : default_data_path);
  load_journal();

  int sock = open_tcp_socket();
  if (sock < 0) fail("socket failed!\n");

  // A value that is not a whole address (trailing text, a host name) means
  // any address, as does an unset IP.
  uint8_t address[16] = {};
  if (const char* ip = getenv("IP"); ip != nullptr) {
    uint64_t n = scan_ipv6(ip, address);
    if (ip[n] != '\0') {
      for (uint8_t& b : address) b = 0;
    }
  }
  const uint16_t port = listen_port();
  if (bind_reuse(sock, address, port, 0) != 0) {
    // "bind failed!" alone does not tell a port that another server holds
    // from one that needs root or an address this host does not have.
    const char* reason = strerror(errno);
    buf_put_str(&std_err, "cannot listen on port ");
    buf_put_decimal(&std_err, port);
    buf_put_strs(&std_err, ": ", reason, "\n", nullptr);
    fail("bind failed!\n");
  }
  // As long a queue as the system allows (net.core.somaxconn): with a
  // short one, a burst of connections overflows it, and clients whose
  // handshake the kernel completed with a SYN cookie can be lost for good.
  if (listen(sock, SOMAXCONN) != 0) fail("listen failed!\n");
  return sock;
}

void set_no_delay(int sock) {
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int accept_connection(int listener) {
  for (;;) {
    int conn = accept_peer(listener, nullptr, nullptr, nullptr);
    if (conn >= 0) {
      set_no_delay(conn);
      return conn;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case ENETDOWN:
      case ENOPROTOOPT:
      case EHOSTDOWN:
      case ENONET:
      case EHOSTUNREACH:
      case EOPNOTSUPP:
      case ENETUNREACH:
        continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM: {
        // The connection stays queued; give running children time to end
        // and free what they hold instead of spinning on the same error.
        timespec pause{0, 10'000'000L};
        nanosleep(&pause, nullptr);
        continue;
      }
      default:
        fail("accept failed!\n");
    }
  }
}
