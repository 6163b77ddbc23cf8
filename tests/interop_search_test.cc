// Searching the tracing server with the clients people actually use:
// ldapsearch from the OpenLDAP tools and the python3-ldap3 library. Each
// test is skipped when its client is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/base64.h"
#include "tests/data_fixture.h"
#include "tests/harness.h"

using namespace harness;

namespace {

constexpr char kLdapsearch[] = "/usr/bin/ldapsearch";
// The system interpreter: the Debian package puts ldap3 there, not into
// whatever python3 comes first on PATH.
constexpr char kPython[] = "/usr/bin/python3";

std::string person(const std::string& uid) { return "uid=" + uid + ",ou=people,dc=example,dc=com"; }

const std::vector<fixture::entry> kDirectory = {
    {"dc=example,dc=com", {{"objectClass", "domain"}, {"dc", "example"}}},
    {"ou=people,dc=example,dc=com", {{"objectClass", "organizationalUnit"}, {"ou", "people"}}},
    {person("alice"),
     {{"objectClass", "person"},
      {"objectClass", "inetOrgPerson"},
      {"uid", "alice"},
      {"cn", "Alice Adams"},
      {"sn", "Adams"},
      {"mail", "alice@example.com"},
      {"mail", "aa@example.com"},
      {"userPassword", "wonderland"}}},
    {person("bob"),
     {{"objectClass", "person"},
      {"uid", "bob"},
      {"cn", "Bob Brown"},
      {"sn", "Brown"},
      {"mail", "bob@example.com"}}},
    {person("carol"),
     {{"objectClass", "person"},
      {"uid", "carol"},
      {"cn", "Carol Clark"},
      {"sn", "Clark"},
      {"description", "Zo\xc3\xab's manager"}}},
    {person("dave"),
     {{"objectClass", "person"}, {"uid", "dave"}, {"cn", "Dave Davis"}, {"sn", "Davis"}}},
};

constexpr char kBase[] = "dc=example,dc=com";

const std::string kAlice =
    person("alice") +
    " [objectClass=person,inetOrgPerson] [uid=alice] [cn=Alice Adams] [sn=Adams]"
    " [mail=alice@example.com,aa@example.com] [userPassword=wonderland]";

// A journal entry the clients must see like any other.
const char kJournal[] =
    "dn: uid=erin,ou=people,dc=example,dc=com\n"
    "objectClass: person\n"
    "uid: erin\n"
    "cn: Erin Evans\n"
    "sn: Evans\n"
    "\n";

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture::options opts;
    opts.nocase = {"cn", "uid", "mail"};
    // Binds find their entry through the index of DNs.
    opts.hash = {{"uid", 0}, {"dn", 0}};
    opts.sorted = {{"cn", 0}, {"sn", 0}};
    ASSERT_EQ(fixture::write_data_file(srv_.data_path(), kDirectory, opts), "");
    write_file(srv_.dir.file("journal"), kJournal);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why)) << why;
  }

  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(srv_.port); }

  server srv_;
};

// ---- ldapsearch ----------------------------------------------------------------

// The entries of ldapsearch's LDIF output, each as "dn [type=v1,v2] ...",
// consecutive lines of one type forming one attribute.
std::vector<std::string> parse_ldif(const std::string& text) {
  // Unfold continuation lines first.
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    if (!line.empty() && line[0] == ' ' && !lines.empty()) {
      lines.back() += line.substr(1);
    } else if (line.empty() || line[0] != '#') {
      lines.push_back(line);
    }
  }
  std::vector<std::string> entries;
  std::string type;
  for (const std::string& line : lines) {
    if (line.empty()) {
      type.clear();
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      ADD_FAILURE() << "not an attribute line: " << line;
      continue;
    }
    const std::string name = line.substr(0, colon);
    std::string value;
    if (line.compare(colon, 3, ":: ") == 0) {
      const std::string text64 = line.substr(colon + 3);
      std::string bytes(text64.size(), '\0');
      uint64_t n = 0;
      base64_decode(text64.c_str(), bytes.data(), &n);
      value = bytes.substr(0, n);
    } else {
      value = line.substr(colon + (line.compare(colon, 2, ": ") == 0 ? 2 : 1));
    }
    if (name == "dn") {
      entries.push_back(value);
      type.clear();
    } else if (entries.empty()) {
      ADD_FAILURE() << "attribute before any dn: " << line;
    } else if (name == type) {
      entries.back().insert(entries.back().size() - 1, "," + value);
    } else {
      entries.back() += " [" + name + "=" + value + "]";
      type = name;
    }
  }
  return entries;
}

