// ldapbench: an LDAP load generator for comparing directory servers on
// this machine.
//
//   ldapbench -p PORT -m MODE -N PEOPLE [-c WORKERS] [-t SECONDS] [-n OPS]
//             [-k KEYSFILE] [-b BASE] [-D DN -w PASSWORD] [-s SEED] [-T MS]
//
// It speaks raw LDAP over TCP to 127.0.0.1 only, with -c worker processes,
// against a directory that bench/gen_ldif.py made of PEOPLE people. Each
// operation picks a random person R and checks the answer:
//
//   eq    (uid=R) on a persistent connection, asking for cn and mail: exactly
//         R's entry with both attributes, then SearchResultDone success
//   bind  a simple bind as R with R's password on a persistent connection:
//         resultCode 0
//   sub   (cn=PREFIX*) with R's prefix from the keys file: R's entry among
//         the answers, then success
//   conn  connect, bind as R, (uid=R), unbind, wait for the server to close
//   scan  (telephoneNumber=PHONE) with R's number from the keys file, an
//         unindexed attribute: R's entry among the answers, then success
//   mod   a modify that replaces R's description, on a persistent
//         connection bound as -D/-w: resultCode 0
//   ready repeat (uid=user0) on new connections until one is answered (or
//         -t seconds pass); prints the time that took
//
// A run ends after -t seconds or -n operations in all, whichever comes
// first. Workers connect (and bind, for mod) before the clock starts,
// record every successful operation's latency, and send them through a
// pipe to the parent, which prints one line:
//
//   ldapbench mode=eq conc=4 ops=81234 errors=0 secs=5.001 ops_per_sec=16243.6
//     p50_us=231 p90_us=402 p99_us=911 max_us=5120 entries_per_op=1.000
//
// (on one line). Exit status: 0 when every operation succeeded, 1 when
// some failed (the line still printed), 2 for a bad command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ldapbench_proto.h"
#include "codec/ldap_message.h"

namespace {

enum class mode { eq, bind, sub, conn, scan, mod, ready };

struct options {
  mode m = mode::eq;
  const char* mode_name = "eq";
  uint16_t port = 0;
  uint64_t workers = 1;
  double seconds = 5;
  uint64_t max_ops = 100'000'000;
  uint64_t people = 0;
  std::string base = "ou=people,dc=example,dc=com";
  std::string keys_path;
  std::string bind_dn = "cn=admin,dc=example,dc=com";
  std::string bind_password = "admin";
  uint64_t seed = 1;
  int timeout_ms = 30'000;
};

options opt;
std::vector<bench_key> keys;

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// splitmix64: small, fast and good enough to spread requests.
struct rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

[[noreturn]] void usage(const char* why) {
  (void)std::fprintf(stderr, "ldapbench: %s\n", why);
  (void)std::fprintf(
      stderr,
      "usage: ldapbench -p PORT -m eq|bind|sub|conn|scan|mod|ready -N PEOPLE\n"
      "                 [-c WORKERS] [-t SECONDS] [-n OPS] [-k KEYSFILE] [-b BASE]\n"
      "                 [-D DN] [-w PASSWORD] [-s SEED] [-T TIMEOUT_MS] [-h 127.0.0.1]\n");
  std::exit(2);
}

uint64_t number(const char* s, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || s[0] == '-') usage(what);
  return v;
}

