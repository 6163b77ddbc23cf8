// What a search selects agrees with what the client may read, end to end
// against the production server on the example directory and its ACLs
// (userPassword readable only by its owner and the administrator).
//
// Invariant: a filter never selects an entry by a value that the client
// may not read, however the attribute is spelt (letter case, options such
// as ";binary") and wherever the entry comes from: a record of the data
// file, a record whose entry the journal has replaced, or an entry that
// only the journal holds. And an entry whose record the journal has
// replaced is found by its current values, never by those it had before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

constexpr char kBase[] = "dc=example,dc=com";
constexpr char kAdmin[] = "cn=admin,dc=example,dc=com";
constexpr char kAdminPassword[] = "admin";

std::string person(const std::string& uid) { return "uid=" + uid + ",ou=people," + kBase; }

std::string source_root() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/"));
}

// The value lines ("name: value") of an entry of the example LDIF.
std::vector<std::string> example_lines(const std::string& dn) {
  std::ifstream in(source_root() + "/examples/example.ldif");
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("dn: ", 0) == 0) {
      inside = line.substr(4) == dn;
    } else if (line.empty()) {
      if (inside) break;
    } else if (inside && line[0] != '#') {
      lines.push_back(line);
    }
  }
  return lines;
}

std::string example_value(const std::string& dn, const std::string& name) {
  for (const std::string& l : example_lines(dn)) {
    if (l.rfind(name + ": ", 0) == 0) return l.substr(name.size() + 2);
  }
  return "";
}

// Filters the wire module does not build.
std::string greater_or_equal(const std::string& type, const std::string& value) {
  return wire::tlv(0xa5, wire::octets(type) + wire::octets(value));
}
std::string less_or_equal(const std::string& type, const std::string& value) {
  return wire::tlv(0xa6, wire::octets(type) + wire::octets(value));
}
std::string final_substring(const std::string& type, const std::string& tail) {
  return wire::tlv(0xa4, wire::octets(type) + wire::tlv(0x30, wire::tlv(0x82, tail)));
}
std::string both(const std::string& a, const std::string& b) { return wire::tlv(0xa0, a + b); }

// An entry that holds a password, and how it holds it.
struct holder {
  const char* what;
  std::string uid;
  std::string value;   // the stored password text
  std::string stored;  // the attribute description it is stored under
};

// Every kind of item a client could probe a value with.
std::vector<std::pair<std::string, std::string>> probes(const std::string& type,
                                                        const std::string& value) {
  return {
      {"equality", wire::equal(type, value)},
      {"initial substring", wire::prefix(type, value.substr(0, 3))},
      {"final substring", final_substring(type, value.substr(value.size() - 3))},
      {"greater or equal", greater_or_equal(type, value)},
      {"less or equal", less_or_equal(type, value)},
      {"presence", wire::present(type)},
  };
}

class SearchConsistency : public ::testing::Test {
 protected:
  // The example directory with its ACLs, an extra record whose password
  // is stored under an option, and a journal. uid has a hash index and
  // title a sorted one, so that filters on them are answered from the
  // indexes, which hold the values of the data file.
  void start(const std::string& journal) {
    const std::string extra = srv_.dir.file("extra.ldif");
    write_file(extra, "dn: " + person("opt") +
                          "\nobjectClass: person\nuid: opt\ncn: Opt\nsn: Opt\n"
                          "userPassword;binary: opt-secret\n\n");
    const std::string examples = source_root() + "/examples/";
    const run_result r = run_program(program_path("ldifimport"),
                                     {"-h", "uid", "-i", "title", "-a", examples + "example.acl",
                                      srv_.data_path(), examples + "example.ldif", extra});
    ASSERT_EQ(r.status, 0) << r.err;
    if (!journal.empty()) write_file(srv_.dir.file("journal"), journal);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn"), {}, &why)) << why;
  }