struct ldapsearch_case {
  const char* name;
  std::vector<std::string> args;  // after -b BASE: options, filter, attributes
  std::vector<std::string> expected;
  int status;
};

TEST_F(Interop, LdapsearchFindsTheEntries) {
  if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "ldapsearch is not installed";
  const std::string carol = person("carol") +
                            " [objectClass=person] [uid=carol] [cn=Carol Clark] [sn=Clark]"
                            " [description=Zo\xc3\xab's manager]";
  const ldapsearch_case cases[] = {
      {"indexed equality, every attribute", {"-b", kBase, "(uid=alice)"}, {kAlice}, 0},
      {"\"*\" is every attribute", {"-b", kBase, "(uid=alice)", "*"}, {kAlice}, 0},
      {"a value that needs base64 in LDIF", {"-b", kBase, "(sn=Clark)"}, {carol}, 0},
      {"named attributes in request order",
       {"-b", kBase, "(|(uid=bob)(uid=dave))", "sn", "mail"},
       {person("bob") + " [sn=Brown] [mail=bob@example.com]", person("dave") + " [sn=Davis]"},
       0},
      {"\"1.1\": no attributes",
       {"-s", "one", "-b", "ou=people,dc=example,dc=com", "(objectClass=*)", "1.1"},
       {"ou=people,dc=example,dc=com", person("alice"), person("bob"), person("carol"),
        person("dave"), person("erin")},
       0},
      {"the journal's entry",
       {"-b", kBase, "(cn=erin*)", "cn"},
       {person("erin") + " [cn=Erin Evans]"},
       0},
      {"base scope",
       {"-s", "base", "-b", person("bob"), "(objectClass=*)", "uid"},
       {person("bob") + " [uid=bob]"},
       0},
      {"nothing found", {"-b", kBase, "(uid=zed)"}, {}, 0},
      {"a base that names no entry", {"-b", "dc=example,dc=org", "(uid=alice)"}, {}, 0},
      // sizeLimitExceeded: ldapsearch prints what came and exits with 4.
      // The limit holds for the data file; the journal's entries follow.
      {"size limit",
       {"-z", "2", "-b", kBase, "(sn>=A)", "1.1"},
       {person("alice"), person("bob"), person("erin")},
       4},
      {"a bound client",
       {"-D", person("alice"), "-w", "wonderland", "-b", kBase, "(uid=bob)", "uid"},
       {person("bob") + " [uid=bob]"},
       0},
  };
  for (const ldapsearch_case& c : cases) {
    std::vector<std::string> args = {"-x", "-LLL", "-o", "ldif-wrap=no", "-H", url()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_result r = run_program(kLdapsearch, args, "", {"LDAPNOINIT=1"});
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
    EXPECT_EQ(parse_ldif(r.out), c.expected) << c.name << "\n" << r.out;
  }
  EXPECT_FALSE(srv_.wait_exit(0));
}

TEST_F(Interop, LdapsearchWithAWrongPasswordIsRefused) {
  if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "ldapsearch is not installed";
  run_result r = run_program(kLdapsearch,
                             {"-x", "-LLL", "-H", url(), "-D", person("alice"), "-w", "rabbit",
                              "-b", "dc=example,dc=com", "(uid=bob)"},
                             "", {"LDAPNOINIT=1"});
  EXPECT_EQ(r.status, 49) << r.err;  // invalidCredentials: wrong password or unknown DN alike
  EXPECT_EQ(r.out, "");
}

// ---- python3-ldap3 ------------------------------------------------------------

// Runs each filter of argv[4:] with the attribute selection argv[3]
// ("all", "none" or a comma-separated list) under base argv[2]; prints per
// search "search FILTER", one line per entry in the same form as above,
// and "result CODE".
const char kScript[] = R"(
import sys
from ldap3 import Server, Connection, ALL_ATTRIBUTES, NO_ATTRIBUTES, NONE, SUBTREE

port, base, selection = int(sys.argv[1]), sys.argv[2], sys.argv[3]
attributes = {'all': ALL_ATTRIBUTES, 'none': NO_ATTRIBUTES}.get(selection)
if attributes is None:
    attributes = selection.split(',')
conn = Connection(Server('127.0.0.1', port=port, get_info=NONE), auto_bind=True)
for f in sys.argv[4:]:
    conn.search(base, f, search_scope=SUBTREE, attributes=attributes)
    print('search ' + f)
    for item in conn.response:
        if item['type'] != 'searchResEntry':
            continue
        line = item['dn']
        for name, values in item['raw_attributes'].items():
            line += ' [' + name + '=' + ','.join(v.decode('utf-8') for v in values) + ']'
        print(line)
    print('result %d' % conn.result['result'])
conn.unbind()
)";

