// The update operations end to end over TCP against the tracing server:
// every result code, the exact records appended to the journal, how a
// modify builds the new entry, what the next request sees, the trace
// lines, and (in process) what the production build prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/ldap_message.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/acl.h"
#include "server/operations.h"
#include "store/data_file.h"
#include "store/data_writer.h"
#include "tests/harness.h"

using namespace harness;

namespace {

// ---- BER by hand -----------------------------------------------------------

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

struct change {
  unsigned operation;  // 0 add, 1 delete, 2 replace
  std::string type;
  std::vector<std::string> vals;
};

using attributes = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::string value_set(const std::vector<std::string>& vals) {
  std::string set;
  for (const std::string& v : vals) set += octets(v);
  return tlv(0x31, set);
}

std::string modify_request(uint64_t id, const std::string& dn, const std::vector<change>& changes) {
  std::string list;
  for (const change& c : changes) {
    list += tlv(0x30, tlv(0x0a, std::string(1, static_cast<char>(c.operation))) +
                          tlv(0x30, octets(c.type) + value_set(c.vals)));
  }
  return ldap_message(id, ldap_modify_request, octets(dn) + tlv(0x30, list));
}

std::string add_request(uint64_t id, const std::string& dn, const attributes& attrs) {
  std::string list;
  for (const auto& [type, vals] : attrs) list += tlv(0x30, octets(type) + value_set(vals));
  return ldap_message(id, ldap_add_request, octets(dn) + tlv(0x30, list));
}

std::string del_request(uint64_t id, const std::string& dn) {
  return ldap_message(id, ldap_del_request, dn, /*primitive=*/true);
}

// A subtree search under base for (objectClass=*), all attributes.
std::string search_request(uint64_t id, const std::string& base) {
  std::string contents = octets(base) + tlv(0x0a, "\x02") + tlv(0x0a, std::string(1, '\0')) +
                         tlv(0x02, std::string(1, '\0')) + tlv(0x02, std::string(1, '\0')) +
                         tlv(0x01, std::string(1, '\0')) + tlv(0x87, "objectClass") +
                         tlv(0x30, "");
  return ldap_message(id, ldap_search_request, contents);
}

// Reads the TLV at s[*pos]; false when it does not fit.
bool read_tlv(const std::string& s, size_t* pos, unsigned char* tag, std::string* contents) {
  if (s.size() < 2 || *pos > s.size() - 2) return false;
  *tag = static_cast<unsigned char>(s[*pos]);
  size_t len = static_cast<unsigned char>(s[*pos + 1]);
  size_t at = *pos + 2;
  if (len & 0x80) {
    const size_t n = len & 0x7f;
    len = 0;
    for (size_t i = 0; i < n; ++i) {
      if (at >= s.size()) return false;
      len = len << 8 | static_cast<unsigned char>(s[at++]);
    }
  }
  if (at + len > s.size()) return false;
  *contents = s.substr(at, len);
  *pos = at + len;
  return true;
}

struct result {
  int64_t id = -1;
  uint64_t op = 0;
  int64_t code = -1;
};

result read_result(int fd) {
  result r;
  std::string msg;
  if (read_message(fd, &msg) != 1) return r;
  const char* start = msg.data();
  const char* end = start + msg.size();
  int64_t id;
  uint64_t op, len;
  const uint64_t header = ldap_decode_message(start, end, &id, &op, &len);
  if (header == 0) return r;
  counted_str matched, text, referral;
  if (ldap_decode_result(start + header, end, &r.code, &matched, &text, &referral) == 0) return r;
  // Every update answer carries an empty matchedDN and errorMessage.
  if (op != ldap_bind_response) {
    EXPECT_EQ(matched.len, 0u);
    EXPECT_EQ(text.len, 0u);
  }
  r.op = op;
  r.id = id;
  return r;
}

// The entries a search returns: DN -> its "type: value" lines, sorted (the
// grouping of values into attributes is the search's business).
using entry_map = std::map<std::string, std::vector<std::string>>;

entry_map search(int fd, uint64_t id, const std::string& base) {
  entry_map found;
  EXPECT_TRUE(send_bytes(fd, search_request(id, base)));
  for (;;) {
    std::string msg;
    if (read_message(fd, &msg) != 1) {
      ADD_FAILURE() << "search " << id << " not answered";
      return found;
    }
    size_t pos = 0;
    unsigned char tag;
    std::string envelope, mid, op;
    if (!read_tlv(msg, &pos, &tag, &envelope)) break;
    pos = 0;
    read_tlv(envelope, &pos, &tag, &mid);
    if (!read_tlv(envelope, &pos, &tag, &op)) break;
    if (tag != 0x64) break;  // SearchResultDone
    pos = 0;
    std::string dn, list;
    read_tlv(op, &pos, &tag, &dn);
    read_tlv(op, &pos, &tag, &list);
    std::vector<std::string>& lines = found[dn];
    size_t a = 0;
    std::string attribute;
    while (read_tlv(list, &a, &tag, &attribute)) {
      size_t p = 0;
      std::string type, set, value;
      read_tlv(attribute, &p, &tag, &type);
      read_tlv(attribute, &p, &tag, &set);
      for (size_t v = 0; read_tlv(set, &v, &tag, &value);) lines.push_back(type + ": " + value);
    }
    std::sort(lines.begin(), lines.end());
  }
  return found;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// ---- The directory ---------------------------------------------------------

struct entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> values;
};

const std::vector<entry> kDirectory = {
    {"o=example", {{"objectClass", "organization"}, {"o", "example"}}},
    {"cn=plain,o=example",
     {{"objectClass", "person"}, {"cn", "plain"}, {"userPassword", "letmein"}}},
    {"cn=other,o=example",
     {{"objectClass", "person"}, {"cn", "other"}, {"userPassword", "otherpw"}}},
    {"cn=locked,o=example", {{"objectClass", "locked"}, {"cn", "locked"}}},
    {"cn=datafile,o=example",
     {{"objectClass", "person"},
      {"objectClass", "top"},
      {"cn", "datafile"},
      {"mail", "d@example"},
      {"description", "one"},
      {"description", "two"}}},
    {"cn=gone,o=example", {{"objectClass", "person"}, {"cn", "gone"}}},
};

// cn=j has cn a, mail m, cn b; cn=gone is deleted by the journal.
const char kJournal[] =
    "dn: cn=j,o=example\nobjectClass: person\ncn: a\nmail: m\ncn: b\n\n"
    "dn: cn=gone,o=example\n\n";

struct acl_rule {
  std::string subject;  // "*", "self", or a BER filter
  std::string target;
  uint16_t grant;
  uint16_t deny;
};

const std::string kAny("*\0", 2);
const std::string kSelf = "self";
// (|(objectClass=locked)(dn=cn=locked,o=example)): a delete's change is
// its DN alone, so only the DN can single it out.
const std::string kLocked = tlv(0xa1, tlv(0xa3, octets("objectClass") + octets("locked")) +
                                          tlv(0xa3, octets("dn") + octets("cn=locked,o=example")));

constexpr uint16_t kAll = acl_read | acl_write | acl_add | acl_delete;

// Everyone may do everything, except change, create or delete entries of
// class locked.
const std::vector<acl_rule> kOpenAcl = {
    {kAny, kLocked, 0, acl_write | acl_add | acl_delete},
    {kAny, kAny, kAll, 0},
};

struct layout {
  bool acl = true;          // false: no ACL block at all
  bool dn_index = true;     // false: nothing indexes dn
  std::vector<acl_rule> rules = kOpenAcl;
};

std::string write_directory(const std::string& path, const layout& l) {
  data_writer* w = data_writer_new();
  bool ok = w != nullptr;
  if (ok && l.dn_index) ok = data_writer_hash_index(w, "dn", 0) == 0;
  ok = ok && data_writer_sorted_index(w, "cn", 0) == 0;
  if (ok && l.acl) {
    const char* star[] = {"*"};
    for (const acl_rule& r : l.rules) {
      const int64_t s = data_writer_acl_filter(w, r.subject.data(), r.subject.size());
      const int64_t t = data_writer_acl_filter(w, r.target.data(), r.target.size());
      ok = ok && s >= 0 && t >= 0 &&
           data_writer_acl_entry(w, static_cast<uint32_t>(s), static_cast<uint32_t>(t), r.grant,
                                 r.deny, star, 1) == 0;
    }
  }
  for (const entry& e : kDirectory) {
    ok = ok && data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.values) {
      ok = ok &&
           data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    }
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : (w != nullptr ? data_writer_error(w) : "out of memory");
  data_writer_free(w);
  return error;
}

class Update : public ::testing::Test {
 protected:
  void start(const layout& l = {}, const std::string& journal = kJournal) {
    ASSERT_EQ(write_directory(srv_.data_path(), l), "");
    if (!journal.empty()) write_file(srv_.dir.file("journal"), journal);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why)) << why;
    fd_ = connect_to(srv_.port);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }

  result ask(const std::string& request) {
    EXPECT_TRUE(send_bytes(fd_, request));
    return read_result(fd_);
  }
  std::string journal() const { return read_file(srv_.dir.file("journal")); }

  server srv_;
  int fd_ = -1;
};

