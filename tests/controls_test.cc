// Request controls end to end: one the server does not act on is ignored
// unless marked critical, when the operation is refused with
// unavailableCriticalExtension (12) and not performed; controls that do
// not decode get protocolError; the connection goes on either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "codec/ldap_message.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

const char* const kLdapsearch = "/usr/bin/ldapsearch";
const char* const kLdapmodify = "/usr/bin/ldapmodify";
const char* const kAdmin = "cn=admin,dc=example,dc=com";
const char* const kBob = "uid=bob,ou=people,dc=example,dc=com";

class Controls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(start_example(&srv_, "", &why)) << why;
  }
  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(srv_.port); }

  server srv_;
};

// A Control SEQUENCE: type, criticality when critical, no value.
std::string control(const std::string& oid, bool critical) {
  return wire::tlv(0x30, wire::octets(oid) + (critical ? wire::tlv(0x01, "\xff") : ""));
}

}  // namespace

TEST_F(Controls, ACriticalControlTheServerDoesNotKnowRefusesTheOperation) {
  if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  const std::vector<std::string> search = {"-LLL", "-x", "-H", url(), "-b", "dc=example,dc=com",
                                           "(uid=bob)", "cn"};
  const auto ldapsearch = [&](const std::string& control_option) {
    std::vector<std::string> args = {"-E", control_option};
    args.insert(args.end(), search.begin(), search.end());
    return run_program(kLdapsearch, args);
  };
  run_result r = ldapsearch("!1.2.3.4");
  EXPECT_EQ(r.status, 12) << r.err;
  EXPECT_EQ(r.out, "");
  r = ldapsearch("1.2.3.4");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("dn: ") + kBob + "\ncn: Bob Baker\n\n");

  // On a modify: refused, and nothing is written.
  ASSERT_EQ(access(kLdapmodify, X_OK), 0);
  const std::string change = std::string("dn: ") + kBob + "\nchangetype: modify\nreplace: title\ntitle: x\n";
  r = run_program(kLdapmodify, {"-x", "-H", url(), "-D", kAdmin, "-w", "admin", "-e", "!1.2.3.4"},
                  change);
  EXPECT_EQ(r.status, 12) << r.err;
  EXPECT_EQ(read_file(srv_.dir.file("journal")), "");
  r = run_program(kLdapmodify, {"-x", "-H", url(), "-D", kAdmin, "-w", "admin", "-e", "1.2.3.4"},
                  change);
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Controls, MalformedAndCriticalUnknownControlsAreAnsweredAndTheConnectionGoesOn) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  const std::string search_contents =
      wire::search_request(1, "dc=example,dc=com", 2, wire::equal("uid", "bob"), {"cn"});
  // The SearchRequest's contents, out of its LDAPMessage.
  int64_t id = 0;
  uint64_t op = 0, len = 0;
  const uint64_t header = ldap_decode_message(
      search_contents.data(), search_contents.data() + search_contents.size(), &id, &op, &len);
  ASSERT_NE(header, 0u);
  const std::string search = search_contents.substr(header, len);
  const struct {
    const char* what;
    std::string controls;
    int64_t code;
  } cases[] = {
      {"not [0]", wire::tlv(0x30, control("1.2.3.4", false)), 2},
      {"a control that is no SEQUENCE", wire::tlv(0xa0, wire::octets("1.2.3.4")), 2},
      {"critical and unknown", wire::tlv(0xa0, control("1.2.3.4", true)), 12},
      {"one of two critical and unknown",
       wire::tlv(0xa0, control("1.2.3.5", false) + control("1.2.3.4", true)), 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // The search's protocolOp, then the controls, in one LDAPMessage.
    ASSERT_TRUE(send_bytes(fd, ldap_message(7, ldap_search_request, search, false, c.controls)));
    const wire::search_answer a = wire::read_search(fd);
    EXPECT_EQ(a.code, c.code);
    EXPECT_TRUE(a.entries.empty());
  }
  ASSERT_TRUE(send_bytes(fd, search_contents));
  EXPECT_EQ(wire::read_search(fd).entries.size(), 1u);
  close(fd);
}
