// The network clients peekwell and snipwort, run as a user runs them:
// against the tracing server on a data file, and against a scripted fake
// server (a listening socket in a thread) for the replies a real server
// never sends — refused binds, error messages, broken and hostile messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/ldap_message.h"
#include "query/acl.h"
#include "store/data_writer.h"
#include "tests/data_fixture.h"
#include "tests/harness.h"

using namespace harness;

namespace {

// ---- BER by hand -------------------------------------------------------------
// Expected bytes are spelled out here rather than produced by the codecs
// the clients use, so a codec fault cannot hide itself.

std::string length_octets(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  std::string digits;
  for (; n > 0; n >>= 8) digits.insert(digits.begin(), static_cast<char>(n & 0xff));
  return std::string(1, static_cast<char>(0x80 | digits.size())) + digits;
}
std::string tlv(unsigned char identifier, const std::string& contents) {
  return std::string(1, static_cast<char>(identifier)) + length_octets(contents.size()) + contents;
}
std::string octets(const std::string& s) { return tlv(0x04, s); }
std::string enumerated(unsigned char v) { return tlv(0x0a, std::string(1, static_cast<char>(v))); }

// LDAPResult contents.
std::string result(unsigned char code, const std::string& matched = "",
                   const std::string& message = "") {
  return enumerated(code) + octets(matched) + octets(message);
}
std::string bind_response(uint64_t id, unsigned char code = 0) {
  return ldap_message(id, ldap_bind_response, result(code));
}
std::string del_response(uint64_t id, const std::string& contents) {
  return ldap_message(id, ldap_del_response, contents);
}

using values = std::vector<std::string>;
std::string partial_attribute(const std::string& type, const values& vals) {
  std::string set;
  for (const std::string& v : vals) set += octets(v);
  return tlv(0x30, octets(type) + tlv(0x31, set));
}
std::string entry_message(uint64_t id, const std::string& dn, const std::string& attributes) {
  return ldap_message(id, ldap_search_result_entry, octets(dn) + tlv(0x30, attributes));
}
std::string search_done(uint64_t id) {
  return ldap_message(id, ldap_search_result_done, result(0));
}

// What peekwell sends for (Attrib=Prefix*) below base: wholeSubtree,
// neverDerefAliases, no limits, typesOnly FALSE, "mail" only.
std::string expected_search(uint64_t id, const std::string& base, const std::string& attrib,
                            const std::string& prefix) {
  const std::string filter = tlv(0xa4, octets(attrib) + tlv(0x30, tlv(0x80, prefix)));
  const std::string contents = octets(base) + enumerated(2) + enumerated(0) +
                               tlv(0x02, std::string(1, '\0')) + tlv(0x02, std::string(1, '\0')) +
                               tlv(0x01, std::string(1, '\0')) + filter + tlv(0x30, octets("mail"));
  return ldap_message(id, ldap_search_request, contents);
}

// The anonymous BindRequest both clients start with (messageID 1).
const std::string kBindRequest = hex_bytes("30 0c 02 01 01 60 07 02 01 03 04 00 80 00");

// ---- A scripted fake server ------------------------------------------------------

// One turn of the conversation: read one request, then answer with the
// chunks (each written separately, with a pause between them so that the
// client sees them in separate reads).
struct turn {
  std::vector<std::string> reply;
  // Before answering, require the client to have shut down its sending
  // direction: the next read must see the end of the stream.
  bool eof_before_reply = false;
};

// Listens on 127.0.0.1 on a free port and serves one connection with the
// script; when the script ends, it closes the connection. An empty script
// closes at once, without reading.
class fake_server {
 public:
  explicit fake_server(std::vector<turn> script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || pipe(stop_) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~fake_server() {
    finish();
    if (listener_ >= 0) close(listener_);
    if (stop_[0] >= 0) close(stop_[0]);
    if (stop_[1] >= 0) close(stop_[1]);
  }
  fake_server(const fake_server&) = delete;
  fake_server& operator=(const fake_server&) = delete;

  uint16_t port() const { return port_; }
  std::string port_env() const { return "PORT=" + std::to_string(port_); }
  // Ends the wait for a connection (one already made is still served) and
  // waits for the script to end. Call it before looking at the results.
  void finish() {
    if (!thread_.joinable()) return;
    if (write(stop_[1], "x", 1) != 1) {
      // The thread then ends at its own time-out.
    }
    thread_.join();
  }

  bool connected = false;
  std::vector<std::string> requests;  // the requests read, in order
  bool saw_eof = false;               // a turn with eof_before_reply saw it

 private:
  void serve() {
    pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    // A connection made before the stop is still taken: the client may have
    // connected and exited before this thread got to accept.
    if (poll(p, 2, 20000) <= 0 || !(p[0].revents & POLLIN)) return;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    connected = true;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (const turn& t : script_) {
      std::string request;
      if (read_message(fd, &request) != 1) break;
      requests.push_back(request);
      if (t.eof_before_reply) {
        char c;
        saw_eof = recv(fd, &c, 1, 0) == 0;
      }
      for (size_t i = 0; i < t.reply.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        // The client may stop reading at any point (and exit): a refused
        // write is part of the exchange, not a failure.
        send(fd, t.reply[i].data(), t.reply[i].size(), MSG_NOSIGNAL);
      }
    }
    close(fd);
  }

  std::vector<turn> script_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
};

// A port on which nothing listens for as long as this lives: the socket is
// bound but never listens, so connecting to it is refused.
struct closed_port {
  int fd = -1;
  uint16_t port = 0;
  closed_port() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~closed_port() {
    if (fd >= 0) close(fd);
  }
};

run_result peekwell(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return run_program(program_path("peekwell"), args, "", env);
}
run_result snipwort(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return run_program(program_path("snipwort"), args, "", env);
}

const char kPeekUsage[] = "usage: peekwell ip baseObject Attrib Prefix\n";
const char kSnipUsage[] = "usage: snipwort ip dn\n";

// ---- Command lines --------------------------------------------------------------

TEST(ClientUsage, BadCommandLinesPrintUsageAndStayOffTheNetwork) {
  const struct {
    const char* why;
    const char* program;
    std::vector<std::string> args;
    const char* usage;
  } cases[] = {
      {"peekwell without arguments", "peekwell", {}, kPeekUsage},
      {"peekwell with three arguments", "peekwell", {"127.0.0.1", "o=x", "cn"}, kPeekUsage},
      {"peekwell, trailing text after the address",
       "peekwell",
       {"127.0.0.1x", "o=x", "cn", "a"},
       kPeekUsage},
      {"peekwell, trailing space", "peekwell", {"127.0.0.1 ", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, empty address", "peekwell", {"", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, IPv6 address", "peekwell", {"::1", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, IPv4-mapped IPv6",
       "peekwell",
       {"::ffff:127.0.0.1", "o=x", "cn", "a"},
       kPeekUsage},
      {"peekwell, three parts", "peekwell", {"127.0.1", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, part above 255", "peekwell", {"127.0.0.256", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, host name", "peekwell", {"localhost", "o=x", "cn", "a"}, kPeekUsage},
      {"peekwell, bad address with a file",
       "peekwell",
       {"x", "o=x", "cn", "a", "/dev/null"},
       kPeekUsage},
      {"snipwort without arguments", "snipwort", {}, kSnipUsage},
      {"snipwort with one argument", "snipwort", {"127.0.0.1"}, kSnipUsage},
      {"snipwort, trailing text", "snipwort", {"127.0.0.1:389", "cn=a"}, kSnipUsage},
      {"snipwort, IPv6 address", "snipwort", {"::1", "cn=a"}, kSnipUsage},
      {"snipwort, empty address", "snipwort", {"", "cn=a"}, kSnipUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    fake_server fake({{{bind_response(1)}}});
    const run_result r = run_program(program_path(c.program), c.args, "", {fake.port_env()});
    fake.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.usage);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fake.connected);
  }
}

// A valid address is taken whole (leading zeros included), and PORT picks
// the port only when it is a plain number from 1 to 65535. The file form
// of peekwell makes the connection but sends nothing, so a PORT that is
// ignored never sends a request anywhere.
TEST(ClientUsage, AddressFormsAndThePortVariable) {
  const struct {
    const char* ip;
    std::string port_suffix;  // appended to the fake's port number in PORT
    bool connects;
  } cases[] = {
      {"127.0.0.1", "", true},   {"127.000.000.001", "", true},   {"127.0.0.1", "x", false},
      {"127.0.0.1", " ", false}, {"127.0.0.1", "0000000", false},  // far above 65535
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + " PORT suffix '" + c.port_suffix + "'");
    temp_dir dir;
    fake_server fake({});
    const run_result r =
        peekwell({c.ip, "o=x", "cn", "a", dir.file("req")}, {fake.port_env() + c.port_suffix});
    fake.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "writing file\n");
    EXPECT_EQ(fake.connected, c.connects);
  }
  for (const char* port : {"0", "65536", "-1", ""}) {
    SCOPED_TRACE(std::string("PORT=") + port);
    temp_dir dir;
    const run_result r =
        peekwell({"127.0.0.1", "o=x", "cn", "a", dir.file("req")}, {std::string("PORT=") + port});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "writing file\n");
  }
}

// ---- peekwell: the request file -------------------------------------------------

TEST(PeekwellFile, WritesTheSearchRequestWithoutAServer) {
  closed_port nobody;
  ASSERT_NE(nobody.port, 0);
  const struct {
    std::string base, attrib, prefix;
  } cases[] = {
      {"dc=example,dc=com", "cn", "Ali"},
      {"", "uid", ""},  // empty base and prefix are sent as they are
      {"O=Spaced Out, C=X", "objectClass", "per"},
      {std::string(300, 'b'), "cn", std::string(200, 'p')},  // long-form lengths
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base.substr(0, 20));
    temp_dir dir;
    // The file is replaced, not appended to.
    write_file(dir.file("req"), std::string(5000, 'z'));
    const run_result r = peekwell({"127.0.0.1", c.base, c.attrib, c.prefix, dir.file("req")},
                                  {"PORT=" + std::to_string(nobody.port)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "writing file\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(to_hex(read_file(dir.file("req"))),
              to_hex(expected_search(2, c.base, c.attrib, c.prefix)));
  }
}

TEST(PeekwellFile, UnwritableFileIsNotReported) {
  closed_port nobody;
  const run_result r = peekwell({"127.0.0.1", "o=x", "cn", "a", "/nonexistent-dir/req"},
                                {"PORT=" + std::to_string(nobody.port)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "writing file\n");
  EXPECT_EQ(r.err, "");
}

// ---- Connection and bind failures --------------------------------------------------

TEST(ClientConnect, NothingListeningExitsOne) {
  closed_port nobody;
  ASSERT_NE(nobody.port, 0);
  const std::vector<std::string> env = {"PORT=" + std::to_string(nobody.port)};
  for (const run_result& r :
       {peekwell({"127.0.0.1", "o=x", "cn", "a"}, env), snipwort({"127.0.0.1", "cn=a,o=x"}, env)}) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not connect to ldap server!\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(ClientBind, EveryBindFailureExitsTwo) {
  const struct {
    const char* why;
    std::vector<turn> script;
  } cases[] = {
      {"closed without reading", {}},
      {"closed without answering", {{{}}}},
      {"invalidCredentials", {{{bind_response(1, 49)}}}},
      {"inappropriateAuthentication", {{{bind_response(1, 48)}}}},
      {"a SearchResultDone instead", {{{ldap_message(1, ldap_search_result_done, result(0))}}}},
      {"not an LDAPMessage", {{{"hello, world"}}}},
      {"LDAPResult without matchedDN", {{{ldap_message(1, ldap_bind_response, enumerated(0))}}}},
      {"half a BindResponse", {{{bind_response(1).substr(0, 8)}}}},
      {"protocolOp longer than the message",
       {{{hex_bytes("30 0c 02 01 01 61 0a 0a 01 00 04 00 04 00") + std::string(8, '\0')}}}},
  };
  for (const char* program : {"peekwell", "snipwort"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(program) + ": " + c.why);
      fake_server fake(c.script);
      const std::vector<std::string> args =
          std::string(program) == "peekwell"
              ? std::vector<std::string>{"127.0.0.1", "o=x", "cn", "a"}
              : std::vector<std::string>{"127.0.0.1", "cn=a,o=x"};
      const run_result r = run_program(program_path(program), args, "", {fake.port_env()});
      fake.finish();
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, "ldapbind failed\n");
      EXPECT_EQ(r.out, "");
      ASSERT_TRUE(fake.connected);
      if (!fake.requests.empty()) {
        EXPECT_EQ(to_hex(fake.requests[0]), to_hex(kBindRequest));
      }
    }
  }
}

// ---- peekwell against a scripted server ----------------------------------------------

TEST(PeekwellReplies, WhatThePrintedAnswerLooksLike) {
  // An entry message of exactly 8192 bytes still fits the receive area;
  // one byte more does not.
  auto sized_entry = [](size_t total, std::string* value) {
    for (size_t k = total - 100; k < total; ++k) {
      std::string m = entry_message(2, "cn=big", partial_attribute("mail", {std::string(k, 'w')}));
      if (m.size() == total) {
        *value = std::string(k, 'w');
        return m;
      }
    }
    return std::string();
  };
  std::string fits_value, too_big_value;
  const std::string fits = sized_entry(8192, &fits_value);
  const std::string too_big = sized_entry(8193, &too_big_value);
  ASSERT_EQ(fits.size(), 8192u);
  ASSERT_EQ(too_big.size(), 8193u);
  // Attribute list that runs past the entry into the controls behind it:
  // the entry must be read within its own protocolOp.
  const std::string spill = hex_bytes("30 1c 02 01 02 64 0b 04 04") + "cn=x" +
                            hex_bytes("30 0f 30 0d 04 01") + "m" + hex_bytes("31 08 04 06") +
                            "value!";
  const struct {
    const char* why;
    std::vector<std::string> reply;  // the answer to the SearchRequest, in chunks
    int status;
    std::string out, err;
  } cases[] = {
      {"two attributes, values in reverse",
       {entry_message(2, "cn=a,o=x",
                      partial_attribute("mail", {"a", "b"}) + partial_attribute("cn", {"a"}))},
       0,
       "objectName \"cn=a,o=x\"\n  mail:b, a\n  cn:a\n",
       ""},
      {"three values",
       {entry_message(2, "cn=a", partial_attribute("mail", {"1", "2", "3"}))},
       0,
       "objectName \"cn=a\"\n  mail:3, 2, 1\n",
       ""},
      {"no attributes", {entry_message(2, "cn=bare", "")}, 0, "objectName \"cn=bare\"\n", ""},
      {"attribute without values",
       {entry_message(2, "cn=a", partial_attribute("mail", {}))},
       0,
       "objectName \"cn=a\"\n  mail:\n",
       ""},
      {"raw bytes, no escaping",
       {entry_message(2, std::string("cn=\"q\"\n", 7),
                      partial_attribute("mail", {std::string("a\0b", 3)}))},
       0,
       "objectName \"cn=\"q\"\n\"\n  mail:" + std::string("a\0b", 3) + "\n",
       ""},
      {"only the first entry",
       {entry_message(2, "cn=1", partial_attribute("mail", {"x"})) +
        entry_message(2, "cn=2", partial_attribute("mail", {"y"})) + search_done(2)},
       0,
       "objectName \"cn=1\"\n  mail:x\n",
       ""},
      {"entry in three reads",
       {fits.substr(0, 1), fits.substr(1, 4000), fits.substr(4001)},
       0,
       "objectName \"cn=big\"\n  mail:" + fits_value + "\n",
       ""},
      {"no matches", {search_done(2)}, 0, "", "no matches.\n"},
      {"done with an error code",
       {ldap_message(2, ldap_search_result_done, result(32))},
       0,
       "",
       "no matches.\n"},
      {"a BindResponse", {bind_response(2)}, 0, "", "unexpected response.\n"},
      {"a DelResponse", {del_response(2, result(0))}, 0, "", "unexpected response.\n"},
      {"entry without attribute list",
       {ldap_message(2, ldap_search_result_entry, octets("cn=a"))},
       0,
       "punt!\n",
       ""},
      {"value that is not a string",
       {entry_message(2, "cn=a", tlv(0x30, octets("mail") + tlv(0x31, tlv(0x02, "\x01"))))},
       0,
       "punt!\n",
       ""},
      {"attribute list spilling into the controls", {spill}, 0, "punt!\n", ""},
      {"first message larger than the area", {too_big}, 0, "", "read error.\n"},
      {"closed without answering", {}, 0, "", "read error.\n"},
      {"half a message, then closed", {search_done(2).substr(0, 5)}, 0, "", "read error.\n"},
      {"garbage, then closed", {"not ldap at all"}, 0, "", "read error.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    fake_server fake({{{bind_response(1)}}, {c.reply}});
    const run_result r = peekwell({"127.0.0.1", "o=x", "cn", "a"}, {fake.port_env()});
    fake.finish();
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(to_hex(r.out), to_hex(c.out));
    EXPECT_EQ(r.err, c.err);
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(to_hex(fake.requests[0]), to_hex(kBindRequest));
    EXPECT_EQ(to_hex(fake.requests[1]), to_hex(expected_search(2, "o=x", "cn", "a")));
  }
}

TEST(PeekwellReplies, SearchFollowsTheBindResponsesMessageId) {
  for (uint64_t bind_id : {uint64_t{1}, uint64_t{41}, uint64_t{300}}) {
    SCOPED_TRACE(bind_id);
    fake_server fake({{{bind_response(bind_id)}}, {{search_done(bind_id + 1)}}});
    const run_result r = peekwell({"127.0.0.1", "dc=x", "sn", "Sm"}, {fake.port_env()});
    fake.finish();
    EXPECT_EQ(r.err, "no matches.\n");
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(to_hex(fake.requests[1]), to_hex(expected_search(bind_id + 1, "dc=x", "sn", "Sm")));
  }
}

// ---- snipwort against a scripted server ----------------------------------------------

TEST(SnipwortReplies, EveryAnswerAndItsMessage) {
  const struct {
    const char* why;
    std::vector<std::string> reply;  // the answer to the DelRequest, in chunks
    int status;
    std::string err;
  } cases[] = {
      {"success", {del_response(2, result(0))}, 0, "ok\n"},
      {"success with a referral",
       {del_response(2, result(0) + octets("ldap://elsewhere/"))},
       0,
       "ok\n"},
      {"noSuchObject", {del_response(2, result(32))}, 0, "fail, code 32.\n"},
      {"noSuchObject with a matchedDN",
       {del_response(2, result(32, "o=x"))},
       0,
       "fail, code 32.\n"},
      {"error message",
       {del_response(2, result(32, "", "no such entry"))},
       0,
       "fail, code 32, error message \"no such entry\n.\n"},
      {"insufficientAccessRights", {del_response(2, result(50))}, 0, "fail, code 50.\n"},
      {"code with two octets",
       {del_response(2, tlv(0x0a, std::string("\x01\x00", 2)) + octets("") + octets(""))},
       0,
       "fail, code 256.\n"},
      {"negative code",
       {del_response(2, tlv(0x0a, "\xff") + octets("") + octets(""))},
       0,
       "fail, code -1.\n"},
      {"a ModifyResponse",
       {ldap_message(2, ldap_modify_response, result(0))},
       0,
       "unexpected response.\n"},
      {"not an LDAPMessage", {"garbage"}, 0, "failed to parse ldap message.\n"},
      {"half a message in the one read",
       {del_response(2, result(0)).substr(0, 6)},
       0,
       "failed to parse ldap message.\n"},
      {"protocolOp longer than its message",
       {hex_bytes("30 0c 02 01 02 6b 0a 0a 01 00 04 00 04 00") + del_response(3, result(0))},
       0,
       "failed to parse ldap message.\n"},
      {"without errorMessage",
       {del_response(2, enumerated(0) + octets(""))},
       0,
       "failed to parse result message.\n"},
      {"something that is not a referral",
       {del_response(2, result(0) + tlv(0x02, "\x01"))},
       0,
       "failed to parse result message.\n"},
      {"closed without answering", {}, 2, "read error.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    turn del;
    del.reply = c.reply;
    del.eof_before_reply = true;
    fake_server fake({{{bind_response(1)}}, del});
    const run_result r = snipwort({"127.0.0.1", "cn=Some One, o=x"}, {fake.port_env()});
    fake.finish();
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(to_hex(fake.requests[0]), to_hex(kBindRequest));
    // The DN goes out byte for byte, not normalised.
    EXPECT_EQ(to_hex(fake.requests[1]),
              to_hex(ldap_message(2, ldap_del_request, "cn=Some One, o=x")));
    EXPECT_TRUE(fake.saw_eof) << "the sending direction was not shut down after the request";
  }
}

TEST(SnipwortReplies, DeleteFollowsTheBindResponsesMessageId) {
  for (uint64_t bind_id : {uint64_t{1}, uint64_t{7}, uint64_t{127}, uint64_t{128}}) {
    SCOPED_TRACE(bind_id);
    fake_server fake({{{bind_response(bind_id)}}, {{del_response(bind_id + 1, result(0))}}});
    const run_result r = snipwort({"127.0.0.1", "cn=a"}, {fake.port_env()});
    fake.finish();
    EXPECT_EQ(r.err, "ok\n");
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(to_hex(fake.requests[1]),
              to_hex(ldap_message(bind_id + 1, ldap_del_request, "cn=a")));
  }
}

// ---- Against the tracing server -------------------------------------------------------

const std::vector<fixture::entry> kPeople = {
    {"o=x", {{"objectClass", "organization"}, {"o", "x"}}},
    {"cn=alice,o=x",
     {{"objectClass", "person"}, {"cn", "alice"}, {"mail", "a@x"}, {"mail", "b@x"}}},
    {"cn=albert,o=x", {{"objectClass", "person"}, {"cn", "albert"}}},
    {"cn=bob,o=x", {{"objectClass", "person"}, {"cn", "bob"}, {"mail", "bob@x"}, {"sn", "B"}}},
    {"cn=locked,o=x", {{"objectClass", "person"}, {"cn", "locked"}}},
};

TEST(PeekwellServer, AsksAndPrintsTheFirstEntry) {
  server s;
  ASSERT_EQ(fixture::write_data_file(s.data_path(), kPeople, {}), "");
  std::string why;
  ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn_trace"), {}, &why)) << why;
  const std::vector<std::string> env = {"PORT=" + std::to_string(s.port)};
  const struct {
    std::string base, attrib, prefix;
    std::string out, err;
  } cases[] = {
      // Values come back in data file order and are printed reversed.
      {"o=x", "cn", "alic", "objectName \"cn=alice,o=x\"\n  mail:b@x, a@x\n", ""},
      // Only mail is asked for: sn is not printed.
      {"o=x", "cn", "bo", "objectName \"cn=bob,o=x\"\n  mail:bob@x\n", ""},
      // An entry without mail prints its name alone.
      {"o=x", "cn", "albe", "objectName \"cn=albert,o=x\"\n", ""},
      {"o=x", "cn", "zed", "", "no matches.\n"},
      {"o=y", "cn", "a", "", "no matches.\n"},
      {"cn=bob,o=x", "cn", "alice", "", "no matches.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base + " " + c.attrib + " " + c.prefix);
    const run_result r = peekwell({"127.0.0.1", c.base, c.attrib, c.prefix}, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(PeekwellServer, TheRequestFileIsWhatTheServerAnswers) {
  server s;
  ASSERT_EQ(fixture::write_data_file(s.data_path(), kPeople, {}), "");
  std::string why;
  ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn_trace"), {}, &why)) << why;
  temp_dir dir;
  // Connected, but the file form neither binds nor searches.
  const run_result r = peekwell({"127.0.0.1", "o=x", "cn", "bo", dir.file("req")},
                                {"PORT=" + std::to_string(s.port)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "writing file\n");
  // Fed by hand after a bind, the bytes are a search the server answers.
  const int fd = connect_to(s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_bytes(fd, kBindRequest + read_file(dir.file("req"))));
  std::string bind, entry, done;
  ASSERT_EQ(read_message(fd, &bind), 1);
  ASSERT_EQ(read_message(fd, &entry), 1);
  ASSERT_EQ(read_message(fd, &done), 1);
  close(fd);
  EXPECT_EQ(to_hex(entry),
            to_hex(entry_message(2, "cn=bob,o=x", partial_attribute("mail", {"bob@x"}))));
  EXPECT_EQ(to_hex(done), to_hex(search_done(2)));
}

// Anonymous clients may delete everything but cn=locked.
std::string write_deletable(const std::string& path) {
  data_writer* w = data_writer_new();
  bool ok = w != nullptr;
  const std::string any("*\0", 2);
  const std::string locked = tlv(0xa3, octets("dn") + octets("cn=locked,o=x"));
  const char* star[] = {"*"};
  const int64_t a = ok ? data_writer_acl_filter(w, any.data(), any.size()) : -1;
  const int64_t l = ok ? data_writer_acl_filter(w, locked.data(), locked.size()) : -1;
  ok = ok && a >= 0 && l >= 0 && data_writer_hash_index(w, "dn", 0) == 0 &&
       data_writer_acl_entry(w, static_cast<uint32_t>(a), static_cast<uint32_t>(l), 0, acl_delete,
                             star, 1) == 0 &&
       data_writer_acl_entry(w, static_cast<uint32_t>(a), static_cast<uint32_t>(a),
                             acl_read | acl_delete, 0, star, 1) == 0;
  for (const fixture::entry& e : kPeople) {
    ok = ok && data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.values)
      ok =
          ok && data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : (w != nullptr ? data_writer_error(w) : "out of memory");
  data_writer_free(w);
  return error;
}

TEST(SnipwortServer, DeletesThroughTheServer) {
  server s;
  ASSERT_EQ(write_deletable(s.data_path()), "");
  std::string why;
  ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn_trace"), {}, &why)) << why;
  const std::vector<std::string> env = {"PORT=" + std::to_string(s.port)};
  const struct {
    const char* dn;
    std::string err;
  } cases[] = {
      {"cn=bob,o=x", "ok\n"},
      {"cn=bob,o=x", "fail, code 32.\n"},  // already gone
      {"cn=nobody,o=x", "fail, code 32.\n"},
      {"cn=locked,o=x", "fail, code 50.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dn);
    const run_result r = snipwort({"127.0.0.1", c.dn}, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  // The deletion is in the journal, and searches no longer find the entry.
  EXPECT_NE(read_file(s.dir.file("journal")).find("cn=bob,o=x"), std::string::npos);
  const run_result r = peekwell({"127.0.0.1", "o=x", "cn", "bob"}, env);
  EXPECT_EQ(r.err, "no matches.\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