void parse_options(int argc, char** argv) {
  int c;
  while ((c = getopt(argc, argv, "p:m:c:t:n:N:k:b:D:w:s:T:h:")) != -1) {
    switch (c) {
      case 'p': {
        const uint64_t p = number(optarg, "bad port");
        if (p == 0 || p > 65535) usage("bad port");
        opt.port = static_cast<uint16_t>(p);
        break;
      }
      case 'm': {
        static constexpr struct {
          const char* name;
          mode m;
        } names[] = {{"eq", mode::eq},     {"bind", mode::bind}, {"sub", mode::sub},
                     {"conn", mode::conn}, {"scan", mode::scan}, {"mod", mode::mod},
                     {"ready", mode::ready}};
        bool found = false;
        for (const auto& n : names) {
          if (std::strcmp(optarg, n.name) == 0) {
            opt.m = n.m;
            opt.mode_name = n.name;
            found = true;
          }
        }
        if (!found) usage("unknown mode");
        break;
      }
      case 'c':
        opt.workers = number(optarg, "bad worker count");
        if (opt.workers == 0 || opt.workers > 256) usage("worker count must be 1 to 256");
        break;
      case 't': {
        char* end = nullptr;
        opt.seconds = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(opt.seconds > 0) || opt.seconds > 86400)
          usage("bad duration");
        break;
      }
      case 'n':
        opt.max_ops = number(optarg, "bad operation count");
        if (opt.max_ops == 0) usage("bad operation count");
        break;
      case 'N':
        opt.people = number(optarg, "bad number of people");
        break;
      case 'k': opt.keys_path = optarg; break;
      case 'b': opt.base = optarg; break;
      case 'D': opt.bind_dn = optarg; break;
      case 'w': opt.bind_password = optarg; break;
      case 's': opt.seed = number(optarg, "bad seed"); break;
      case 'T': {
        const uint64_t t = number(optarg, "bad timeout");
        if (t == 0 || t > 3'600'000) usage("bad timeout");
        opt.timeout_ms = static_cast<int>(t);
        break;
      }
      case 'h':
        // Load goes to this machine's loopback address and nowhere else.
        if (std::strcmp(optarg, "127.0.0.1") != 0) usage("only 127.0.0.1 is allowed");
        break;
      default: usage("bad option");
    }
  }
  if (optind != argc) usage("unexpected argument");
  if (opt.port == 0) usage("-p PORT is required");
  if (opt.people == 0) usage("-N PEOPLE is required");
  if ((opt.m == mode::sub || opt.m == mode::scan) && opt.keys_path.empty())
    usage("modes sub and scan need -k KEYSFILE");
}

bool load_keys() {
  const int fd = open(opt.keys_path.c_str(), O_RDONLY);
  if (fd < 0) {
    (void)std::fprintf(stderr, "ldapbench: %s: %s\n", opt.keys_path.c_str(), std::strerror(errno));
    return false;
  }
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      (void)std::fprintf(stderr, "ldapbench: %s: %s\n", opt.keys_path.c_str(),
                         std::strerror(errno));
      close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  std::string error;
  if (!parse_keys(text, &keys, &error)) {
    (void)std::fprintf(stderr, "ldapbench: %s: %s\n", opt.keys_path.c_str(), error.c_str());
    return false;
  }
  if (keys.size() < opt.people) {
    (void)std::fprintf(stderr, "ldapbench: %s: %zu people, -N says %llu\n", opt.keys_path.c_str(),
                       keys.size(), static_cast<unsigned long long>(opt.people));
    return false;
  }
  return true;
}

// ---- One connection ---------------------------------------------------------

struct connection {
  int fd = -1;
  int64_t next_id = 1;
  message_stream in;
};

void disconnect(connection* c) {
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->in.start = c->in.fill = 0;
}