void expect_answer(const result& r, uint64_t id, uint64_t op, int64_t code) {
  EXPECT_EQ(r.id, static_cast<int64_t>(id));
  EXPECT_EQ(r.op, op);
  EXPECT_EQ(r.code, code);
}

// ---- Result codes ---------------------------------------------------------

std::vector<std::string> numbered(int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back("v" + std::to_string(i));
  return v;
}

TEST_F(Update, EveryResultCodeWithTheRightResponse) {
  ASSERT_NO_FATAL_FAILURE(start());
  const attributes person = {{"objectClass", {"person"}}, {"cn", {"x"}}};
  const struct {
    const char* why;
    std::string request;  // sent with messageID 7
    uint64_t response;
    int64_t code;
    bool appends;
  } cases[] = {
      {"add of a new DN", add_request(7, "cn=new,o=example", person), ldap_add_response, 0, true},
      {"add of a data-file DN", add_request(7, "cn=plain,o=example", person), ldap_add_response,
       68, false},
      {"add of a journal DN", add_request(7, "cn=j,o=example", person), ldap_add_response, 68,
       false},
      {"add of a DN just added", add_request(7, "CN=new, O=example", person), ldap_add_response,
       68, false},
      {"add of a deleted DN", add_request(7, "cn=gone,o=example", person), ldap_add_response, 0,
       true},
      {"add refused by a deny", add_request(7, "cn=l2,o=example", {{"objectClass", {"locked"}}}),
       ldap_add_response, 50, false},
      {"add with a dn attribute", add_request(7, "cn=n2,o=example", {{"DN", {"cn=x"}}}),
       ldap_add_response, 53, false},
      {"add with a colon in a type", add_request(7, "cn=n2,o=example", {{"cn:", {"x"}}}),
       ldap_add_response, 53, false},
      {"add with a space in a type", add_request(7, "cn=n2,o=example", {{"c n", {"x"}}}),
       ldap_add_response, 53, false},
      {"add with an empty type", add_request(7, "cn=n2,o=example", {{"", {"x"}}}),
       ldap_add_response, 53, false},
      {"add with options on dn", add_request(7, "cn=n2,o=example", {{"dN;lang-en", {"x"}}}),
       ldap_add_response, 53, false},
      {"add with options alone", add_request(7, "cn=n2,o=example", {{";x", {"x"}}}),
       ldap_add_response, 53, false},
      {"add with a type that only starts like dn",
       add_request(7, "cn=n2,o=example", {{"dnQualifier", {"x"}}, {"cn;lang-en", {"x"}}}),
       ldap_add_response, 0, true},
      {"add with 512 value lines", add_request(7, "cn=n4,o=example", {{"mail", numbered(512)}}),
       ldap_add_response, 0, true},
      {"add with an empty DN", add_request(7, "", person), ldap_add_response, 1, false},
      {"add without attributes", ldap_message(7, ldap_add_request, octets("cn=n5") + tlv(0x30, "")),
       ldap_add_response, 2, false},
      {"modify without changes",
       ldap_message(7, ldap_modify_request, octets("cn=j,o=example") + tlv(0x30, "")),
       ldap_modify_response, 2, false},
      {"modify of an unknown DN", modify_request(7, "cn=nobody,o=example", {{0, "cn", {"x"}}}),
       ldap_modify_response, 32, false},
      {"modify of a deleted DN", modify_request(7, "cn=gone2,o=example", {{0, "cn", {"x"}}}),
       ldap_modify_response, 32, false},
      {"modify refused by a deny", modify_request(7, "cn=locked,o=example", {{0, "cn", {"x"}}}),
       ldap_modify_response, 50, false},
      {"modify of the dn attribute",
       modify_request(7, "cn=j,o=example", {{0, "cn", {"x"}}, {2, "dn", {"cn=plain,o=example"}}}),
       ldap_modify_response, 53, false},
      {"modify adding 508 value lines",
       modify_request(7, "cn=j,o=example", {{0, "mail", numbered(508)}}),
       ldap_modify_response, 0, true},
      {"delete of an unknown DN", del_request(7, "cn=nobody,o=example"), ldap_del_response, 32,
       false},
      {"delete refused by a deny", del_request(7, "cn=locked,o=example"), ldap_del_response, 50,
       false},
      {"delete of a data-file DN", del_request(7, "cn=datafile,o=example"), ldap_del_response, 0,
       true},
      {"delete of that DN again", del_request(7, "cn=datafile,o=example"), ldap_del_response, 32,
       false},
      {"delete of a journal DN", del_request(7, "cn=new,o=example"), ldap_del_response, 0, true},
  };
  // cn=gone2 is deleted through the server first.
  expect_answer(ask(add_request(1, "cn=gone2,o=example", person)), 1, ldap_add_response, 0);
  expect_answer(ask(del_request(2, "cn=gone2,o=example")), 2, ldap_del_response, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string before = journal();
    expect_answer(ask(c.request), 7, c.response, c.code);
    if (c.appends) {
      EXPECT_GT(journal().size(), before.size());
      EXPECT_EQ(journal().compare(0, before.size(), before), 0);
    } else {
      EXPECT_EQ(journal(), before);
    }
  }
  EXPECT_NE(srv_.stderr_text().find("could not parse modifyRequest!\n"), std::string::npos);
  EXPECT_NE(srv_.stderr_text().find("lookupdn called for NULL dn!\n"), std::string::npos);
}

