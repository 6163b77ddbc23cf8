// The tracing server's connection loop, end to end over TCP: framing,
// dispatch, the trace lines and the ways a connection and the server end;
// and its start-up with the data file it answers from.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "codec/ldap_message.h"
#include "server/startup.h"
#include "tests/data_fixture.h"
#include "tests/harness.h"

using namespace harness;

namespace {

// A small directory for the server to answer from, at s->data_path().
void write_data(server* s) {
  std::string err = fixture::write_data_file(
      s->data_path(), {{"o=example", {{"objectClass", "organization"}, {"o", "example"}}},
                       {"cn=a,o=example", {{"objectClass", "person"}, {"cn", "a"}}}});
  ASSERT_EQ(err, "");
}

// Starts ferrowyn_trace on a freshly written small data file.
void start_trace(server* s, const std::vector<std::string>& env = {}) {
  ASSERT_NO_FATAL_FAILURE(write_data(s));
  std::string why;
  ASSERT_TRUE(start_server_on_data(s, program_path("ferrowyn_trace"), env, &why)) << why;
}

class TraceServer : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }

  void start(const std::vector<std::string>& env) { start_trace(&srv_, env); }

  int connect() {
    int fd = connect_to(srv_.port);
    EXPECT_GE(fd, 0);
    return fd;
  }

  // The server is still up and serving: a new connection is traced.
  void expect_alive() {
    int fd = connect();
    ASSERT_TRUE(send_bytes(fd, unbind_request(99)));
    EXPECT_TRUE(wait_closed(fd, 5000));
    close(fd);
    EXPECT_TRUE(srv_.wait_stderr("with id 99: op 2.\n", 5000)) << srv_.stderr_text();
  }

  server srv_;
};

TEST_F(TraceServer, UnbindClosesTheConnectionWithoutAnswerAndIsTraced) {
  int fd = connect();
  ASSERT_TRUE(send_bytes(fd, unbind_request(7)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("got message of length 0 with id 7: op 2.\n", 5000))
      << srv_.stderr_text();
}

TEST_F(TraceServer, ConnectionClosedWithoutSendingGetsNothingAndNextIsServed) {
  int fd = connect();
  close(fd);
  expect_alive();
  EXPECT_EQ(srv_.stderr_text(), "got message of length 0 with id 99: op 2.\n");
}

TEST_F(TraceServer, AbandonIsTracedUnansweredAndTheNextRequestIsServed) {
  int fd = connect();
  ASSERT_TRUE(send_bytes(fd, abandon_request(3, 2)));
  ASSERT_TRUE(srv_.wait_stderr("AbandonRequest!\n", 5000)) << srv_.stderr_text();
  ASSERT_TRUE(send_bytes(fd, unbind_request(4)));
  EXPECT_TRUE(wait_closed(fd, 5000));  // no answer came before the close
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("op 2.\n", 5000));
  EXPECT_EQ(srv_.stderr_text(),
            "got message of length 1 with id 3: op 16.\n"
            "AbandonRequest!\n"
            "got message of length 0 with id 4: op 2.\n");
}

