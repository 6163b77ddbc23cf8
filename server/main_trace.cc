// ferrowyn_trace: the directory server serving one connection at a time in
// one process, with a trace of every request on standard error. Readable
// standard input (or its end) stops it at the next accepted connection.
#include <poll.h>

#include "core/diag.h"
#include "journal/journal_store.h"
#include "server/bind.h"
#include "server/connection.h"
#include "server/startup.h"

int main(int argc, char** argv) {
  trace_enabled = true;
  int listener = server_start(argc, argv);
  for (;;) {
    int conn = accept_connection(listener);
    change_check();
    refresh_bound_identity();
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, 1) == 1) return 0;
    serve_connection(conn, conn);
  }
}