TEST_F(Update, WithoutAclBlockEveryUpdateIsRefused) {
  layout l;
  l.acl = false;
  ASSERT_NO_FATAL_FAILURE(start(l));
  expect_answer(ask(add_request(1, "cn=new,o=example", {{"cn", {"x"}}})), 1, ldap_add_response, 50);
  expect_answer(ask(modify_request(2, "cn=j,o=example", {{0, "cn", {"x"}}})), 2,
                ldap_modify_response, 50);
  expect_answer(ask(del_request(3, "cn=plain,o=example")), 3, ldap_del_response, 50);
  EXPECT_EQ(journal(), kJournal);
}

TEST_F(Update, WithoutDnIndexOnlyJournalDnsAreFound) {
  layout l;
  l.dn_index = false;
  ASSERT_NO_FATAL_FAILURE(start(l));
  expect_answer(ask(add_request(1, "cn=new,o=example", {{"cn", {"x"}}})), 1, ldap_add_response, 1);
  expect_answer(ask(modify_request(2, "cn=plain,o=example", {{0, "cn", {"x"}}})), 2,
                ldap_modify_response, 1);
  expect_answer(ask(del_request(3, "cn=plain,o=example")), 3, ldap_del_response, 1);
  EXPECT_EQ(journal(), kJournal);
  EXPECT_NE(srv_.stderr_text().find("no index for dn, lookup failed!\n"), std::string::npos);
  // The journal's own DNs are still found.
  expect_answer(ask(add_request(4, "cn=j,o=example", {{"cn", {"x"}}})), 4, ldap_add_response, 68);
  expect_answer(ask(modify_request(5, "cn=j,o=example", {{1, "mail", {}}})), 5,
                ldap_modify_response, 0);
  expect_answer(ask(del_request(6, "cn=j,o=example")), 6, ldap_del_response, 0);
  // A deleted journal DN is not found without asking the data file.
  expect_answer(ask(del_request(7, "cn=j,o=example")), 7, ldap_del_response, 32);
}

