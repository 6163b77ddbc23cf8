// Changing the directory with the clients people actually use: ldapadd,
// ldapmodify and ldapdelete from the OpenLDAP tools, and the python3-ldap3
// library, each followed by searches that must see the change. Each test is
// skipped when its client is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "store/data_writer.h"
#include "tests/harness.h"

using namespace harness;

namespace {

constexpr char kLdapadd[] = "/usr/bin/ldapadd";
constexpr char kLdapmodify[] = "/usr/bin/ldapmodify";
constexpr char kLdapdelete[] = "/usr/bin/ldapdelete";
constexpr char kLdapsearch[] = "/usr/bin/ldapsearch";
// The system interpreter: the Debian package puts ldap3 there, not into
// whatever python3 comes first on PATH.
constexpr char kPython[] = "/usr/bin/python3";

constexpr char kBase[] = "dc=example,dc=com";
constexpr char kAdmin[] = "cn=admin,dc=example,dc=com";

std::string person(const std::string& uid) { return "uid=" + uid + ",ou=people,dc=example,dc=com"; }

struct entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> values;
};

const std::vector<entry> kDirectory = {
    {kBase, {{"objectClass", "domain"}, {"dc", "example"}}},
    {kAdmin, {{"objectClass", "person"}, {"cn", "admin"}, {"userPassword", "admin"}}},
    {"ou=people,dc=example,dc=com", {{"objectClass", "organizationalUnit"}, {"ou", "people"}}},
    {person("alice"),
     {{"objectClass", "person"},
      {"uid", "alice"},
      {"cn", "Alice Adams"},
      {"sn", "Adams"},
      {"userPassword", "wonderland"}}},
    {person("bob"),
     {{"objectClass", "person"}, {"uid", "bob"}, {"cn", "Bob Brown"}, {"sn", "Brown"}}},
};

std::string ber_tlv(unsigned char tag, const std::string& contents) {
  return std::string(1, static_cast<char>(tag)) + static_cast<char>(contents.size()) + contents;
}

// The administrator may do everything, everyone may modify their own entry
// and read everything.
std::string write_directory(const std::string& path) {
  data_writer* w = data_writer_new();
  if (w == nullptr) return "out of memory";
  const std::string any("*\0", 2);
  const std::string self = "self";
  const std::string admin = ber_tlv(0xa3, ber_tlv(0x04, "dn") + ber_tlv(0x04, kAdmin));
  const char* star[] = {"*"};
  bool ok = data_writer_hash_index(w, "dn", 0) == 0 && data_writer_hash_index(w, "uid", 0) == 0;
  const int64_t f_any = data_writer_acl_filter(w, any.data(), any.size());
  const int64_t f_self = data_writer_acl_filter(w, self.data(), self.size());
  const int64_t f_admin = data_writer_acl_filter(w, admin.data(), admin.size());
  ok = ok && f_any >= 0 && f_self >= 0 && f_admin >= 0;
  ok = ok && data_writer_acl_entry(w, f_admin, f_any, 15, 0, star, 1) == 0;
  ok = ok && data_writer_acl_entry(w, f_any, f_self, 2, 0, star, 1) == 0;
  ok = ok && data_writer_acl_entry(w, f_any, f_any, 1, 0, star, 1) == 0;
  for (const entry& e : kDirectory) {
    ok = ok && data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.values)
      ok = ok &&
           data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : data_writer_error(w);
  data_writer_free(w);
  return error;
}

class InteropUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(write_directory(srv_.data_path()), "");
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why)) << why;
  }

  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(srv_.port); }

  // Runs one of the OpenLDAP tools against the server, bound as dn/pw
  // (anonymous when dn is empty).
  run_result tool(const char* program, const std::string& dn, const std::string& pw,
                  const std::vector<std::string>& more, const std::string& input = "") {
    std::vector<std::string> args = {"-x", "-H", url()};
    if (!dn.empty()) args.insert(args.end(), {"-D", dn, "-w", pw});
    args.insert(args.end(), more.begin(), more.end());
    return run_program(program, args, input, {"LDAPNOINIT=1"});
  }

  // The entry's lines as ldapsearch prints them, sorted; empty when absent.
  std::vector<std::string> entry_lines(const std::string& dn) {
    run_result r = tool(kLdapsearch, "", "",
                        {"-LLL", "-o", "ldif-wrap=no", "-s", "base", "-b", dn, "(objectClass=*)"});
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < r.out.size()) {
      size_t nl = r.out.find('\n', at);
      if (nl == std::string::npos) nl = r.out.size();
      if (nl > at) lines.push_back(r.out.substr(at, nl - at));
      at = nl + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  server srv_;
};