// A request the server does not serve ends the connection, after a Notice
// of Disconnection (messageID 0, protocolError, its OID) that tells the
// client why.
TEST_F(TraceServer, UnknownOperationsEndTheConnectionWithANotice) {
  struct Case {
    uint64_t op;
    const char* line;
  };
  for (Case c : {Case{12, "unknown request type 12\n"},
                 Case{ldap_bind_response, "unknown request type 1\n"},
                 Case{200, "unknown request type 200\n"}}) {
    int fd = connect();
    ASSERT_TRUE(send_bytes(fd, ldap_message(5, c.op, std::string("\x04\x00", 2))));
    std::string notice;
    ASSERT_EQ(read_message(fd, &notice), 1) << c.op;
    // messageID 0, ExtendedResponse, protocolError.
    const char* end = notice.data() + notice.size();
    int64_t id = -1, code = -1;
    uint64_t op = 0, len = 0;
    const uint64_t header = ldap_decode_message(notice.data(), end, &id, &op, &len);
    ASSERT_NE(header, 0u) << c.op;
    EXPECT_EQ(id, 0);
    EXPECT_EQ(op, ldap_extended_response);
    counted_str matched, text, referral;
    EXPECT_NE(ldap_decode_result(notice.data() + header, end, &code, &matched, &text, &referral), 0u);
    EXPECT_EQ(code, 2);
    EXPECT_NE(notice.find(std::string("\x8a\x16") + ldap_oid_notice_of_disconnection),
              std::string::npos);
    EXPECT_TRUE(wait_closed(fd, 5000)) << c.op;
    close(fd);
    EXPECT_TRUE(srv_.wait_stderr(c.line, 5000)) << srv_.stderr_text();
  }
  expect_alive();
}

