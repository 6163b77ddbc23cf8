// End-to-end test harness: runs the real programs as a user would.
//
// A test server runs in a fresh temporary working directory on a free port
// (given to it through PORT), with its standard input held open on a pipe
// and its standard output and error captured in files in that directory.
// It answers from a data file that the test writes into that directory
// (server::data_path, for instance with fixture::write_data_file) before
// start_server_on_data.
// Connections read LDAP messages whole, framed like the server frames them.
#ifndef FERROWYN_TESTS_HARNESS_H_
#define FERROWYN_TESTS_HARNESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

// Path of a built program, e.g. program_path("ferrowyn_trace").
std::string program_path(const std::string& name);

// A fresh temporary directory, removed with everything in it when destroyed.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

struct server {
  temp_dir dir;               // the server's working directory
  pid_t pid = -1;
  uint16_t port = 0;
  int stdin_fd = -1;          // write end of the server's standard input
  int exit_status = -1;       // once exited: status, or 128 + signal
  ~server();                  // kills the server if it still runs
  std::string stderr_text() const { return read_file(dir.file("stderr")); }
  std::string stdout_text() const { return read_file(dir.file("stdout")); }
  // Where start_server_on_data expects the data file: "data" in the
  // working directory.
  std::string data_path() const { return dir.file("data"); }
  // Waits up to timeout_ms for the process to end; true when it has (its
  // status is then in exit_status).
  bool wait_exit(int timeout_ms);
  // Waits until stderr holds `text` (up to timeout_ms); true when it does.
  bool wait_stderr(const std::string& text, int timeout_ms);
  // Closes the server's standard input.
  void close_stdin();
};

// Starts `program` with `args` and extra `env` entries ("NAME=value") on a
// free port, and returns once it accepts connections (the probe connection
// is closed without sending). On failure returns false with a reason in
// *why; s->exit_status tells whether the server exited.
bool start_server(server* s, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, std::string* why);
// Debian's python3 (not whichever comes first on PATH), where
// python3-ldap3 is installed; and whether it is there to run.
constexpr char python3_path[] = "/usr/bin/python3";
bool have_python3_ldap3();
// A file of the source tree, e.g. source_path("examples/example.ldif").
std::string source_path(const std::string& relative);
// Imports the example directory (examples/example.ldif) with the ACL file
// given (examples/example.acl when empty) into s->data_path() and starts
// ferrowyn on it; false with a reason in *why.
bool start_example(server* s, const std::string& acl_file, std::string* why);
// start_server with the data file s->data_path() as the first argument.
bool start_server_on_data(server* s, const std::string& program, const std::vector<std::string>& env,
                          std::string* why);

// A TCP connection to 127.0.0.1 (or ::1 with ipv6) with 10-second timeouts.
// -1 when refused.
int connect_to(uint16_t port, bool ipv6 = false);
bool send_bytes(int fd, const std::string& bytes);
// Reads one whole LDAPMessage: 1 (message in *out), 0 at end of stream
// before any byte, -1 on error, time-out, malformed or truncated input.
int read_message(int fd, std::string* out);
// True when the peer closes the connection within timeout_ms without sending
// anything more.
bool wait_closed(int fd, int timeout_ms);

// Runs a program to its end: arguments, bytes on standard input, extra env,
// and the working directory (empty: the test's own).
struct run_result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input = "",
                       const std::vector<std::string>& env = {}, const std::string& cwd = "");

// ---- LDAP messages ------------------------------------------------------
// An LDAPMessage with messageID, the protocolOp's tag and contents; the
// protocolOp is constructed unless primitive is true; `controls` (already
// encoded) follow the protocolOp inside the SEQUENCE.
std::string ldap_message(uint64_t id, uint64_t op, const std::string& contents,
                         bool primitive = false, const std::string& controls = "");
std::string bind_request(uint64_t id, const std::string& name, const std::string& password);
std::string unbind_request(uint64_t id);
std::string abandon_request(uint64_t id, uint64_t target);

// Bytes from hex text; spaces are ignored ("30 0c 02").
std::string hex_bytes(const std::string& hex);
// Hex text of bytes, two lowercase digits per byte, separated by spaces.
std::string to_hex(const std::string& bytes);

}  // namespace harness

#endif  // FERROWYN_TESTS_HARNESS_H_
