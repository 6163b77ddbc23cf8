// ferrowyn: the production directory server. Every connection is served by
// a child process of its own, so a slow or idle client never holds up
// another; the parent only accepts, brings its view of the data file and
// the journal up to date, forks and reaps. Nothing is traced.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "server/bind.h"
#include "server/connection.h"
#include "server/startup.h"

int main(int argc, char** argv) {
  int listener = server_start(argc, argv);
  for (;;) {
    // Children that ended since the last connection; their statuses do
    // not matter to the parent.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    int conn = accept_connection(listener);
    // Checked in the parent, so that every child starts from the current
    // data file and journal, and the next check has little to read.
    change_check();
    pid_t child = fork();
    if (child == 0) {
      close(listener);
      serve_connection(conn, conn);
      exit(0);
    }
    if (child < 0) {
      buf_put_flush(&std_err, "fork failed!\n", 13);
      exit(1);
    }
    close(conn);
  }
}