TEST_F(Update, UnwritableJournalAnswersOperationsError) {
  // No byte may be written to any file (a file-size limit of 0), whoever
  // runs the test: every append fails and is taken back.
  ASSERT_EQ(write_directory(srv_.data_path(), {}), "");
  std::string why;
  ASSERT_TRUE(start_server(&srv_, "/bin/sh",
                           {"-c", "ulimit -f 0 && exec \"$0\" \"$1\"",
                            program_path("ferrowyn_trace"), srv_.data_path()},
                           {}, &why))
      << why;
  fd_ = connect_to(srv_.port);
  ASSERT_GE(fd_, 0);
  expect_answer(ask(add_request(1, "cn=new,o=example", {{"cn", {"x"}}})), 1, ldap_add_response, 1);
  expect_answer(ask(modify_request(2, "cn=plain,o=example", {{0, "cn", {"x"}}})), 2,
                ldap_modify_response, 1);
  expect_answer(ask(del_request(3, "cn=plain,o=example")), 3, ldap_del_response, 1);
  // Nothing changed.
  EXPECT_EQ(search(fd_, 4, "cn=plain,o=example").size(), 1u);
}

TEST_F(Update, UndecodableDeleteIsAnsweredProtocolError) {
  ASSERT_NO_FATAL_FAILURE(start());
  expect_answer(ask(ldap_message(1, ldap_del_request, "", true)), 1, ldap_del_response, 2);
  expect_answer(ask(del_request(2, "cn=nobody,o=example")), 2, ldap_del_response, 32);
  EXPECT_EQ(journal(), kJournal);
}

// ---- Journal records -------------------------------------------------------

TEST_F(Update, JournalRecordsAreExact) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::string expected = kJournal;
  const struct {
    const char* why;
    std::string request;
    std::string record;
  } cases[] = {
      {"add: DN normalised, values in order",
       add_request(1, "CN=x, O=example",
                   {{"objectClass", {"person"}}, {"cn", {"x"}}, {"mail", {"a@x", "b@x"}}}),
       "dn: cn=x,o=example\nobjectClass: person\ncn: x\nmail: a@x\nmail: b@x\n\n"},
      {"add: bytes the journal escapes",
       add_request(2, "cn=y,o=example", {{"description", {"a\nb(*)\\"}}}),
       "dn: cn=y,o=example\ndescription: a\\0ab\\28\\2a\\29\\5c\n\n"},
      {"add: an empty SET is one empty value",
       add_request(3, "cn=z,o=example", {{"objectClass", {"person"}}, {"cn", {}}}),
       "dn: cn=z,o=example\nobjectClass: person\ncn: \n\n"},
      {"modify: the stored DN, kept pairs, then the added values",
       modify_request(4, "CN=x; o=example", {{0, "mail", {"c@x"}}, {1, "mail", {"a@x"}}}),
       "dn: cn=x,o=example\nobjectClass: person\ncn: x\nmail: b@x\nmail: c@x\n\n"},
      {"modify of a data-file entry: objectClass first, then the pairs",
       modify_request(5, "cn=datafile,o=example", {{1, "description", {"one"}}}),
       "dn: cn=datafile,o=example\nobjectClass: person\nobjectClass: top\ncn: datafile\n"
       "mail: d@example\ndescription: two\n\n"},
      {"delete: the DN alone", del_request(6, "CN=y, O=example"), "dn: cn=y,o=example\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(ask(c.request).code, 0);
    expected += c.record;
    EXPECT_EQ(journal(), expected);
  }
}