  // A connection bound as dn (anonymous when empty); -1 on failure.
  int open_as(const std::string& dn = "", const std::string& password = "") {
    const int fd = connect_to(srv_.port);
    if (fd < 0 || dn.empty()) return fd;
    send_bytes(fd, bind_request(next_id_++, dn, password));
    if (wire::read_result(fd).code != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // The DNs a subtree search for the filter answers on connection fd.
  std::vector<std::string> found(int fd, const std::string& filter) {
    send_bytes(fd, wire::search_request(next_id_++, kBase, 2, filter, {"1.1"}));
    const wire::search_answer a = wire::read_search(fd);
    EXPECT_EQ(a.code, 0);
    std::vector<std::string> dns;
    for (const auto& [dn, lines] : a.entries) dns.push_back(dn);
    return dns;
  }

  server srv_;
  uint64_t next_id_ = 1;
};

// Alice's entry as the journal has it after a change of her title: every
// value she had, her password included, with the new title.
std::string alice_with_title(const std::string& title) {
  std::string record = "dn: " + person("alice") + "\n";
  for (const std::string& l : example_lines(person("alice")))
    record += l.rfind("title: ", 0) == 0 ? "title: " + title + "\n" : l + "\n";
  return record + "\n";
}

// Entries that only the journal holds, each storing its password under
// another spelling of userPassword.
std::string journal_only(const std::string& uid, const std::string& stored,
                         const std::string& value) {
  return "dn: " + person(uid) + "\nobjectClass: person\nuid: " + uid + "\ncn: " + uid +
         "\nsn: " + uid + "\n" + stored + ": " + value + "\n\n";
}

TEST_F(SearchConsistency, FiltersNeverSelectByAPasswordTheClientMayNotRead) {
  ASSERT_NO_FATAL_FAILURE(start(alice_with_title("Chairwoman") +
                                journal_only("zed", "userPassword;x", "zed-secret") +
                                journal_only("yan", "UserPassword;binary", "yan-secret") +
                                journal_only("xia", "USERPASSWORD", "xia-secret")));
  const holder holders[] = {
      {"a record", "bob", example_value(person("bob"), "userPassword"), "userPassword"},
      {"a record, under an option", "opt", "opt-secret", "userPassword;binary"},
      {"a record the journal replaced", "alice", example_value(person("alice"), "userPassword"),
       "userPassword"},
      // The journal drops the options of a name and files a name that the
      // attribute table knows (letter case aside) under the table's
      // spelling: all three are held as userPassword.
      {"a journal entry, written with an option", "zed", "zed-secret", "userPassword"},
      {"a journal entry, written with an option in other case", "yan", "yan-secret",
       "userPassword"},
      {"a journal entry, written in capitals", "xia", "xia-secret", "userPassword"},
  };
  const std::vector<std::string> spellings = {"userPassword",   "USERPASSWORD",
                                              "userpassword",   "userPassword;x",
                                              "UserPassword;binary", "userPassword;binary"};
  const int anonymous = open_as();
  const int admin = open_as(kAdmin, kAdminPassword);
  ASSERT_GE(anonymous, 0);
  ASSERT_GE(admin, 0);
  for (const holder& h : holders) {
    SCOPED_TRACE(h.what);
    ASSERT_FALSE(h.value.empty());
    const std::string own = wire::equal("uid", h.uid);
    // The probes are sound: the administrator, who may read the password,
    // finds the entry by it as it is stored.
    for (const auto& [kind, probe] : probes(h.stored, h.value)) {
      EXPECT_EQ(found(admin, both(own, probe)), std::vector<std::string>{person(h.uid)})
          << kind << " on " << h.stored;
    }
    std::vector<std::string> tried = spellings;
    tried.push_back(h.stored);
    for (const std::string& type : tried) {
      for (const auto& [kind, probe] : probes(type, h.value)) {
        EXPECT_EQ(found(anonymous, both(own, probe)), std::vector<std::string>{})
            << kind << " on " << type;
        EXPECT_EQ(found(anonymous, probe), std::vector<std::string>{}) << kind << " on " << type;
      }
    }
  }
  close(anonymous);
  close(admin);
}

// The attack the invariant stops: once the administrator has changed his
// own entry, the journal holds it; his old record must not answer an
// anonymous filter on the password, in any spelling.
TEST_F(SearchConsistency, AnEditedAdministratorEntryKeepsItsPasswordHidden) {
  ASSERT_NO_FATAL_FAILURE(start(""));
  const std::string hash = example_value(kAdmin, "userPassword");
  ASSERT_FALSE(hash.empty());
  const int admin = open_as(kAdmin, kAdminPassword);
  ASSERT_GE(admin, 0);
  send_bytes(admin, wire::modify_replace(next_id_++, kAdmin, "description", {"edited once"}));
  ASSERT_EQ(wire::read_result(admin).code, 0);
  EXPECT_EQ(found(admin, wire::equal("description", "edited once")),
            std::vector<std::string>{kAdmin});
  close(admin);

  const int anonymous = open_as();
  ASSERT_GE(anonymous, 0);
  for (const char* type : {"userPassword", "USERPASSWORD", "UserPassword", "userPassword;x"}) {
    for (const auto& [kind, probe] : probes(type, hash)) {
      EXPECT_EQ(found(anonymous, both(wire::equal("cn", "admin"), probe)),
                std::vector<std::string>{})
          << kind << " on " << type;
    }
  }
  close(anonymous);
}

// A record the journal replaced is found by what it holds now: the old
// title selects nothing, the new one selects it, whether the indexes (which
// hold the old title) propose the record or not.
TEST_F(SearchConsistency, AReplacedRecordIsFoundByItsCurrentValuesOnly) {
  const std::string old_title = example_value(person("alice"), "title");
  ASSERT_FALSE(old_title.empty());
  ASSERT_NO_FATAL_FAILURE(start(alice_with_title("Chairwoman")));
  const int fd = open_as();
  ASSERT_GE(fd, 0);
  const std::string uid = wire::equal("uid", "alice");
  const struct {
    const char* what;
    std::string filter;
    std::vector<std::string> expected;
  } cases[] = {
      {"the old title", wire::equal("title", old_title), {}},
      {"the old title, from the index", both(uid, wire::equal("title", old_title)), {}},
      {"the old title's first letters", wire::prefix("title", old_title.substr(0, 5)), {}},
      {"at or after the old title only", both(greater_or_equal("title", old_title),
                                              less_or_equal("title", old_title)), {}},
      {"the new title", wire::equal("title", "Chairwoman"), {person("alice")}},
      {"the new title, from the index", both(uid, wire::equal("title", "Chairwoman")),
       {person("alice")}},
      {"the new title's first letters", wire::prefix("title", "Chair"), {person("alice")}},
  };
  for (const auto& c : cases) EXPECT_EQ(found(fd, c.filter), c.expected) << c.what;
  close(fd);
}

}  // namespace
