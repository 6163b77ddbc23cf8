// Compare end to end with OpenLDAP's ldapcompare, whose exit status is the
// result code: 6 compareTrue, 5 compareFalse, 16 noSuchAttribute, 32
// noSuchObject, 50 insufficientAccessRights. Matching follows the
// attribute (cn compares without case), the journal's version of an entry
// is the one compared, and the read right decides: no answer tells a client
// anything about a value it may not read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/harness.h"

using namespace harness;

namespace {

const char* const kLdapcompare = "/usr/bin/ldapcompare";
const char* const kLdapmodify = "/usr/bin/ldapmodify";
const char* const kAdmin = "cn=admin,dc=example,dc=com";
const char* const kAlice = "uid=alice,ou=people,dc=example,dc=com";
const char* const kBob = "uid=bob,ou=people,dc=example,dc=com";

class Compare : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kLdapcompare, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
    std::string why;
    ASSERT_TRUE(start_example(&srv_, "", &why)) << why;
  }
  std::vector<std::string> connect_args(const std::string& who, const std::string& password) const {
    std::vector<std::string> args = {"-x", "-H", "ldap://127.0.0.1:" + std::to_string(srv_.port)};
    if (!who.empty()) {
      args.insert(args.end(), {"-D", who, "-w", password});
    }
    return args;
  }
  int ldapcompare(const std::string& who, const std::string& password, const std::string& dn,
                  const std::string& assertion) {
    std::vector<std::string> args = connect_args(who, password);
    args.push_back(dn);
    args.push_back(assertion);
    return run_program(kLdapcompare, args).status;
  }

  server srv_;
};

// Bob's password hash, as stored in the example.
std::string stored_password(const std::string& dn) {
  const std::string ldif = read_file(source_path("examples/example.ldif"));
  const size_t entry = ldif.find("dn: " + dn + "\n");
  const size_t line = ldif.find("\nuserPassword: ", entry);
  const size_t start = line + 15;
  return ldif.substr(start, ldif.find('\n', start) - start);
}

}  // namespace

TEST_F(Compare, AnswersByTheAttributesMatching) {
  const struct {
    const char* what;
    std::string dn, assertion;
    int code;
  } cases[] = {
      {"the value", kBob, "cn:Bob Baker", 6},
      {"the value in other letter case (cn ignores case)", kBob, "cn:BOB BAKER", 6},
      {"the type in other letter case", kBob, "CN:Bob Baker", 6},
      {"another value", kBob, "cn:Robert Baker", 5},
      {"one of several objectClass values", kBob, "objectClass:person", 6},
      {"an attribute the entry lacks", kBob, "uidNumber:1000", 16},
      {"an entry that does not exist", "uid=nobody,ou=people,dc=example,dc=com", "cn:x", 32},
      {"the DN spelt in capitals", "UID=BOB,OU=PEOPLE,DC=EXAMPLE,DC=COM", "cn:Bob Baker", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ldapcompare("", "", c.dn, c.assertion), c.code);
  }
}

TEST_F(Compare, TheJournalsVersionOfAnEntryIsCompared) {
  ASSERT_TRUE(access(kLdapmodify, X_OK) == 0);
  std::vector<std::string> args = connect_args(kAdmin, "admin");
  const run_result r = run_program(
      kLdapmodify, args, std::string("dn: ") + kBob + "\nchangetype: modify\nreplace: title\ntitle: Builder\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ldapcompare("", "", kBob, "title:builder"), 6);
  EXPECT_EQ(ldapcompare("", "", kBob, "title:Sales Engineer"), 5);
  const run_result d =
      run_program("/usr/bin/ldapdelete", connect_args(kAdmin, "admin"), std::string(kBob) + "\n");
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(ldapcompare("", "", kBob, "title:builder"), 32);
}

// userPassword is readable by its owner and the administrator only: anyone
// else is refused alike for the right and a wrong value.
TEST_F(Compare, AValueTheClientMayNotReadIsNeverCompared) {
  const std::string hash = stored_password(kBob);
  ASSERT_FALSE(hash.empty());
  EXPECT_EQ(ldapcompare("", "", kBob, "userPassword:" + hash), 50);
  EXPECT_EQ(ldapcompare("", "", kBob, "userPassword:wrong"), 50);
  EXPECT_EQ(ldapcompare(kAlice, "wonderland", kBob, "userPassword:" + hash), 50);
  EXPECT_EQ(ldapcompare(kAlice, "wonderland", kBob, "USERPASSWORD;x:" + hash), 50);
  EXPECT_EQ(ldapcompare(kBob, "builder", kBob, "userPassword:" + hash), 6);
  EXPECT_EQ(ldapcompare(kBob, "builder", kBob, "userPassword:wrong"), 5);
  EXPECT_EQ(ldapcompare(kAdmin, "admin", kBob, "userPassword:" + hash), 6);
}
