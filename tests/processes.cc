#include "tests/processes.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "tests/harness.h"

namespace procs {

bool read_proc(pid_t pid, proc_entry* out) {
  const std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
  // The command name is in parentheses and may hold anything.
  const size_t open_paren = stat.find('(');
  const size_t close_paren = stat.rfind(')');
  if (open_paren == std::string::npos || close_paren == std::string::npos) return false;
  std::vector<std::string> fields;
  for (size_t at = close_paren + 2; at < stat.size();) {
    size_t space = stat.find_first_of(" \n", at);
    if (space == std::string::npos) space = stat.size();
    fields.push_back(stat.substr(at, space - at));
    at = space + 1;
  }
  if (fields.size() < 20) return false;
  out->pid = pid;
  out->comm = stat.substr(open_paren + 1, close_paren - open_paren - 1);
  out->state = fields[0].empty() ? '?' : fields[0][0];
  out->ppid = std::atoi(fields[1].c_str());
  out->start = std::strtoull(fields[19].c_str(), nullptr, 10);
  out->exit_code = std::atoi(fields.back().c_str());
  return true;
}

std::vector<proc_entry> children_of(pid_t parent) {
  std::vector<proc_entry> out;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return out;
  while (dirent* d = readdir(proc)) {
    if (d->d_name[0] < '1' || d->d_name[0] > '9') continue;
    proc_entry e;
    if (read_proc(std::atoi(d->d_name), &e) && e.ppid == parent) out.push_back(e);
  }
  closedir(proc);
  return out;
}

bool has_running_child(pid_t parent) {
  for (const proc_entry& e : children_of(parent))
    if (e.state != 'Z' && e.state != 'X') return true;
  return false;
}

bool wait_children_ended(pid_t parent, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (has_running_child(parent)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(5000);
  }
  return true;
}

int descriptor_count(pid_t pid) {
  int n = 0;
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

long status_kib(pid_t pid, const std::string& name) {
  const std::string status = harness::read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return -1;
  return std::atol(status.c_str() + at + name.size() + 2);
}

footprint footprint_of(pid_t pid) {
  return {descriptor_count(pid), status_kib(pid, "VmRSS"), status_kib(pid, "VmSize")};
}

}  // namespace procs
