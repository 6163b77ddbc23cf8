// What end-to-end tests read about the server's processes from /proc: its
// children (and the exit status of those that wait to be reaped), its open
// descriptors and its memory.
#ifndef FERROWYN_TESTS_PROCESSES_H_
#define FERROWYN_TESTS_PROCESSES_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace procs {

struct proc_entry {
  pid_t pid = 0;
  char state = '?';    // 'Z' for a child that ended and waits to be reaped
  pid_t ppid = 0;
  uint64_t start = 0;  // start time in clock ticks: tells a reused pid apart
  int exit_code = 0;   // as waitpid would report it (zombies only)
  std::string comm;
};

// /proc/<pid>/stat; false when the process is gone or the line is short.
bool read_proc(pid_t pid, proc_entry* out);
std::vector<proc_entry> children_of(pid_t parent);
// A child that has not ended.
bool has_running_child(pid_t parent);
// Waits until every child of parent has ended (zombies count as ended).
bool wait_children_ended(pid_t parent, int timeout_ms);

int descriptor_count(pid_t pid);
// A "Name:   N kB" line of /proc/<pid>/status, in KiB; -1 when missing.
long status_kib(pid_t pid, const std::string& name);

struct footprint {
  int fds;
  long rss_kib;
  long size_kib;
};
footprint footprint_of(pid_t pid);

}  // namespace procs

#endif  // FERROWYN_TESTS_PROCESSES_H_