bool have_ldap_tools() {
  return access(kLdapadd, X_OK) == 0 && access(kLdapmodify, X_OK) == 0 &&
         access(kLdapdelete, X_OK) == 0 && access(kLdapsearch, X_OK) == 0;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(InteropUpdate, LdapToolsAddModifyDelete) {
  if (!have_ldap_tools()) GTEST_SKIP() << "ldap-utils are not installed";
  const std::string erin = person("erin");
  run_result r = tool(kLdapadd, kAdmin, "admin", {},
                      "dn: " + erin +
                          "\nobjectClass: person\nuid: erin\ncn: Erin Evans\nsn: Evans\n"
                          "mail: erin@example.com\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entry_lines(erin), sorted({"dn: " + erin, "objectClass: person", "uid: erin",
                                       "cn: Erin Evans", "sn: Evans", "mail: erin@example.com"}));

  const std::vector<std::string> modified_erin =
      sorted({"dn: " + erin, "objectClass: person", "uid: erin", "cn: Erin Evans",
              "mail: e@example.com", "description: new"});
  r = tool(kLdapmodify, kAdmin, "admin", {},
           "dn: " + erin + "\nchangetype: modify\nreplace: mail\nmail: e@example.com\n-\n"
           "add: description\ndescription: new\n-\ndelete: sn\n-\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entry_lines(erin), modified_erin);

  // A data-file entry, modified and then deleted.
  r = tool(kLdapmodify, kAdmin, "admin", {},
           "dn: " + person("bob") + "\nchangetype: modify\nadd: mail\nmail: bob@example.com\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entry_lines(person("bob")),
            sorted({"dn: " + person("bob"), "objectClass: person", "uid: bob", "cn: Bob Brown",
                    "sn: Brown", "mail: bob@example.com"}));
  r = tool(kLdapdelete, kAdmin, "admin", {person("bob")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entry_lines(person("bob")), std::vector<std::string>{});

  // The refusals, with the tools' exit statuses.
  const struct {
    const char* why;
    const char* program;
    std::string dn;
    std::vector<std::string> args;
    std::string input;
    int status;
  } refusals[] = {
      {"add of an existing entry", kLdapadd, kAdmin, {}, "dn: " + erin + "\nobjectClass: person\n",
       68},
      {"delete of a deleted entry", kLdapdelete, kAdmin, {person("bob")}, "", 32},
      {"anonymous modify", kLdapmodify, "", {},
       "dn: " + erin + "\nchangetype: modify\nreplace: cn\ncn: x\n", 50},
      {"a user's modify of someone else", kLdapmodify, person("alice"), {},
       "dn: " + erin + "\nchangetype: modify\nreplace: cn\ncn: x\n", 50},
      {"a dn attribute", kLdapmodify, kAdmin, {},
       "dn: " + erin + "\nchangetype: modify\nreplace: dn\ndn: " + kAdmin + "\n", 53},
  };
  for (const auto& c : refusals) {
    r = tool(c.program, c.dn, c.dn.empty() ? "" : (c.dn == kAdmin ? "admin" : "wonderland"), c.args,
             c.input);
    EXPECT_EQ(r.status, c.status) << c.why << "\n" << r.err;
  }
  EXPECT_EQ(entry_lines(erin), modified_erin);
}

TEST_F(InteropUpdate, LdapmodifyChangesTheOwnPassword) {
  if (!have_ldap_tools()) GTEST_SKIP() << "ldap-utils are not installed";
  const std::string alice = person("alice");
  run_result r = tool(kLdapmodify, alice, "wonderland", {},
                      "dn: " + alice + "\nchangetype: modify\nreplace: userPassword\n"
                      "userPassword: looking-glass\n");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> search = {"-s", "base", "-b", alice, "(objectClass=*)", "uid"};
  EXPECT_EQ(tool(kLdapsearch, alice, "looking-glass", search).status, 0);
  EXPECT_EQ(tool(kLdapsearch, alice, "wonderland", search).status, 49);
}

TEST_F(InteropUpdate, Python3Ldap3AddModifyDelete) {
  if (!have_python3_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  const std::string script =
      "import sys\n"
      "from ldap3 import Server, Connection, MODIFY_ADD, MODIFY_DELETE, MODIFY_REPLACE, BASE\n"
      "c = Connection(Server('127.0.0.1', port=int(sys.argv[1])), '" + std::string(kAdmin) +
      "', 'admin', auto_bind=True)\n"
      "def show(what):\n"
      "    print(what, c.result['result'], c.result['type'])\n"
      "frank = 'uid=frank,ou=people,dc=example,dc=com'\n"
      "c.add(frank, 'person', {'uid': 'frank', 'cn': 'Frank Ford', 'mail': ['f1@x', 'f2@x']})\n"
      "show('add')\n"
      "c.add(frank, 'person', {'uid': 'frank'})\n"
      "show('add again')\n"
      "c.modify(frank, {'mail': [(MODIFY_DELETE, ['f1@x']), (MODIFY_ADD, ['f3@x'])],\n"
      "                 'cn': [(MODIFY_REPLACE, ['F. Ford'])]})\n"
      "show('modify')\n"
      "c.search(frank, '(objectClass=*)', BASE, attributes=['*'])\n"
      "for e in c.entries:\n"
      "    a = e.entry_attributes_as_dict\n"
      "    print(e.entry_dn, sorted((k, sorted(v)) for k, v in a.items()))\n"
      "c.delete('uid=bob,ou=people,dc=example,dc=com')\n"
      "show('delete')\n"
      "c.delete('uid=nobody,ou=people,dc=example,dc=com')\n"
      "show('delete unknown')\n"
      "c.search('ou=people,dc=example,dc=com', '(objectClass=person)', attributes=['uid'])\n"
      "print(sorted(str(e.uid) for e in c.entries))\n";
  const std::string path = srv_.dir.file("update.py");
  write_file(path, script);
  run_result r = run_program(kPython, {path, std::to_string(srv_.port)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "add 0 addResponse\n"
            "add again 68 addResponse\n"
            "modify 0 modifyResponse\n"
            "uid=frank,ou=people,dc=example,dc=com [('cn', ['F. Ford']), ('mail', ['f2@x', "
            "'f3@x']), ('objectClass', ['person']), ('uid', ['frank'])]\n"
            "delete 0 delResponse\n"
            "delete unknown 32 delResponse\n"
            "['alice', 'frank']\n")
      << r.err;
}

}  // namespace