// ---- How a modify builds the new entry ------------------------------------

TEST_F(Update, ModifyRules) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string pairs = "objectClass: person\ncn: a\nmail: m\ncn: b\n";
  const struct {
    const char* why;
    std::vector<change> changes;
    std::string written;  // the value lines of the record
  } cases[] = {
      {"replace moves the attribute to the end", {{2, "cn", {"c"}}},
       "objectClass: person\nmail: m\ncn: c\n"},
      {"add of a value already there writes it twice", {{0, "cn", {"a"}}}, pairs + "cn: a\n"},
      {"delete of a value not there changes nothing", {{1, "cn", {"zz"}}}, pairs},
      {"delete of an attribute not there changes nothing", {{1, "sn", {}}}, pairs},
      {"delete of one value keeps the others", {{1, "cn", {"b"}}},
       "objectClass: person\ncn: a\nmail: m\n"},
      {"delete without values drops every value",
       {{1, "cn", {}}},
       "objectClass: person\nmail: m\n"},
      {"values compare exactly", {{1, "cn", {"A"}}}, pairs},
      {"names compare without case: CN replaces cn", {{2, "CN", {"x"}}},
       "objectClass: person\nmail: m\nCN: x\n"},
      {"options name the attribute too", {{1, "cn;lang-en", {"a"}}},
       "objectClass: person\nmail: m\ncn: b\n"},
      {"replace without values only drops",
       {{2, "mail", {}}},
       "objectClass: person\ncn: a\ncn: b\n"},
      {"modifications apply in order",
       {{0, "sn", {"s"}}, {1, "cn", {"a"}}, {2, "mail", {"n1", "n2"}}},
       "objectClass: person\ncn: b\nsn: s\nmail: n1\nmail: n2\n"},
      {"an add does not protect a pair a later delete drops", {{0, "cn", {"a"}}, {1, "cn", {"a"}}},
       "objectClass: person\nmail: m\ncn: b\ncn: a\n"},
  };
  uint64_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    // Each case starts from the same entry, written by an add.
    const std::string dn = "cn=m" + std::to_string(id) + ",o=example";
    expect_answer(ask(add_request(id, dn,
                                  {{"objectClass", {"person"}}, {"cn", {"a"}}, {"mail", {"m"}},
                                   {"cn", {"b"}}})),
                  id, ldap_add_response, 0);
    ++id;
    const std::string before = journal();
    expect_answer(ask(modify_request(id, dn, c.changes)), id, ldap_modify_response, 0);
    ++id;
    EXPECT_EQ(journal().substr(before.size()), "dn: " + dn + "\n" + c.written + "\n");
  }
}

// Every entry keeps an objectClass: a modify that would drop them all (and
// so delete the entry with no more than the write right) is refused with
// objectClassViolation and changes nothing.
TEST_F(Update, ModifyDroppingEveryObjectClassIsRefused) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string before = journal();
  const std::string requests[] = {
      modify_request(1, "cn=j,o=example", {{1, "objectClass", {}}, {1, "cn", {}}, {2, "mail", {}}}),
      modify_request(1, "cn=j,o=example", {{2, "OBJECTCLASS;x", {}}}),
      modify_request(1, "cn=plain,o=example", {{1, "objectClass", {}}}),
  };
  for (const std::string& r : requests) {
    expect_answer(ask(r), 1, ldap_modify_response, 65);
    EXPECT_EQ(journal(), before);
  }
  EXPECT_EQ(search(fd_, 2, "cn=j,o=example").size(), 1u);
  // Replacing the classes is a change like any other.
  expect_answer(ask(modify_request(3, "cn=j,o=example", {{2, "objectClass", {"device"}}})), 3,
                ldap_modify_response, 0);
  EXPECT_EQ(search(fd_, 4, "cn=j,o=example").size(), 1u);
}

// ---- What the next request sees --------------------------------------------