TEST_F(TraceServer, MessageSplitAcrossSegmentsIsReassembled) {
  std::string bind = bind_request(1, "cn=someone,o=example", "secret");
  for (size_t cut : {size_t{1}, size_t{2}, bind.size() / 2, bind.size() - 1}) {
    int fd = connect();
    ASSERT_TRUE(send_bytes(fd, bind.substr(0, cut)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(send_bytes(fd, bind.substr(cut) + unbind_request(2)));
    // The reassembled bind is answered (the DN is unknown: 49), then the
    // unbind closes the connection.
    std::string answer;
    ASSERT_EQ(read_message(fd, &answer), 1) << cut;
    // BindResponse, messageID 1, resultCode 49.
    EXPECT_EQ(to_hex(answer.substr(0, 10)), "30 22 02 01 01 61 1d 0a 01 31") << cut;
    EXPECT_TRUE(wait_closed(fd, 5000)) << cut;
    close(fd);
  }
  EXPECT_FALSE(srv_.wait_exit(0));
  std::string err = srv_.stderr_text();
  size_t binds = 0;
  for (size_t at = 0; (at = err.find("with id 1: op 0.\n", at)) != std::string::npos; ++at) ++binds;
  EXPECT_EQ(binds, 4u) << err;
}

TEST_F(TraceServer, PipelinedMessagesInOneWriteAreAllHandled) {
  int fd = connect();
  // Both arrive in one segment; the unbind must be handled without waiting
  // for more bytes, so the server closes on its own.
  ASSERT_TRUE(send_bytes(fd, abandon_request(1, 9) + abandon_request(2, 9) + unbind_request(3)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("with id 3: op 2.\n", 5000));
  EXPECT_EQ(srv_.stderr_text(),
            "got message of length 1 with id 1: op 16.\n"
            "AbandonRequest!\n"
            "got message of length 1 with id 2: op 16.\n"
            "AbandonRequest!\n"
            "got message of length 0 with id 3: op 2.\n");
}

TEST_F(TraceServer, UnbindEndsTheConnectionEvenWithRequestsBehindIt) {
  int fd = connect();
  ASSERT_TRUE(send_bytes(fd, unbind_request(1) + abandon_request(2, 1)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  expect_alive();
  EXPECT_EQ(srv_.stderr_text().find("AbandonRequest!"), std::string::npos);
}

TEST_F(TraceServer, ControlsAreConsumedWithTheirMessage) {
  // Controls ::= [0] SEQUENCE OF Control { controlType, criticality }
  std::string control = hex_bytes("30 0f 04 0a") + "1.2.3.4.56" + hex_bytes("01 01 00");
  std::string controls = hex_bytes("a0 11") + control;
  int fd = connect();
  ASSERT_TRUE(send_bytes(fd, ldap_message(1, ldap_abandon_request, hex_bytes("05"), true, controls)));
  ASSERT_TRUE(srv_.wait_stderr("AbandonRequest!\n", 5000));
  ASSERT_TRUE(send_bytes(fd, unbind_request(2)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("with id 2: op 2.\n", 5000)) << srv_.stderr_text();
  EXPECT_FALSE(srv_.wait_exit(0));
}

TEST_F(TraceServer, NegativeMessageIdIsTracedAsUnsigned) {
  int fd = connect();
  ASSERT_TRUE(send_bytes(fd, hex_bytes("30 05 02 01 ff 42 00")));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("got message of length 0 with id 18446744073709551615: op 2.\n", 5000))
      << srv_.stderr_text();
}

// Envelopes that cannot be framed or decoded end the process with status 2.
TEST(TraceServerEnvelope, UndecodableEnvelopesEndTheServerWithStatus2) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"not a SEQUENCE", hex_bytes("04 00")},
      {"indefinite length", hex_bytes("30 80 02 01 01 42 00 00 00")},
      {"longer than the receive buffer", hex_bytes("30 82 20 01 02 01 01")},
      {"messageID missing", hex_bytes("30 03 04 01 00")},
      {"context-class protocolOp", hex_bytes("30 05 02 01 01 82 00")},
      {"protocolOp overruns the SEQUENCE", hex_bytes("30 05 02 01 01 42 01 00")},
  };
  for (const Case& c : cases) {
    server srv;
    ASSERT_NO_FATAL_FAILURE(start_trace(&srv));
    int fd = connect_to(srv.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_bytes(fd, c.bytes));
    EXPECT_TRUE(srv.wait_exit(5000)) << c.name;
    EXPECT_EQ(srv.exit_status, 2) << c.name;
    EXPECT_EQ(srv.stderr_text(), "") << c.name;
    close(fd);
  }
}

TEST(TraceServerLifecycle, ReadableStandardInputStopsTheServerAtTheNextConnection) {
  server srv;
  ASSERT_NO_FATAL_FAILURE(start_trace(&srv));
  // One full exchange first, so the server is known to be back in accept
  // (past the probe connection's standard-input check) when input ends.
  int first = connect_to(srv.port);
  ASSERT_TRUE(send_bytes(first, unbind_request(1)));
  ASSERT_TRUE(wait_closed(first, 5000));
  close(first);
  ASSERT_TRUE(srv.wait_stderr("op 2.\n", 5000));
  srv.close_stdin();
  EXPECT_FALSE(srv.wait_exit(100));  // nothing happens until a connection arrives
  int fd = connect_to(srv.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_bytes(fd, unbind_request(2)));
  EXPECT_TRUE(srv.wait_exit(5000));
  EXPECT_EQ(srv.exit_status, 0);
  // The second connection was not served.
  EXPECT_EQ(srv.stderr_text(), "got message of length 0 with id 1: op 2.\n");
  close(fd);
}

TEST(TraceServerLifecycle, ListensOnTheAddressInIp) {
  server srv;
  ASSERT_NO_FATAL_FAILURE(start_trace(&srv, {"IP=127.0.0.1"}));
  EXPECT_LT(connect_to(srv.port, /*ipv6=*/true), 0);  // ::1 is not 127.0.0.1
}

TEST(TraceServerLifecycle, AnIpWithTrailingTextMeansAnyAddress) {
  server srv;
  ASSERT_NO_FATAL_FAILURE(start_trace(&srv, {"IP=1.2.3.4x"}));
  int fd = connect_to(srv.port, /*ipv6=*/true);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST(TraceServerLifecycle, AnAddressNotOnThisMachineFailsToBind) {
  server srv;
  ASSERT_NO_FATAL_FAILURE(write_data(&srv));
  std::string why;
  EXPECT_FALSE(start_server_on_data(&srv, program_path("ferrowyn_trace"), {"IP=192.0.2.1"}, &why));
  EXPECT_EQ(srv.exit_status, 1);
  EXPECT_EQ(srv.stderr_text(), "cannot listen on port " + std::to_string(srv.port) + ": " +
                                   std::strerror(EADDRNOTAVAIL) + "\nbind failed!\n");
}

// ---- Start-up with the data file -----------------------------------------

std::string le32(uint32_t w) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(w >> (8 * i)));
  return out;
}

// A data file without records whose attribute table holds `names`, laid out
// by hand (the writer always puts dn and objectClass in the table).
std::string table_only_file(const std::vector<std::string>& names) {
  std::string strings;
  std::string attributes;
  for (const std::string& n : names) {
    attributes += le32(static_cast<uint32_t>(20 + strings.size()));
    strings += n + '\0';
  }
  for (size_t i = 0; i < names.size(); ++i) attributes += le32(0);
  const auto end = static_cast<uint32_t>(20 + strings.size() + attributes.size());
  return le32(0x1dea) + le32(static_cast<uint32_t>(names.size())) + le32(0) + le32(end) +
         le32(static_cast<uint32_t>(strings.size())) + strings + attributes;
}

TEST(TraceServerStartup, DataFileFailuresEndTheServerBeforeItListens) {
  const std::string good = table_only_file({"dn", "objectClass"});
  struct Case {
    const char* name;
    bool write;  // false: no file at the path
    std::string bytes;
    std::vector<std::string> env;
    int status;
    std::string out;
    std::string err;
  };
  const std::string cant_happen = "can't happen error: dn or objectClass not there?!\n";
  const Case cases[] = {
      {"missing file", false, "", {}, 1, "", "could not open data!\n"},
      {"empty file", true, "", {}, 1, "", "could not open data!\n"},
      {"no objectClass", true, table_only_file({"dn", "cn"}), {}, 0, "", cant_happen},
      {"no dn", true, table_only_file({"cn", "objectClass", "userPassword"}), {}, 0, "", cant_happen},
      {"truncated header", true, good.substr(0, 12), {}, 1, "broken data file!\n", ""},
      {"index chain that does not move forward", true,
       good + le32(7) + le32(static_cast<uint32_t>(good.size())), {}, 1, "broken data file!\n", ""},
      // Loading comes before the socket: the data file's failure is the one
      // reported although the address could not be bound either.
      {"broken file and an unbindable address", true, good.substr(0, 12), {"IP=192.0.2.1"}, 1,
       "broken data file!\n", ""},
  };
  for (const Case& c : cases) {
    server srv;
    if (c.write) write_file(srv.data_path(), c.bytes);
    std::string why;
    EXPECT_FALSE(start_server_on_data(&srv, program_path("ferrowyn_trace"), c.env, &why)) << c.name;
    EXPECT_EQ(srv.exit_status, c.status) << c.name;
    EXPECT_EQ(srv.stdout_text(), c.out) << c.name;
    EXPECT_EQ(srv.stderr_text(), c.err) << c.name;
  }
}

TEST(TraceServerStartup, NamesInAnyLetterCaseAndNoRecordsLoad) {
  server srv;
  write_file(srv.data_path(), table_only_file({"DN", "ObjectClass"}));
  std::string why;
  ASSERT_TRUE(start_server_on_data(&srv, program_path("ferrowyn_trace"), {}, &why)) << why;
  int fd = connect_to(srv.port);
  ASSERT_TRUE(send_bytes(fd, unbind_request(1)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  EXPECT_TRUE(srv.wait_stderr("with id 1: op 2.\n", 5000)) << srv.stderr_text();
}

TEST(TraceServerStartup, WithoutAnArgumentTheDefaultPathIsRead) {
  struct stat st;
  if (stat(default_data_path, &st) == 0) GTEST_SKIP() << "a default data file exists here";
  server srv;
  write_data(&srv);  // in the working directory, which must not matter
  std::string why;
  EXPECT_FALSE(start_server(&srv, program_path("ferrowyn_trace"), {}, {}, &why));
  EXPECT_EQ(srv.exit_status, 1);
  EXPECT_EQ(srv.stderr_text(), "could not open data!\n");
}

}  // namespace
