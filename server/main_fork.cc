// ferrowyn: the production directory server. Every connection is served by
// a child process of its own, so a slow or idle client never holds up
// another; the parent only accepts, brings its view of the data file and
// the journal up to date, forks and reaps. Nothing is traced.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "server/connection.h"
#include "server/startup.h"

namespace {

// Children that ended since the last look; their statuses do not matter
// to the parent.
void reap_children() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// fork, tried again for a while when there are no processes or no memory
// to be had: ended children still waiting to be reaped count against the
// process limit, and running ones may end meanwhile.
pid_t fork_child() {
  constexpr int kAttempts = 10;
  for (int attempt = 1;; ++attempt) {
    const pid_t child = fork();
    if (child >= 0 || attempt == kAttempts) return child;
    reap_children();
    timespec pause{0, 50'000'000L};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int listener = server_start(argc, argv);
  for (;;) {
    reap_children();
    int conn = accept_connection(listener);
    // Checked in the parent, so that every child starts from the current
    // data file and journal, and the next check has little to read.
    change_check();
    const pid_t child = fork_child();
    if (child == 0) {
      close(listener);
      serve_connection(conn, conn);
      // The process ends here: what it would run at exit (handlers, the
      // teardown of the libraries) only touches pages to no purpose.
      // Sanitizer builds do run it, since the leak check lives there.
      buf_flush(&std_out);
      buf_flush(&std_err);
#if defined(__SANITIZE_ADDRESS__)
      exit(0);
#else
      _exit(0);
#endif
    }
    // Out of processes for good: this client is turned away, but the
    // server goes on serving the next ones.
    if (child < 0) buf_put_flush(&std_err, "fork failed!\n", 13);
    close(conn);
  }
}
