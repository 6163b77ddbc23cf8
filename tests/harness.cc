#include "tests/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "codec/ber.h"
#include "codec/ldap_message.h"

namespace harness {

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// A port that was free a moment ago on both loopback families.
uint16_t free_port() {
  int s = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  socklen_t len = sizeof sa;
  uint16_t port = 0;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port = ntohs(sa.sin6_port);
  if (s >= 0) close(s);
  return port;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (std::string& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Forks and execs program with args; in the child, runs `setup` first.
template <typename Setup>
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, Setup setup) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envv = env;
  pid_t pid = fork();
  if (pid == 0) {
    setup();
    for (std::string& e : envv) putenv(e.data());
    std::vector<char*> a = c_strings(argv);
    execv(program.c_str(), a.data());
    _exit(127);
  }
  return pid;
}

void redirect(const std::string& path, int fd, int flags) {
  int f = open(path.c_str(), flags, 0644);
  if (f < 0) _exit(126);
  dup2(f, fd);
  close(f);
}

}  // namespace

std::string program_path(const std::string& name) { return std::string(FERROWYN_BIN_DIR) + "/" + name; }

bool have_python3_ldap3() {
  return access(python3_path, X_OK) == 0 &&
         run_program(python3_path, {"-c", "import ldap3"}).status == 0;
}

std::string source_path(const std::string& relative) {
  return std::string(FERROWYN_SOURCE_DIR) + "/" + relative;
}

temp_dir::temp_dir() {
  char templ[] = "/tmp/ferrowyn-test-XXXXXX";
  const char* p = mkdtemp(templ);
  path = p != nullptr ? p : "/tmp";
}