TEST_F(Update, TheNextRequestSeesTheChange) {
  ASSERT_NO_FATAL_FAILURE(start());
  expect_answer(ask(add_request(1, "cn=n,o=example",
                                {{"objectClass", {"person"}},
                                 {"cn", {"n"}},
                                 {"userPassword", {"pw"}}})),
                1, ldap_add_response, 0);
  entry_map seen = search(fd_, 2, "cn=n,o=example");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen["cn=n,o=example"], sorted({"objectClass: person", "cn: n", "userPassword: pw"}));

  // The new entry binds, with its new password after a modify.
  expect_answer(ask(bind_request(3, "cn=n,o=example", "pw")), 3, ldap_bind_response, 0);
  expect_answer(ask(modify_request(4, "cn=n,o=example", {{2, "userPassword", {"pw2"}}})), 4,
                ldap_modify_response, 0);
  expect_answer(ask(bind_request(5, "cn=n,o=example", "pw")), 5, ldap_bind_response, 49);
  expect_answer(ask(bind_request(6, "cn=n,o=example", "pw2")), 6, ldap_bind_response, 0);
  seen = search(fd_, 7, "cn=n,o=example");
  EXPECT_EQ(seen["cn=n,o=example"], sorted({"objectClass: person", "cn: n", "userPassword: pw2"}));

  // A modify of a data-file entry shadows the record.
  expect_answer(ask(modify_request(8, "cn=plain,o=example", {{0, "mail", {"p@x"}}})), 8,
                ldap_modify_response, 0);
  seen = search(fd_, 9, "cn=plain,o=example");
  EXPECT_EQ(seen["cn=plain,o=example"],
            sorted({"objectClass: person", "cn: plain", "userPassword: letmein", "mail: p@x"}));

  // A deleted data-file entry is no longer found, bound, or deleted.
  expect_answer(ask(del_request(10, "cn=other,o=example")), 10, ldap_del_response, 0);
  EXPECT_EQ(search(fd_, 11, "cn=other,o=example").size(), 0u);
  expect_answer(ask(bind_request(12, "cn=other,o=example", "otherpw")), 12, ldap_bind_response, 49);
  expect_answer(ask(del_request(13, "cn=other,o=example")), 13, ldap_del_response, 32);
  // An add recreates it.
  expect_answer(ask(add_request(14, "cn=other,o=example", {{"objectClass", {"device"}}})), 14,
                ldap_add_response, 0);
  seen = search(fd_, 15, "cn=other,o=example");
  EXPECT_EQ(seen["cn=other,o=example"], std::vector<std::string>{"objectClass: device"});

  // Another connection sees all of it too.
  close(fd_);
  fd_ = connect_to(srv_.port);
  ASSERT_GE(fd_, 0);
  seen = search(fd_, 1, "o=example");
  EXPECT_EQ(seen.count("cn=n,o=example"), 1u);
  EXPECT_EQ(seen["cn=other,o=example"], std::vector<std::string>{"objectClass: device"});
  EXPECT_EQ(seen.count("cn=gone,o=example"), 0u);
}

TEST_F(Update, SelfMayModifyItsOwnEntryOnly) {
  layout l;
  l.rules = {{kAny, kSelf, acl_write, 0}, {kAny, kAny, acl_read, 0}};
  ASSERT_NO_FATAL_FAILURE(start(l));
  const std::vector<change> new_password = {{2, "userPassword", {"changed"}}};
  // Anonymous: the self target applies to no one.
  expect_answer(ask(modify_request(1, "cn=plain,o=example", new_password)), 1,
                ldap_modify_response, 50);
  expect_answer(ask(bind_request(2, "cn=plain,o=example", "letmein")), 2, ldap_bind_response, 0);
  expect_answer(ask(modify_request(3, "cn=other,o=example", new_password)), 3,
                ldap_modify_response, 50);
  expect_answer(ask(modify_request(4, "CN=plain, o=example", new_password)), 4,
                ldap_modify_response, 0);
  // Nobody may add or delete, themselves included.
  expect_answer(ask(del_request(5, "cn=plain,o=example")), 5, ldap_del_response, 50);
  expect_answer(ask(add_request(6, "cn=plain2,o=example", {{"cn", {"x"}}})), 6, ldap_add_response,
                50);
  expect_answer(ask(bind_request(7, "cn=plain,o=example", "changed")), 7, ldap_bind_response, 0);
}

// ---- Round trip -------------------------------------------------------------

