// The root DSE end to end, read as clients read it: ldapsearch -b "" -s
// base with "+", with nothing, with names, and python3-ldap3's get_info.
// It names the directory's suffixes (also one added through the journal)
// and is readable by anonymous clients whatever the ACLs show them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/harness.h"

using namespace harness;

namespace {

const char* const kLdapsearch = "/usr/bin/ldapsearch";
const char* const kLdapadd = "/usr/bin/ldapadd";
const char* const kAdmin = "cn=admin,dc=example,dc=com";

class RootDse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
    // Anonymous clients may read nothing of the directory itself.
    const std::string acl = srv_.dir.file("closed.acl");
    write_file(acl, "(dn=cn=admin,dc=example,dc=com) * * +rwad\n(objectClass=*) * * +r\n");
    std::string why;
    ASSERT_TRUE(start_example(&srv_, acl, &why)) << why;
  }
  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(srv_.port); }
  // The value lines of ldapsearch's LDIF for the root DSE (-LLL: entries only).
  std::string root_dse(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-LLL", "-x", "-H", url(), "-b", "", "-s", "base"};
    args.insert(args.end(), extra.begin(), extra.end());
    const run_result r = run_program(kLdapsearch, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  server srv_;
};

}  // namespace

TEST_F(RootDse, AnsweredAsClientsAskForIt) {
  const std::string operational =
      "dn:\n"
      "namingContexts: dc=example,dc=com\n"
      "supportedLDAPVersion: 3\n"
      "supportedControl: 1.2.840.113556.1.4.319\n"
      "supportedExtension: 1.3.6.1.4.1.4203.1.11.1\n"
      "supportedExtension: 1.3.6.1.4.1.4203.1.11.3\n"
      "vendorName: ferrowyn\n"
      "vendorVersion: 0.3\n\n";
  const struct {
    const char* what;
    std::vector<std::string> extra;
    std::string out;
  } cases[] = {
      {"every operational attribute", {"+"}, operational},
      {"no attributes named: the user attributes", {}, "dn:\nobjectClass: top\n\n"},
      {"both", {"*", "+"},
       "dn:\nobjectClass: top\n" + operational.substr(4)},
      {"names in any letter case", {"NAMINGCONTEXTS", "supportedldapversion"},
       "dn:\nnamingContexts: dc=example,dc=com\nsupportedLDAPVersion: 3\n\n"},
      {"no attributes at all", {"1.1"}, "dn:\n\n"},
      {"a filter that holds", {"(supportedLDAPVersion=3)", "vendorName"},
       "dn:\nvendorName: ferrowyn\n\n"},
      {"a filter that does not hold", {"(vendorName=someone else)"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(root_dse(c.extra), c.out);
  }
  // The directory itself stays closed to anonymous clients.
  const run_result r = run_program(kLdapsearch, {"-LLL", "-x", "-H", url(), "-b",
                                                 "dc=example,dc=com", "(uid=alice)", "cn"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(RootDse, ASuffixAddedThroughTheJournalIsANamingContext) {
  ASSERT_EQ(access(kLdapadd, X_OK), 0);
  const run_result added = run_program(
      kLdapadd, {"-x", "-H", url(), "-D", kAdmin, "-w", "admin"},
      "dn: o=other\nobjectClass: organization\no: other\n\n"
      "dn: ou=units,o=other\nobjectClass: organizationalUnit\nou: units\n");
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(root_dse({"namingContexts"}),
            "dn:\nnamingContexts: dc=example,dc=com\nnamingContexts: o=other\n\n");
}

TEST_F(RootDse, Python3Ldap3ReadsItWithGetInfo) {
  if (!have_python3_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  const std::string script =
      "import sys, ldap3\n"
      "server = ldap3.Server('127.0.0.1', port=int(sys.argv[1]), get_info=ldap3.DSA)\n"
      "ldap3.Connection(server, auto_bind=True)\n"
      "print(server.info.naming_contexts, server.info.supported_ldap_versions,\n"
      "      [e[0] for e in server.info.supported_extensions], server.info.vendor_name)\n";
  const run_result r = run_program(python3_path, {"-c", script, std::to_string(srv_.port)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "['dc=example,dc=com'] ['3'] ['1.3.6.1.4.1.4203.1.11.1', '1.3.6.1.4.1.4203.1.11.3'] "
            "['ferrowyn']\n");
}
