// Write rights are per attribute: a modify needs the write right on every
// attribute it changes, an add the add right on every attribute it gives.
// With the example directory's ACLs a user may change her own password and
// nothing else (a user who could set her own uidNumber to 0 would be root
// on every host that reads accounts from the directory). Driven with
// OpenLDAP's ldapmodify, as an administrator or a user would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/harness.h"

using namespace harness;

namespace {

const char* const kLdapmodify = "/usr/bin/ldapmodify";
const char* const kAdmin = "cn=admin,dc=example,dc=com";
const char* const kAlice = "uid=alice,ou=people,dc=example,dc=com";
const char* const kBob = "uid=bob,ou=people,dc=example,dc=com";

class WriteRights : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kLdapmodify, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  }
  void start(const std::string& acl_file) {
    std::string why;
    ASSERT_TRUE(start_example(&srv_, acl_file, &why)) << why;
  }
  // ldapmodify's exit status, which is the server's result code.
  int ldapmodify(const std::string& who, const std::string& password, const std::string& ldif,
                 bool add = false) {
    std::vector<std::string> args = {"-x", "-H", "ldap://127.0.0.1:" + std::to_string(srv_.port),
                                     "-D", who, "-w", password};
    if (add) args.push_back("-a");
    return run_program(kLdapmodify, args, ldif).status;
  }
  std::string journal() const { return read_file(srv_.dir.file("journal")); }

  server srv_;
};

std::string modify(const std::string& dn, const std::string& body) {
  return "dn: " + dn + "\nchangetype: modify\n" + body;
}

}  // namespace

TEST_F(WriteRights, AUserMayChangeHerOwnPasswordAndNothingElse) {
  ASSERT_NO_FATAL_FAILURE(start(""));
  const struct {
    const char* what;
    std::string ldif;
    int code;
  } cases[] = {
      {"her password", modify(kAlice, "replace: userPassword\nuserPassword: wonderland\n"), 0},
      {"her password, spelt otherwise", modify(kAlice, "replace: USERPASSWORD\nUSERPASSWORD: wonderland\n"), 0},
      {"her password, with an option", modify(kAlice, "replace: userPassword;x\nuserPassword;x: wonderland\n"), 0},
      {"her uidNumber", modify(kAlice, "add: uidNumber\nuidNumber: 0\n"), 50},
      {"her title", modify(kAlice, "replace: title\ntitle: Queen\n"), 50},
      {"her objectClass", modify(kAlice, "add: objectClass\nobjectClass: posixAccount\n"), 50},
      {"her password and her mail at once",
       modify(kAlice, "replace: userPassword\nuserPassword: x\n-\nreplace: mail\nmail: a@b\n"), 50},
      {"another's password", modify(kBob, "replace: userPassword\nuserPassword: mine\n"), 50},
  };
  // Twice: first against the entries as the data file has them, then
  // against Alice's entry as the journal holds it after her first change.
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (round == 0 ? " (data file)" : " (journal)"));
      const std::string before = journal();
      EXPECT_EQ(ldapmodify(kAlice, "wonderland", c.ldif), c.code);
      if (c.code != 0) {
        EXPECT_EQ(journal(), before);
      }
    }
  }
  // The administrator may change any attribute.
  EXPECT_EQ(ldapmodify(kAdmin, "admin", modify(kAlice, "add: uidNumber\nuidNumber: 1000\n")), 0);
  EXPECT_EQ(ldapmodify(kAdmin, "admin", modify(kAlice, "replace: title\ntitle: Queen\n")), 0);
}

// Adds are checked on every attribute given, against the entry they would
// create.
TEST_F(WriteRights, AnAddNeedsTheRightOnEveryAttribute) {
  const std::string acl = srv_.dir.file("adds.acl");
  write_file(acl,
             "(dn=cn=admin,dc=example,dc=com) * * +rwad\n"
             "(uid=alice) * objectClass,cn,sn,USERPASSWORD +a\n"
             "* * * +r\n");
  ASSERT_NO_FATAL_FAILURE(start(acl));
  const std::string entry = "dn: cn=new,dc=example,dc=com\nobjectClass: person\ncn: new\nsn: n\n";
  EXPECT_EQ(ldapmodify(kAlice, "wonderland", entry + "title: boss\n", true), 50);
  EXPECT_EQ(journal(), "");
  EXPECT_EQ(ldapmodify(kAlice, "wonderland", entry + "userPassword: pw\n", true), 0);
  EXPECT_NE(journal().find("dn: cn=new,dc=example,dc=com\n"), std::string::npos);
}
