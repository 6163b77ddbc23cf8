// Extended operations end to end: "Who am I?" with ldapwhoami and
// python3-ldap3, Password Modify with ldappasswd and python3-ldap3, StartTLS refused so that `ldapsearch -Z` goes on in clear
// (and `-ZZ`, which insists, stops), and any other request name answered
// protocolError on a connection that goes on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "codec/ldap_message.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

const char* const kLdapwhoami = "/usr/bin/ldapwhoami";
const char* const kLdapsearch = "/usr/bin/ldapsearch";
const char* const kLdappasswd = "/usr/bin/ldappasswd";
const char* const kAdmin = "cn=admin,dc=example,dc=com";
const char* const kBob = "uid=bob,ou=people,dc=example,dc=com";
const char* const kAlice = "uid=alice,ou=people,dc=example,dc=com";

class Extended : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(start_example(&srv_, "", &why)) << why;
  }
  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(srv_.port); }

  server srv_;
};

// The ExtendedResponse to one request on fd: result code, and whether it
// named the request (responseName) and carried a value, with the value.
struct extended_answer {
  int64_t id = -1;
  uint64_t op = 0;
  int64_t code = -1;
  std::string rest;  // the bytes after the LDAPResult: responseName, responseValue
};

extended_answer ask(int fd, const std::string& request) {
  extended_answer a;
  std::string msg;
  if (!send_bytes(fd, request) || read_message(fd, &msg) != 1) return a;
  const char* end = msg.data() + msg.size();
  uint64_t len = 0;
  const uint64_t header = ldap_decode_message(msg.data(), end, &a.id, &a.op, &len);
  if (header == 0) return a;
  counted_str matched, text, referral;
  const uint64_t result = ldap_decode_result(msg.data() + header, end, &a.code, &matched, &text,
                                             &referral);
  if (result != 0) a.rest = msg.substr(header + result);
  return a;
}

std::string extended(uint64_t id, const std::string& oid) {
  return ldap_message(id, ldap_extended_request, wire::tlv(0x80, oid));
}

}  // namespace

