// ferrowyn_trace: the directory server serving one connection at a time in
// one process, with a trace of every request on standard error. Readable
// standard input (or its end) stops it at the next accepted connection.
#include <poll.h>

#include "core/diag.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "server/bind.h"
#include "server/connection.h"
#include "server/listener.h"
#include "server/startup.h"

#include <cstdlib>

int main(int argc, char** argv) {
  trace_enabled = true;
  int listener = server_start(argc, argv);
  for (;;) {
    uint8_t peer[16];
    uint16_t port;
    uint32_t scope_id;
    int conn = accept_peer(listener, peer, &port, &scope_id);
    if (conn < 0) {
      buf_put_flush(&std_err, "accept failed!\n", 15);
      exit(1);
    }
    set_no_delay(conn);
    change_check();
    refresh_bound_identity();
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, 1) == 1) return 0;
    serve_connection(conn, conn);
  }
}