bool have_ldap3() { return run_program(kPython, {"-c", "import ldap3"}).status == 0; }

// Output of the script, split at its lines.
std::vector<std::string> run_ldap3(const server& s, const std::string& selection,
                                   const std::vector<std::string>& filters) {
  temp_dir dir;
  write_file(dir.file("search.py"), kScript);
  std::vector<std::string> args = {dir.file("search.py"), std::to_string(s.port),
                                   "dc=example,dc=com", selection};
  args.insert(args.end(), filters.begin(), filters.end());
  run_result r = run_program(kPython, args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t nl = r.out.find('\n', at);
    if (nl == std::string::npos) nl = r.out.size();
    lines.push_back(r.out.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

TEST_F(Interop, Ldap3AllAttributesReturnsEveryAttribute) {
  if (!have_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  EXPECT_EQ(run_ldap3(srv_, "all", {"(uid=alice)", "(uid=erin)"}),
            (std::vector<std::string>{
                "search (uid=alice)", kAlice, "result 0", "search (uid=erin)",
                person("erin") + " [objectClass=person] [uid=erin] [cn=Erin Evans] [sn=Evans]",
                "result 0"}));
  EXPECT_EQ(
      run_ldap3(srv_, "sn,mail", {"(uid=alice)"}),
      (std::vector<std::string>{
          "search (uid=alice)",
          person("alice") + " [sn=Adams] [mail=alice@example.com,aa@example.com]", "result 0"}));
}

// ldap3 encodes filters itself from their text: every kind the server
// supports, and one it does not.
TEST_F(Interop, Ldap3FiltersOfEveryKind) {
  if (!have_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  struct Case {
    std::string filter;
    std::vector<std::string> dns;
  };
  const std::string a = person("alice"), b = person("bob"), c = person("carol"), d = person("dave"),
                    e = person("erin");
  const Case cases[] = {
      {"(uid=ALICE)", {a}},
      {"(cn=b*)", {b}},
      {"(cn=*a*)", {a, c, d, e}},
      {"(sn=*s)", {a, d, e}},
      {"(sn>=C)", {c, d, e}},
      {"(sn<=B)", {a}},
      {"(mail=*)", {a, b}},
      {"(&(objectClass=person)(!(uid=alice)))", {b, c, d, e}},
      {"(|(uid=bob)(sn=Davis))", {b, d}},
      {"(cn~=alice)", {}},
  };
  std::vector<std::string> filters, expected;
  for (const Case& k : cases) {
    filters.push_back(k.filter);
    expected.push_back("search " + k.filter);
    expected.insert(expected.end(), k.dns.begin(), k.dns.end());
    expected.push_back("result 0");
  }
  EXPECT_EQ(run_ldap3(srv_, "none", filters), expected);
}

}  // namespace