TEST_F(Extended, WhoAmIWithLdapwhoami) {
  if (access(kLdapwhoami, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  const struct {
    const char* what;
    std::vector<std::string> bind;
    std::string out;
  } cases[] = {
      {"anonymous", {}, "anonymous\n"},
      {"bound", {"-D", kAlice, "-w", "wonderland"}, std::string("dn:") + kAlice + "\n"},
      {"bound, the DN spelt in capitals", {"-D", "UID=ALICE,OU=PEOPLE,DC=EXAMPLE,DC=COM", "-w",
                                           "wonderland"},
       std::string("dn:") + kAlice + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"-x", "-H", url()};
    args.insert(args.end(), c.bind.begin(), c.bind.end());
    const run_result r = run_program(kLdapwhoami, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
}

// On one connection: who the client is follows every bind, a failed one
// included; the request must carry no value.
TEST_F(Extended, WhoAmIFollowsTheBindsOfTheConnection) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  extended_answer a = ask(fd, extended(1, ldap_oid_who_am_i));
  EXPECT_EQ(a.id, 1);
  EXPECT_EQ(a.op, ldap_extended_response);
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(a.rest, std::string("\x8b\x00", 2));  // an empty responseValue
  ASSERT_EQ(ask(fd, bind_request(2, kAlice, "wonderland")).code, 0);
  a = ask(fd, extended(3, ldap_oid_who_am_i));
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(a.rest, wire::tlv(0x8b, std::string("dn:") + kAlice));
  EXPECT_EQ(ask(fd, bind_request(4, kAlice, "wrong")).code, 49);
  EXPECT_EQ(ask(fd, extended(5, ldap_oid_who_am_i)).rest, std::string("\x8b\x00", 2));
  a = ask(fd, ldap_message(6, ldap_extended_request,
                           wire::tlv(0x80, ldap_oid_who_am_i) + wire::tlv(0x81, "x")));
  EXPECT_EQ(a.code, 2);
  close(fd);
}

// StartTLS is refused with protocolError, naming the operation: ldapsearch
// -Z then goes on in clear, -ZZ (TLS required) gives up.
TEST_F(Extended, StartTlsIsRefusedAndTheClientMayGoOnInClear) {
  if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  const std::vector<std::string> search = {"-x", "-H", url(), "-b", "dc=example,dc=com",
                                           "(uid=bob)", "cn"};
  std::vector<std::string> optional = {"-Z"};
  optional.insert(optional.end(), search.begin(), search.end());
  run_result r = run_program(kLdapsearch, optional);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("cn: Bob Baker"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("StartTLS is not configured"), std::string::npos) << r.err;
  std::vector<std::string> required = {"-ZZ"};
  required.insert(required.end(), search.begin(), search.end());
  r = run_program(kLdapsearch, required);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out.find("cn: Bob Baker"), std::string::npos) << r.out;

  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  const extended_answer a = ask(fd, extended(1, ldap_oid_start_tls));
  EXPECT_EQ(a.code, 2);
  EXPECT_EQ(a.rest, wire::tlv(0x8a, ldap_oid_start_tls));
  close(fd);
}

// Any other request name, and a request that does not decode, get
// protocolError; the connection goes on.
TEST_F(Extended, OtherRequestsGetProtocolErrorAndTheConnectionGoesOn) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  const std::string requests[] = {
      extended(1, "1.2.3.4"),
      extended(1, ""),
      ldap_message(1, ldap_extended_request, wire::tlv(0x80, "1.2.3") + wire::tlv(0x81, "v")),
      ldap_message(1, ldap_extended_request, wire::octets("1.2.3")),   // not [0]
      ldap_message(1, ldap_extended_request, ""),                       // no name
      ldap_message(1, ldap_extended_request,
                   wire::tlv(0x80, "1.2.3") + wire::tlv(0x81, "v") + wire::tlv(0x81, "w")),
  };
  for (const std::string& r : requests) {
    SCOPED_TRACE(to_hex(r));
    const extended_answer a = ask(fd, r);
    EXPECT_EQ(a.id, 1);
    EXPECT_EQ(a.op, ldap_extended_response);
    EXPECT_EQ(a.code, 2);
    EXPECT_EQ(a.rest, "");  // no responseName for a request it does not know
  }
  ASSERT_TRUE(send_bytes(fd, wire::search_request(2, "dc=example,dc=com", 2,
                                                  wire::equal("uid", "bob"), {"cn"})));
  EXPECT_EQ(wire::read_search(fd).entries.size(), 1u);
  close(fd);
}

TEST_F(Extended, WhoAmIWithPython3Ldap3) {
  if (!have_python3_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  const std::string script =
      "import sys, ldap3\n"
      "server = ldap3.Server('127.0.0.1', port=int(sys.argv[1]))\n"
      "anonymous = ldap3.Connection(server, auto_bind=True)\n"
      "print(repr(anonymous.extend.standard.who_am_i()))\n"
      "alice = ldap3.Connection(server, sys.argv[2], 'wonderland', auto_bind=True)\n"
      "print(alice.extend.standard.who_am_i())\n";
  const run_result r = run_program(python3_path, {"-c", script, std::to_string(srv_.port), kAlice});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("None\ndn:") + kAlice + "\n");
}

// ---- Password Modify ------------------------------------------------------------

// The exit status of a simple bind as dn with password (0 bound, 49 not).
int bind_status(const std::string& url, const std::string& dn, const std::string& password) {
  return run_program(kLdapwhoami, {"-x", "-H", url, "-D", dn, "-w", password}).status;
}

TEST_F(Extended, PasswordModifyWithLdappasswd) {
  if (access(kLdappasswd, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  const std::vector<std::string> as_alice = {"-x", "-H", url(), "-D", kAlice, "-w", "wonderland"};
  const auto ldappasswd = [&](std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return run_program(kLdappasswd, args);
  };
  // Her own, with the old password: the new one binds, the old one no more.
  run_result r = ldappasswd(as_alice, {"-a", "wonderland", "-s", "looking-glass"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(bind_status(url(), kAlice, "looking-glass"), 0);
  EXPECT_EQ(bind_status(url(), kAlice, "wonderland"), 49);
  // Stored hashed, never in clear.
  const std::string journal = read_file(srv_.dir.file("journal"));
  EXPECT_EQ(journal.find("looking-glass"), std::string::npos);
  EXPECT_NE(journal.find("userPassword: {MD5}"), std::string::npos);

  const std::vector<std::string> as_alice_now = {"-x", "-H", url(), "-D", kAlice, "-w",
                                                 "looking-glass"};
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string answer;  // in ldappasswd's output
  } refusals[] = {
      {"a wrong old password", {"-a", "wrong", "-s", "x1"}, "Invalid credentials (49)"},
      {"another's password, without the right", {"-s", "x2", kBob}, "Insufficient access (50)"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.what);
    r = ldappasswd(as_alice_now, c.args);
    EXPECT_NE(r.status, 0);
    EXPECT_NE((r.out + r.err).find(c.answer), std::string::npos) << r.out << r.err;
  }
  r = run_program(kLdappasswd, {"-x", "-H", url(), "-s", "x3"});
  EXPECT_NE((r.out + r.err).find("unwilling to perform (53)"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(bind_status(url(), kAlice, "looking-glass"), 0);
  EXPECT_EQ(bind_status(url(), kBob, "builder"), 0);

  // The administrator sets bob's, then has one generated for him.
  const std::vector<std::string> as_admin = {"-x", "-H", url(), "-D", kAdmin, "-w", "admin"};
  r = ldappasswd(as_admin, {"-s", "bob-the-builder", kBob});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(bind_status(url(), kBob, "bob-the-builder"), 0);
  EXPECT_EQ(bind_status(url(), kBob, "builder"), 49);
  r = ldappasswd(as_admin, {kBob});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string head = "New password: ";
  ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
  const std::string generated = r.out.substr(head.size(), r.out.find('\n') - head.size());
  EXPECT_EQ(generated.size(), 16u);
  EXPECT_EQ(bind_status(url(), kBob, generated), 0);
  EXPECT_EQ(bind_status(url(), kBob, "bob-the-builder"), 49);
}

TEST_F(Extended, PasswordModifyWithPython3Ldap3) {
  if (!have_python3_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  const std::string script =
      "import sys, ldap3\n"
      "server = ldap3.Server('127.0.0.1', port=int(sys.argv[1]))\n"
      "alice = ldap3.Connection(server, sys.argv[2], 'wonderland', auto_bind=True)\n"
      "print(alice.extend.standard.modify_password(old_password='wonderland',\n"
      "                                            new_password='rabbit-hole'))\n"
      "print(ldap3.Connection(server, sys.argv[2], 'rabbit-hole').bind())\n"
      "print(ldap3.Connection(server, sys.argv[2], 'wonderland').bind())\n";
  const run_result r = run_program(python3_path, {"-c", script, std::to_string(srv_.port), kAlice});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "True\nTrue\nFalse\n");
}

// A request value that does not decode gets protocolError, the connection
// goes on and nothing is written.
TEST_F(Extended, PasswordModifyValuesThatDoNotDecode) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ask(fd, bind_request(1, kAlice, "wonderland")).code, 0);
  const std::string values[] = {
      wire::octets("x"),                                                  // no SEQUENCE
      wire::tlv(0x30, wire::tlv(0x82, "new") + wire::tlv(0x81, "old")),  // out of order
      wire::tlv(0x30, wire::tlv(0x83, "x")),                              // no such field
      wire::tlv(0x30, wire::tlv(0xa2, "x")),                              // constructed
      wire::tlv(0x30, wire::tlv(0x82, "new")) + "z",                      // bytes after it
  };
  for (const std::string& v : values) {
    SCOPED_TRACE(to_hex(v));
    const extended_answer a = ask(fd, ldap_message(2, ldap_extended_request,
                                                   wire::tlv(0x80, ldap_oid_password_modify) +
                                                       wire::tlv(0x81, v)));
    EXPECT_EQ(a.id, 2);
    EXPECT_EQ(a.code, 2);
  }
  EXPECT_EQ(read_file(srv_.dir.file("journal")), "");
  EXPECT_EQ(ask(fd, extended(3, ldap_oid_who_am_i)).code, 0);
  close(fd);
}