// Random adds, modifies and deletes with awkward bytes in the values: what
// the journal holds, read by this process as it goes and by a new process
// from scratch, is exactly what the successful answers promised.
TEST_F(Update, RandomChangesReadBackExactly) {
  ASSERT_NO_FATAL_FAILURE(start({}, ""));
  std::mt19937 random(20261210);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  const std::vector<std::string> dns = {"cn=r0,o=example", "cn=r1,o=example", "cn=r2,o=example",
                                        "cn=r3,o=example"};
  const std::vector<std::string> types = {"cn", "mail", "description", "sn"};
  const std::string alphabet("ab :\n\0(*)\\\x80\xff,=<#", 16);
  auto value = [&] {
    std::string v;
    for (size_t n = pick(5); n > 0; --n) v += alphabet[pick(alphabet.size())];
    return v;
  };
  auto values = [&] {
    std::vector<std::string> v;
    for (size_t n = pick(3); n > 0; --n) v.push_back(value());
    return v;
  };

  // The model: each entry's (type, value) pairs in record order.
  using pair_list = std::vector<std::pair<std::string, std::string>>;
  std::map<std::string, pair_list> model;
  auto lines_of = [](const pair_list& pairs) {
    std::vector<std::string> lines;
    for (const auto& [type, v] : pairs) lines.push_back(type + ": " + v);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  uint64_t id = 1;
  for (int step = 0; step < 300; ++step, ++id) {
    const std::string dn = dns[pick(dns.size())];
    const bool exists = model.count(dn) != 0;
    // Deletes are rarer, so that entries grow.
    const size_t roll = pick(20);
    const int kind = roll < 6 ? 0 : roll < 17 ? 1 : 2;
    if (kind == 0) {
      attributes attrs = {{"objectClass", {"person"}}};
      pair_list pairs = {{"objectClass", "person"}};
      for (size_t n = pick(4); n > 0; --n) {
        std::vector<std::string> v = values();
        if (v.empty()) v.push_back("");  // an empty SET is one empty value
        const std::string& type = types[pick(types.size())];
        attrs.push_back({type, v});
        for (const std::string& one : v) pairs.push_back({type, one});
      }
      const result r = ask(add_request(id, dn, attrs));
      ASSERT_EQ(r.code, exists ? 68 : 0) << "step " << step;
      if (!exists) model[dn] = pairs;
    } else if (kind == 1) {
      std::vector<change> changes;
      for (size_t n = 1 + pick(3); n > 0; --n)
        changes.push_back({static_cast<unsigned>(pick(3)), types[pick(types.size())], values()});
      const result r = ask(modify_request(id, dn, changes));
      ASSERT_EQ(r.code, exists ? 0 : 32) << "step " << step;
      if (!exists) continue;
      pair_list kept;
      for (const auto& [type, v] : model[dn]) {
        bool drop = false;
        for (const change& c : changes) {
          if (c.type != type || c.operation == 0) continue;
          if (c.operation == 2 || c.vals.empty() ||
              std::find(c.vals.begin(), c.vals.end(), v) != c.vals.end()) {
            drop = true;
            break;
          }
        }
        if (!drop) kept.push_back({type, v});
      }
      for (const change& c : changes) {
        if (c.operation == 1) continue;
        for (const std::string& v : c.vals) kept.push_back({c.type, v});
      }
      model[dn] = kept;
    } else {
      const result r = ask(del_request(id, dn));
      ASSERT_EQ(r.code, exists ? 0 : 32) << "step " << step;
      model.erase(dn);
    }
    // The next request sees the entry as the model has it.
    entry_map now = search(fd_, ++id, dn);
    if (model.count(dn) != 0) {
      ASSERT_EQ(now[dn], lines_of(model[dn])) << "step " << step;
    } else {
      ASSERT_EQ(now.size(), 0u) << "step " << step;
    }
  }

  entry_map expected;
  for (const auto& [dn, pairs] : model) expected[dn] = lines_of(pairs);
  auto changed_entries = [&](int fd, uint64_t search_id) {
    entry_map found = search(fd, search_id, "o=example");
    for (auto it = found.begin(); it != found.end();) {
      it = it->first.rfind("cn=r", 0) == 0 ? std::next(it) : found.erase(it);
    }
    return found;
  };
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(changed_entries(fd_, id++), expected);

  // A new process reads the whole journal at start.
  server again;
  ASSERT_EQ(write_directory(again.data_path(), {}), "");
  write_file(again.dir.file("journal"), journal());
  std::string why;
  ASSERT_TRUE(start_server_on_data(&again, program_path("ferrowyn_trace"), {}, &why)) << why;
  const int fd = connect_to(again.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(changed_entries(fd, 1), expected);
  close(fd);
}

// ---- Trace lines -----------------------------------------------------------

TEST_F(Update, TracingBuildTraces) {
  ASSERT_NO_FATAL_FAILURE(start());
  expect_answer(ask(modify_request(1, "CN=j, O=example",
                                   {{2, "mail", {"x", "y"}}, {0, "sn", {"never shown"}}})),
                1, ldap_modify_response, 0);
  expect_answer(ask(modify_request(2, "cn=j,o=example", {{1, "sn", {}}})), 2, ldap_modify_response,
                0);
  expect_answer(ask(modify_request(3, "cn=j,o=example", {{0, "sn", {"s"}}})), 3,
                ldap_modify_response, 0);
  expect_answer(ask(add_request(4, "CN=X, O=example",
                                {{"objectClass", {"person"}}, {"mail", {"a", "b"}}})),
                4, ldap_add_response, 0);
  // An add is traced whatever its result.
  expect_answer(ask(add_request(5, "cn=X,o=example", {{"cn", {"x"}}})), 5, ldap_add_response, 68);
  expect_answer(ask(del_request(6, "CN=X, O=example")), 6, ldap_del_response, 0);
  ASSERT_TRUE(srv_.wait_stderr("Delete Request", 5000));

  EXPECT_EQ(srv_.stdout_text(),
            "modify request: dn \"CN=j, O=example\"\n"
            "Replace\nmail\n -> \"x\"\n -> \"y\"\n"
            "modify request: dn \"cn=j,o=example\"\n"
            "Delete\nsn\n"
            "modify request: dn \"cn=j,o=example\"\n"
            "Add\nsn\n -> \"s\"\n"
            "cn=X,o=example\nobjectClass: person\nmail: a\nmail: b\n"
            "cn=X,o=example\ncn: x\n");
  const std::string err = srv_.stderr_text();
  size_t pos = 0;
  for (const char* line : {"modifyrequest!\n", "modifyrequest!\n", "modifyrequest!\n",
                           "Delete Request for DN \"CN=X, O=example\".\n"}) {
    pos = err.find(line, pos);
    EXPECT_NE(pos, std::string::npos) << line << " in\n" << err;
    if (pos == std::string::npos) break;
    pos += std::string(line).size();
  }
}

// ---- The production build's output, in process ----------------------------

// Runs one request through the operation as the connection loop would,
// with fds 1 and 2 sent to files; returns the answer's bytes.
struct captured {
  std::string answer, out, err;
};

captured run_in_process(const std::string& dir, const std::string& message) {
  const std::string out_path = dir + "/out", err_path = dir + "/err";
  int sockets[2];
  captured c;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return c;
  fflush(stdout);
  fflush(stderr);
  const int saved_out = dup(1), saved_err = dup(2);
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  dup2(err, 2);
  change_check();
  const char* start = message.data();
  const char* end = start + message.size();
  int64_t id;
  uint64_t op, len;
  const uint64_t header = ldap_decode_message(start, end, &id, &op, &len);
  if (op == ldap_modify_request) modify_operation(sockets[0], id, start + header, len, end);
  if (op == ldap_add_request) add_operation(sockets[0], id, start + header, len, end);
  if (op == ldap_del_request) delete_operation(sockets[0], id, start + header, len, end);
  buf_flush(&std_out);
  buf_flush(&std_err);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  close(out);
  close(err);
  close(sockets[0]);
  char buffer[256];
  for (ssize_t n; (n = read(sockets[1], buffer, sizeof buffer)) > 0;) c.answer.append(buffer, n);
  close(sockets[1]);
  c.out = read_file(out_path);
  c.err = read_file(err_path);
  return c;
}

TEST(UpdateProductionBuild, PrintsOnlyWhatBothBuildsPrint) {
  temp_dir dir;
  ASSERT_EQ(write_directory(dir.file("data"), {}), "");
  write_file(dir.file("journal"), kJournal);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  trace_enabled = false;
  data_file_acl_loader = load_acl_block;
  load_data_file("data");
  load_journal();

  const struct {
    const char* why;
    std::string request;
    std::string answer;  // hex
    std::string out, err;
  } cases[] = {
      {"modify", modify_request(2, "CN=j, O=example", {{0, "sn", {"s"}}}),
       "30 0c 02 01 02 67 07 0a 01 00 04 00 04 00", "", "modifyrequest!\n"},
      {"undecodable modify", ldap_message(3, ldap_modify_request, octets("cn=j") + tlv(0x30, "")),
       "30 0c 02 01 03 67 07 0a 01 02 04 00 04 00", "",
       "modifyrequest!\ncould not parse modifyRequest!\n"},
      {"add", add_request(4, "CN=X, O=example", {{"cn", {"x"}}}),
       "30 0c 02 01 04 69 07 0a 01 00 04 00 04 00", "cn=X,o=example\n", ""},
      {"refused add", add_request(5, "cn=X,o=example", {{"cn", {"x"}}}),
       "30 0c 02 01 05 69 07 0a 01 44 04 00 04 00", "cn=X,o=example\n", ""},
      {"delete", del_request(6, "CN=X, O=example"), "30 0c 02 01 06 6b 07 0a 01 00 04 00 04 00",
       "", ""},
      {"delete not found", del_request(7, "cn=X,o=example"),
       "30 0c 02 01 07 6b 07 0a 01 20 04 00 04 00", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const captured got = run_in_process(dir.path, c.request);
    EXPECT_EQ(to_hex(got.answer), c.answer);
    EXPECT_EQ(got.out, c.out);
    EXPECT_EQ(got.err, c.err);
  }
  EXPECT_EQ(read_file(dir.file("journal")),
            std::string(kJournal) +
                "dn: cn=j,o=example\nobjectClass: person\ncn: a\nmail: m\ncn: b\nsn: s\n\n"
                "dn: cn=X,o=example\ncn: x\n\ndn: cn=X,o=example\n\n");
  journal_store_release();
  ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
