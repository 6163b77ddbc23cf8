// One server per port, end to end with the production server. A second
// server started on a port that a running one listens on must fail at
// start (status 1, the port and the system's reason, then "bind
// failed!") and leave every connection to the first: a second listener
// that the system shares the port with would take part of the clients,
// without a word, to whatever directory it serves. And a server started
// again on a port whose last connections linger in TIME_WAIT must still
// bind at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/data_fixture.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

// A data file of one entry, o=NAME, in the server's working directory: a
// search for it tells which server answered.
void write_directory(const server& s, const std::string& name) {
  ASSERT_EQ(fixture::write_data_file(s.data_path(), {{"o=" + name, {{"objectClass", "organization"},
                                                                    {"o", name}}}}),
            "");
}

// Starts ferrowyn on the data file in s's directory on a given port (which
// start_server does not allow: it picks a free one), with the extra
// environment entries, and returns at once; standard output and error go
// to files in that directory, as start_server puts them.
void spawn_on_port(server* s, uint16_t port, const std::vector<std::string>& env) {
  const std::string program = program_path("ferrowyn");
  const std::string dir = s->dir.path;
  const std::string data = s->data_path();
  std::vector<std::string> settings = env;
  settings.push_back("PORT=" + std::to_string(port));
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (std::string& e : settings) putenv(e.data());
    execl(program.c_str(), program.c_str(), data.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  s->pid = pid;
  s->port = port;
  s->exit_status = -1;
}

// A base search for o=NAME on a new connection to the port: true when the
// entry came back, so that server answered.
bool answered_by(uint16_t port, bool ipv6, const std::string& name) {
  const int fd = connect_to(port, ipv6);
  if (fd < 0) return false;
  const bool sent =
      send_bytes(fd, wire::search_request(1, "o=" + name, 0, wire::present("objectClass")));
  const wire::search_answer a = sent ? wire::read_search(fd) : wire::search_answer{};
  close(fd);
  return a.code == 0 && a.entries.count("o=" + name) == 1;
}

bool have_ipv6_loopback() {
  const int s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  const bool bound = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return bound;
}

TEST(OneServerPerPort, ASecondServerFailsAtStartAndTheFirstKeepsEveryConnection) {
  const struct {
    const char* why;
    std::string first_ip;   // IP of the running server ("" unset); start_server
                            // probes it over IPv4, so never ::1
    std::string second_ip;  // IP of the one started after it
    bool ipv6;              // the clients connect to ::1
  } cases[] = {
      {"both on every address", "", "", false},
      {"both on 127.0.0.1", "127.0.0.1", "127.0.0.1", false},
      {"the second on 127.0.0.1, inside the first's every address", "", "127.0.0.1", false},
      {"the first on 127.0.0.1, the second on every address", "127.0.0.1", "", false},
      {"the second on ::1, inside the first's every address", "", "::1", true},
  };
  const bool ipv6 = have_ipv6_loopback();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.ipv6 && !ipv6) continue;
    server first;
    ASSERT_NO_FATAL_FAILURE(write_directory(first, "first"));
    std::vector<std::string> first_env;
    if (!c.first_ip.empty()) first_env.push_back("IP=" + c.first_ip);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&first, program_path("ferrowyn"), first_env, &why)) << why;

    server second;
    ASSERT_NO_FATAL_FAILURE(write_directory(second, "second"));
    std::vector<std::string> second_env;
    if (!c.second_ip.empty()) second_env.push_back("IP=" + c.second_ip);
    spawn_on_port(&second, first.port, second_env);
    // It fails before it ever accepts; while it runs (it should not) the
    // connections below show what it takes from the first.
    EXPECT_TRUE(second.wait_exit(10000)) << "a second server runs on port " << first.port;
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.stderr_text(), "cannot listen on port " + std::to_string(first.port) + ": " +
                                        std::strerror(EADDRINUSE) + "\nbind failed!\n");

    // Every new connection reaches the first server, whatever the system
    // would pick among listeners that share a port.
    int answered = 0;
    constexpr int kConnections = 40;
    for (int i = 0; i < kConnections; ++i) answered += answered_by(first.port, c.ipv6, "first");
    EXPECT_EQ(answered, kConnections);
    EXPECT_FALSE(first.wait_exit(0)) << first.stderr_text();
  }
}

// Whether a socket on the port is in TIME_WAIT (state 06 in
// /proc/net/tcp and tcp6; ports in hexadecimal).
bool time_wait_on(uint16_t port) {
  char local_port[8];
  std::snprintf(local_port, sizeof local_port, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string sl, local, remote, state;
    std::string line;
    std::getline(in, line);  // the heading
    while (in >> sl >> local >> remote >> state) {
      if (state == "06" && local.size() >= 5 && local.compare(local.size() - 5, 5, local_port) == 0)
        return true;
      std::getline(in, line);
    }
  }
  return false;
}

TEST(OneServerPerPort, ARestartBindsAtOnceWhileOldConnectionsWaitOut) {
  server old;
  ASSERT_NO_FATAL_FAILURE(write_directory(old, "old"));
  std::string why;
  ASSERT_TRUE(start_server_on_data(&old, program_path("ferrowyn"), {}, &why)) << why;
  // The server closes first on an UnbindRequest, so its side of the
  // connection, on the listening port, goes to TIME_WAIT.
  int fd = connect_to(old.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_bytes(fd, unbind_request(1)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  bool waiting = false;
  for (int i = 0; i < 500 && !waiting; ++i) {
    waiting = time_wait_on(old.port);
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(waiting) << "no connection in TIME_WAIT on port " << old.port;
  kill(old.pid, SIGTERM);
  ASSERT_TRUE(old.wait_exit(10000));

  server restarted;
  ASSERT_NO_FATAL_FAILURE(write_directory(restarted, "restarted"));
  spawn_on_port(&restarted, old.port, {});
  bool answered = false;
  for (int i = 0; i < 1000 && !answered && !restarted.wait_exit(0); ++i) {
    answered = answered_by(old.port, false, "restarted");
    if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(answered) << "status " << restarted.exit_status << ": " << restarted.stderr_text();
}

}  // namespace