bool connect_to_server(connection* c) {
  disconnect(c);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(opt.port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return false;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c->fd = fd;
  c->next_id = 1;
  c->in.start = c->in.fill = 0;
  return true;
}

bool send_all(connection* c, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(c->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Waits up to the time-out for the fd to become readable: 1 readable, 0 not.
int wait_readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int r = poll(&p, 1, opt.timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 ? 1 : 0;
  }
}

// The next whole message: 1, or 0 at the end of the stream, -1 on an error,
// a time-out or bytes that are no LDAPMessage.
int receive(connection* c, bench_message* m) {
  for (;;) {
    const int got = message_stream_next(&c->in, m);
    if (got != 0) return got;
    if (!wait_readable(c->fd)) return -1;
    uint64_t room = 0;
    char* at = message_stream_space(&c->in, 16384, &room);
    const ssize_t n = read(c->fd, at, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    message_stream_received(&c->in, static_cast<uint64_t>(n));
  }
}

// Sends a request and reads its one LDAPResult answer of the given
// protocolOp: the resultCode, or -1.
int64_t simple_exchange(connection* c, const std::string& request, int64_t id,
                        uint64_t response_op) {
  if (!send_all(c, request)) return -1;
  bench_message m;
  if (receive(c, &m) != 1 || m.id != id || m.op != response_op) return -1;
  return bench_result_code(m);
}

std::string person_dn(uint64_t r) { return "uid=" + bench_uid(r, opt.people) + "," + opt.base; }

const std::vector<std::string> eq_attributes = {"cn", "mail"};
const std::vector<std::string> cn_attribute = {"cn"};

// Sends a search and reads every answer up to the SearchResultDone. The
// answer passes when want_dn is among the entries (or, with exactly_one,
// is the only entry), every entry carries all of want_attrs, and the
// result is success. *entries counts the entries.
bool search_exchange(connection* c, const std::string& request, int64_t id,
                     std::string_view want_dn, const std::vector<std::string>& want_attrs,
                     bool exactly_one, uint64_t* entries) {
  if (!send_all(c, request)) return false;
  uint64_t count = 0;
  bool seen = false;
  bool good = true;
  for (;;) {
    bench_message m;
    if (receive(c, &m) != 1 || m.id != id) return false;
    if (m.op == ldap_search_result_entry) {
      ++count;
      bool dn_matches = false;
      uint64_t found = 0;
      if (!bench_check_entry(m, want_dn, want_attrs, &dn_matches, &found)) return false;
      if (dn_matches) seen = true;
      if (found != want_attrs.size()) good = false;
      continue;
    }
    if (m.op != ldap_search_result_done) return false;
    *entries = count;
    if (bench_result_code(m) != ldap_success) return false;
    return good && seen && (!exactly_one || count == 1);
  }
}

// ---- Workers ------------------------------------------------------------------

struct worker_report {
  uint64_t ops;
  uint64_t errors;
  uint64_t entries;
  uint64_t start_ns;
  uint64_t end_ns;
  uint64_t latencies;  // number of uint64_t nanosecond values that follow
};

struct worker {
  uint64_t index = 0;
  rng random{0};
  connection conn;
  uint64_t op_counter = 0;
};

bool persistent_mode() { return opt.m != mode::conn && opt.m != mode::ready; }

// Opens the persistent connection, bound as -D/-w for mod; not timed.
bool prepare(worker* w) {
  if (!connect_to_server(&w->conn)) return false;
  if (opt.m != mode::mod) return true;
  const int64_t id = w->conn.next_id++;
  if (simple_exchange(&w->conn, bench_bind_request(id, opt.bind_dn, opt.bind_password), id,
                      ldap_bind_response) == ldap_success)
    return true;
  disconnect(&w->conn);
  return false;
}

// One operation of the mode; true when its answer passed the checks.
bool one_operation(worker* w, uint64_t* entries) {
  connection* c = &w->conn;
  const uint64_t r = w->random.below(opt.people);
  const std::string uid = bench_uid(r, opt.people);
  const std::string dn = person_dn(r);
  *entries = 0;
  switch (opt.m) {
    case mode::eq: {
      const int64_t id = c->next_id++;
      return search_exchange(c, bench_equality_search(id, opt.base, "uid", uid, eq_attributes),
                             id, dn, eq_attributes, true, entries);
    }
    case mode::bind: {
      const int64_t id = c->next_id++;
      return simple_exchange(c, bench_bind_request(id, dn, "password" + std::to_string(r)), id,
                             ldap_bind_response) == ldap_success;
    }
    case mode::sub: {
      const int64_t id = c->next_id++;
      return search_exchange(
          c, bench_prefix_search(id, opt.base, "cn", keys[r].cn_prefix, cn_attribute), id, dn,
          cn_attribute, false, entries);
    }
    case mode::scan: {
      const int64_t id = c->next_id++;
      return search_exchange(
          c, bench_equality_search(id, opt.base, "telephoneNumber", keys[r].phone, eq_attributes),
          id, dn, eq_attributes, false, entries);
    }
    case mode::mod: {
      const int64_t id = c->next_id++;
      char value[96];
      // At most 90 bytes with the NUL: never cut short.
      (void)std::snprintf(value, sizeof value,
                          "changed by ldapbench worker %llu, change %llu of this run",
                          static_cast<unsigned long long>(w->index),
                          static_cast<unsigned long long>(++w->op_counter));
      return simple_exchange(c, bench_modify_replace(id, dn, "description", value), id,
                             ldap_modify_response) == ldap_success;
    }
    case mode::conn: {
      if (!connect_to_server(c)) return false;
      bool ok = simple_exchange(c, bench_bind_request(1, dn, "password" + std::to_string(r)), 1,
                                ldap_bind_response) == ldap_success;
      ok = ok && search_exchange(c, bench_equality_search(2, opt.base, "uid", uid, eq_attributes),
                                 2, dn, eq_attributes, true, entries);
      ok = ok && send_all(c, bench_unbind_request(3));
      // The server closes after the unbind; waiting for that leaves the
      // closed connection's TIME_WAIT on the server's side and counts the
      // whole life of the connection.
      bench_message m;
      ok = ok && receive(c, &m) == 0;
      disconnect(c);
      return ok;
    }
    case mode::ready: break;
  }
  return false;
}

bool write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, size_t len) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    const ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The body of worker process `index`: set up, tell the parent (ready_fd),
// wait for the start (go_fd reaching its end), run, report (report_fd).
[[noreturn]] void run_worker(uint64_t index, uint64_t quota, int ready_fd, int go_fd,
                             int report_fd) {
  worker w;
  w.index = index;
  w.random.state = opt.seed * 0x100000001b3u + index;
  uint64_t errors = 0;
  if (persistent_mode() && !prepare(&w)) ++errors;
  const char one = 1;
  write_all(ready_fd, &one, 1);
  close(ready_fd);
  char dummy;
  while (read(go_fd, &dummy, 1) < 0 && errno == EINTR) {
  }
  close(go_fd);

  std::vector<uint64_t> latencies;
  latencies.reserve(static_cast<size_t>(std::min<uint64_t>(quota, 1u << 20)));
  uint64_t entries_total = 0;
  uint64_t consecutive_errors = 0;
  const uint64_t start = now_ns();
  const uint64_t deadline = start + static_cast<uint64_t>(opt.seconds * 1e9);
  uint64_t end = start;
  uint64_t done = 0;
  while (done < quota) {
    const uint64_t t0 = now_ns();
    if (t0 >= deadline) break;
    if (persistent_mode() && w.conn.fd < 0 && !prepare(&w)) {
      // The server refuses connections: count it, back off a little.
      ++errors;
      ++done;
      if (++consecutive_errors >= 1000) break;
      usleep(10'000);
      continue;
    }
    uint64_t entries = 0;
    const bool ok = one_operation(&w, &entries);
    const uint64_t t1 = now_ns();
    end = t1;
    ++done;
    if (ok) {
      latencies.push_back(t1 - t0);
      entries_total += entries;
      consecutive_errors = 0;
    } else {
      ++errors;
      // The connection's state is unknown after a failed check: start over.
      disconnect(&w.conn);
      if (++consecutive_errors >= 1000) break;
    }
  }
  if (w.conn.fd >= 0 && persistent_mode()) {
    send_all(&w.conn, bench_unbind_request(w.conn.next_id++));
    disconnect(&w.conn);
  }
  const worker_report rep{latencies.size(), errors, entries_total, start, end, latencies.size()};
  bool ok = write_all(report_fd, &rep, sizeof rep);
  ok = ok && write_all(report_fd, latencies.data(), latencies.size() * sizeof(uint64_t));
  close(report_fd);
  _exit(ok ? 0 : 1);
}

// ---- Ready mode --------------------------------------------------------------

int run_ready() {
  const uint64_t start = now_ns();
  const uint64_t deadline = start + static_cast<uint64_t>(opt.seconds * 1e9);
  const std::string dn = person_dn(0);
  const std::string uid = bench_uid(0, opt.people);
  connection c;
  uint64_t attempts = 0;
  for (;;) {
    ++attempts;
    uint64_t entries = 0;
    if (connect_to_server(&c) &&
        search_exchange(&c, bench_equality_search(1, opt.base, "uid", uid, eq_attributes), 1, dn,
                        eq_attributes, true, &entries)) {
      const uint64_t t = now_ns() - start;
      disconnect(&c);
      std::printf("ldapbench mode=ready ms=%.1f attempts=%llu\n", static_cast<double>(t) / 1e6,
                  static_cast<unsigned long long>(attempts));
      return 0;
    }
    disconnect(&c);
    if (now_ns() >= deadline) {
      std::printf("ldapbench mode=ready ms=-1 attempts=%llu\n",
                  static_cast<unsigned long long>(attempts));
      return 1;
    }
    usleep(1000);
  }
}

// ---- The parent -------------------------------------------------------------------

struct child {
  pid_t pid;
  int report_fd;
};

int run() {
  int ready[2];
  int go[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) {
    std::perror("ldapbench: pipe");
    return 1;
  }
  std::vector<child> children;
  for (uint64_t i = 0; i < opt.workers; ++i) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
      std::perror("ldapbench: pipe");
      return 1;
    }
    const uint64_t quota = opt.max_ops / opt.workers + (i < opt.max_ops % opt.workers ? 1 : 0);
    // So that no child writes a copy of what is buffered; a failure shows
    // again at the final flush.
    (void)std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("ldapbench: fork");
      return 1;
    }
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      close(report[0]);
      for (const child& c : children) close(c.report_fd);
      run_worker(i, quota, ready[1], go[0], report[1]);
    }
    close(report[1]);
    children.push_back(child{pid, report[0]});
  }
  close(ready[1]);
  close(go[0]);
  // Every worker has its connection before the clock starts.
  for (uint64_t i = 0; i < opt.workers; ++i) {
    char b;
    if (!read_all(ready[0], &b, 1)) break;
  }
  close(ready[0]);
  close(go[1]);

  uint64_t ops = 0, errors = 0, entries = 0;
  uint64_t first_start = UINT64_MAX, last_end = 0;
  std::vector<uint64_t> all;
  for (const child& c : children) {
    worker_report rep{};
    bool ok = read_all(c.report_fd, &rep, sizeof rep) && rep.latencies <= opt.max_ops;
    if (ok) {
      const size_t at = all.size();
      all.resize(at + static_cast<size_t>(rep.latencies));
      ok = read_all(c.report_fd, all.data() + at, static_cast<size_t>(rep.latencies) * 8);
      if (!ok) all.resize(at);
    }
    close(c.report_fd);
    if (!ok) {
      (void)std::fprintf(stderr, "ldapbench: worker %d sent no report\n", static_cast<int>(c.pid));
      ++errors;
      continue;
    }
    ops += rep.ops;
    errors += rep.errors;
    entries += rep.entries;
    first_start = std::min(first_start, rep.start_ns);
    last_end = std::max(last_end, rep.end_ns);
  }
  for (const child& c : children) {
    int status;
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::sort(all.begin(), all.end());
  const double secs =
      last_end > first_start ? static_cast<double>(last_end - first_start) / 1e9 : 0.0;
  const double rate = secs > 0 ? static_cast<double>(ops) / secs : 0.0;
  std::printf(
      "ldapbench mode=%s conc=%llu ops=%llu errors=%llu secs=%.3f ops_per_sec=%.1f "
      "p50_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f entries_per_op=%.3f\n",
      opt.mode_name, static_cast<unsigned long long>(opt.workers),
      static_cast<unsigned long long>(ops), static_cast<unsigned long long>(errors), secs, rate,
      static_cast<double>(percentile(all, 50)) / 1e3, static_cast<double>(percentile(all, 90)) / 1e3,
      static_cast<double>(percentile(all, 99)) / 1e3,
      static_cast<double>(all.empty() ? 0 : all.back()) / 1e3,
      ops > 0 ? static_cast<double>(entries) / static_cast<double>(ops) : 0.0);
  // The result line is the whole point of the run: losing it is a failure.
  if (std::fflush(stdout) != 0) {
    std::perror("ldapbench: stdout");
    return 1;
  }
  return errors == 0 && ops > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  parse_options(argc, argv);
  if ((opt.m == mode::sub || opt.m == mode::scan) && !load_keys()) return 2;
  if (opt.m == mode::ready) return run_ready();
  return run();
}