temp_dir::~temp_dir() {
  std::error_code ec;
  if (path != "/tmp") std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void write_file(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

// ---- Servers ------------------------------------------------------------

server::~server() {
  close_stdin();
  if (pid > 0 && exit_status < 0) {
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
  }
}

bool server::wait_exit(int timeout_ms) {
  if (exit_status >= 0) return true;
  if (pid <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      exit_status = status_of(st);
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_ms(5);
  }
}

bool server::wait_stderr(const std::string& text, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (stderr_text().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_ms(5);
  }
}

void server::close_stdin() {
  if (stdin_fd >= 0) close(stdin_fd);
  stdin_fd = -1;
}

bool start_server(server* s, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, std::string* why) {
  signal(SIGPIPE, SIG_IGN);
  for (int attempt = 0; attempt < 5; ++attempt) {
    s->port = free_port();
    std::vector<std::string> e = env;
    e.push_back("PORT=" + std::to_string(s->port));
    int in[2];
    if (pipe(in) != 0) {
      *why = "pipe failed";
      return false;
    }
    const std::string dir = s->dir.path;
    s->exit_status = -1;
    s->pid = spawn(program, args, e, [&] {
      if (chdir(dir.c_str()) != 0) _exit(126);
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
      redirect(dir + "/stdout", 1, O_WRONLY | O_CREAT | O_TRUNC);
      redirect(dir + "/stderr", 2, O_WRONLY | O_CREAT | O_TRUNC);
    });
    close(in[0]);
    s->stdin_fd = in[1];
    fcntl(s->stdin_fd, F_SETFD, FD_CLOEXEC);
    if (s->pid < 0) {
      *why = "fork failed";
      return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (s->wait_exit(0)) break;
      int c = connect_to(s->port);
      if (c >= 0) {
        close(c);
        return true;
      }
      sleep_ms(5);
    }
    if (s->exit_status < 0) {
      *why = "server did not accept connections within 10 s";
      return false;
    }
    // Another process took the port between the probe and the bind: retry.
    if (s->stderr_text().find("Address already in use") == std::string::npos) break;
    s->close_stdin();
  }
  *why = "server exited with status " + std::to_string(s->exit_status) + ": " + s->stderr_text();
  return false;
}

bool start_server_on_data(server* s, const std::string& program, const std::vector<std::string>& env,
                          std::string* why) {
  return start_server(s, program, {s->data_path()}, env, why);
}

// ---- Connections --------------------------------------------------------

int connect_to(uint16_t port, bool ipv6) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  if (ipv6) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } else {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

bool send_bytes(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int read_message(int fd, std::string* out) {
  out->clear();
  uint64_t size = 0;
  for (;;) {
    int framed = out->empty() ? 0 : ldap_message_size(out->data(), out->data() + out->size(), &size);
    if (framed < 0) return -1;
    if (framed > 0 && out->size() >= size) return 1;
    // Read only what this message still needs, so the next one stays in
    // the socket: single bytes while the header is incomplete.
    size_t want = framed > 0 ? size - out->size() : 1;
    char buf[4096];
    ssize_t n = recv(fd, buf, want < sizeof buf ? want : sizeof buf, 0);
    if (n == 0) return out->empty() ? 0 : -1;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

bool wait_closed(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  char c;
  return recv(fd, &c, 1, 0) == 0;
}

// ---- Programs -----------------------------------------------------------

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input, const std::vector<std::string>& env,
                       const std::string& cwd) {
  temp_dir dir;
  write_file(dir.file("in"), input);
  const std::string d = dir.path;
  pid_t pid = spawn(program, args, env, [&] {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    redirect(d + "/in", 0, O_RDONLY);
    redirect(d + "/out", 1, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(d + "/err", 2, O_WRONLY | O_CREAT | O_TRUNC);
  });
  run_result r;
  int st;
  if (pid > 0 && waitpid(pid, &st, 0) == pid) r.status = status_of(st);
  r.out = read_file(dir.file("out"));
  r.err = read_file(dir.file("err"));
  return r;
}

// ---- LDAP messages ------------------------------------------------------

namespace {

std::string element(unsigned cls, unsigned constructed, uint64_t tag, const std::string& contents) {
  std::string out(ber_encode_header(nullptr, cls, constructed, tag, contents.size()), '\0');
  ber_encode_header(out.data(), cls, constructed, tag, contents.size());
  return out + contents;
}

std::string integer(uint64_t value) {
  std::string out(ber_encode_integer(nullptr, ber_universal, ber_primitive, ber_tag_integer, value), '\0');
  ber_encode_integer(out.data(), ber_universal, ber_primitive, ber_tag_integer, value);
  return out;
}

}  // namespace

std::string ldap_message(uint64_t id, uint64_t op, const std::string& contents, bool primitive,
                         const std::string& controls) {
  std::string body = integer(id) +
                     element(ber_application, primitive ? ber_primitive : ber_constructed, op, contents) +
                     controls;
  return element(ber_universal, ber_constructed, ber_tag_sequence, body);
}

std::string bind_request(uint64_t id, const std::string& name, const std::string& password) {
  std::string contents = integer(3) + element(ber_universal, ber_primitive, ber_tag_octet_string, name) +
                         element(ber_context, ber_primitive, 0, password);
  return ldap_message(id, ldap_bind_request, contents);
}

std::string unbind_request(uint64_t id) { return ldap_message(id, ldap_unbind_request, "", true); }

std::string abandon_request(uint64_t id, uint64_t target) {
  std::string target_id = integer(target);
  // AbandonRequest ::= [APPLICATION 16] MessageID: the integer's contents.
  return ldap_message(id, ldap_abandon_request, target_id.substr(2), true);
}

std::string hex_bytes(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    int v = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

bool start_example(server* s, const std::string& acl_file, std::string* why) {
  const std::string acl = acl_file.empty() ? source_path("examples/example.acl") : acl_file;
  const run_result r = run_program(program_path("ldifimport"),
                                   {"-a", acl, s->data_path(), source_path("examples/example.ldif")});
  if (r.status != 0) {
    *why = "ldifimport failed: " + r.err;
    return false;
  }
  return start_server_on_data(s, program_path("ferrowyn"), {}, why);
}

}  // namespace harness
