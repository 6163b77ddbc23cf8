// The tracing server's search, end to end over TCP: requests are written as
// raw BER here, answers read back message by message. Covers scopes and
// filters (the same answers with and without indexes), sizeLimit, the
// choice of attributes, the journal's entries in place of records and
// after them, access control, the very large entries, the trace lines and
// a request that cannot be decoded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "codec/ldap_message.h"
#include "codec/search.h"
#include "store/data_writer.h"
#include "tests/data_fixture.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

// ---- Requests, as raw BER ------------------------------------------------------

std::string tlv(uint8_t tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  uint64_t n = content.size();
  if (n < 128) {
    out += static_cast<char>(n);
  } else {
    std::string len;
    for (; n != 0; n >>= 8) len.insert(len.begin(), static_cast<char>(n & 0xff));
    out += static_cast<char>(0x80 | len.size());
    out += len;
  }
  return out + content;
}

// A non-negative INTEGER or ENUMERATED, in the fewest octets.
std::string number(uint8_t tag, uint64_t v) {
  std::string bytes;
  do {
    bytes.insert(bytes.begin(), static_cast<char>(v & 0xff));
    v >>= 8;
  } while (v != 0);
  if (static_cast<unsigned char>(bytes[0]) & 0x80) bytes.insert(bytes.begin(), '\0');
  return tlv(tag, bytes);
}

std::string octets(const std::string& s) { return tlv(0x04, s); }

// Filters.
std::string eq(const std::string& a, const std::string& v) {
  return tlv(0xa3, octets(a) + octets(v));
}
std::string ge(const std::string& a, const std::string& v) {
  return tlv(0xa5, octets(a) + octets(v));
}
std::string le(const std::string& a, const std::string& v) {
  return tlv(0xa6, octets(a) + octets(v));
}
std::string approx(const std::string& a, const std::string& v) {
  return tlv(0xa8, octets(a) + octets(v));
}
std::string present(const std::string& a) { return tlv(0x87, a); }
// Substrings: initial / any / final pieces, empty ones left out.
std::string substrings(const std::string& a, const std::string& initial, const std::string& any,
                       const std::string& final_) {
  std::string pieces;
  if (!initial.empty()) pieces += tlv(0x80, initial);
  if (!any.empty()) pieces += tlv(0x81, any);
  if (!final_.empty()) pieces += tlv(0x82, final_);
  return tlv(0xa4, octets(a) + tlv(0x30, pieces));
}
std::string all_of(std::initializer_list<std::string> fs) {
  std::string c;
  for (const std::string& f : fs) c += f;
  return tlv(0xa0, c);
}
std::string any_of(std::initializer_list<std::string> fs) {
  std::string c;
  for (const std::string& f : fs) c += f;
  return tlv(0xa1, c);
}
std::string none_of(const std::string& f) { return tlv(0xa2, f); }

struct query {
  query(std::string base_, uint32_t scope_ = 2, std::string filter_ = present("objectClass"),
        std::vector<std::string> attributes_ = {}, uint64_t size_limit_ = 0, uint32_t deref_ = 0,
        uint64_t time_limit_ = 0)
      : base(std::move(base_)),
        scope(scope_),
        filter(std::move(filter_)),
        attributes(std::move(attributes_)),
        size_limit(size_limit_),
        deref(deref_),
        time_limit(time_limit_) {}
  std::string base;
  uint32_t scope;
  std::string filter;
  std::vector<std::string> attributes;  // requested descriptions
  uint64_t size_limit;
  uint32_t deref;
  uint64_t time_limit;
  bool types_only = false;
};

std::string search_contents(const query& q) {
  std::string attrs;
  for (const std::string& a : q.attributes) attrs += octets(a);
  return octets(q.base) + number(0x0a, q.scope) + number(0x0a, q.deref) +
         number(0x02, q.size_limit) + number(0x02, q.time_limit) +
         tlv(0x01, std::string(1, q.types_only ? '\x01' : '\x00')) + q.filter + tlv(0x30, attrs);
}

std::string search_message(uint64_t id, const query& q) {
  return ldap_message(id, ldap_search_request, search_contents(q));
}

// ---- Answers -------------------------------------------------------------------

// An entry as text: the DN, then " [type=v1,v2]" per attribute in order.
std::string show(const search_entry& e) {
  std::string out(e.objectName.bytes, e.objectName.len);
  for (const partial_attribute* a = e.attributes; a != nullptr; a = a->next) {
    // The decoder lists values last first.
    std::vector<std::string> vals;
    for (const string_node* v = a->vals; v != nullptr; v = v->next)
      vals.insert(vals.begin(), std::string(v->str.bytes, v->str.len));
    out += " [" + std::string(a->type.bytes, a->type.len) + "=";
    for (size_t i = 0; i < vals.size(); ++i) out += (i ? "," : "") + vals[i];
    out += "]";
  }
  return out;
}

struct answer {
  std::vector<std::string> entries;         // show() of each SearchResultEntry
  std::vector<uint64_t> entry_sizes;        // the protocolOp content length of each
  std::vector<std::string> entry_messages;  // each whole message
  int64_t result_code = -1;                 // of the SearchResultDone
  std::string done_message;                 // the whole SearchResultDone
  bool complete = false;                    // ended with a well-formed SearchResultDone
};

// Reads the messages answering request `id` up to its SearchResultDone.
answer read_answer(int fd, uint64_t id) {
  answer out;
  std::string msg;
  while (read_message(fd, &msg) == 1) {
    int64_t got_id;
    uint64_t op, len;
    const char* end = msg.data() + msg.size();
    uint64_t header = ldap_decode_message(msg.data(), end, &got_id, &op, &len);
    EXPECT_NE(header, 0u) << to_hex(msg);
    if (header == 0) return out;
    EXPECT_EQ(static_cast<uint64_t>(got_id), id);
    EXPECT_EQ(header + len, msg.size()) << "one message per write, nothing behind it";
    if (op == ldap_search_result_entry) {
      search_entry e{};
      EXPECT_EQ(ldap_decode_search_entry(msg.data() + header, end, &e), len) << to_hex(msg);
      out.entries.push_back(show(e));
      out.entry_sizes.push_back(len);
      out.entry_messages.push_back(msg);
      free_partial_attributes(e.attributes);
      continue;
    }
    EXPECT_EQ(op, ldap_search_result_done);
    counted_str matched, text, referral;
    out.complete = op == ldap_search_result_done &&
                   ldap_decode_result_full(msg.data() + header, end, &out.result_code, &matched,
                                           &text, &referral) == len &&
                   matched.len == 0 && text.len == 0 && referral.len == 0;
    out.done_message = msg;
    return out;
  }
  ADD_FAILURE() << "the answer ended before its SearchResultDone";
  return out;
}

// One search on its own connection.
answer search(uint16_t port, const query& q, uint64_t id = 2) {
  int fd = connect_to(port);
  EXPECT_GE(fd, 0);
  if (fd < 0) return {};
  EXPECT_TRUE(send_bytes(fd, search_message(id, q)));
  answer a = read_answer(fd, id);
  send_bytes(fd, unbind_request(id + 1));
  wait_closed(fd, 5000);
  close(fd);
  return a;
}

// The lines of text that begin with prefix, in order.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    at = nl + 1;
  }
  return out;
}

// How often piece occurs in text.
uint64_t count_of(const std::string& text, const std::string& piece) {
  uint64_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// ---- The directory ---------------------------------------------------------------

std::string person(const std::string& cn) { return "cn=" + cn + ",ou=people,o=example"; }

const std::vector<fixture::entry> kDirectory = {
    {"o=example", {{"objectClass", "organization"}, {"o", "example"}}},
    {"ou=people,o=example", {{"objectClass", "organizationalUnit"}, {"ou", "people"}}},
    {person("alice"),
     {{"objectClass", "person"},
      {"objectClass", "inetOrgPerson"},
      {"cn", "alice"},
      {"sn", "Adams"},
      {"uid", "alice"},
      {"mail", "alice@example.com"},
      {"mail", "a@example.com"}}},
    {person("bob"),
     {{"objectClass", "person"},
      {"cn", "bob"},
      {"sn", "Brown"},
      {"uid", "bob"},
      {"mail", "bob@example.com"}}},
    {person("carol"),
     {{"objectClass", "person"}, {"cn", "carol"}, {"sn", "Clark"}, {"uid", "carol"}}},
    {person("dave"),
     {{"objectClass", "person"},
      {"objectClass", "inetOrgPerson"},
      {"cn", "dave"},
      {"sn", "Davis"},
      {"uid", "dave"},
      {"mail", "dave@example.com"}}},
    {person("erin"),
     {{"objectClass", "person"},
      {"cn", "erin"},
      {"sn", "Evans"},
      {"uid", "erin"},
      {"description", "on leave"}}},
    {"ou=groups,o=example", {{"objectClass", "organizationalUnit"}, {"ou", "groups"}}},
    {"cn=staff,ou=groups,o=example",
     {{"objectClass", "groupOfNames"},
      {"cn", "staff"},
      {"member", person("alice")},
      {"member", person("bob")}}},
};

// The same directory with indexes (hash on uid, sorted tables on cn and
// sn) or without any; cn compares without case in both.
fixture::options directory_options(bool indexed) {
  fixture::options o;
  o.nocase = {"cn"};
  if (indexed) {
    o.sorted = {{"cn", 0}, {"sn", 0}};
    o.hash = {{"uid", 0}};
  }
  return o;
}

// Starts ferrowyn_trace on the entries, with a journal in its working
// directory when one is given.
void start(server* s, const std::vector<fixture::entry>& entries, const fixture::options& opts,
           const std::string& journal = "") {
  ASSERT_EQ(fixture::write_data_file(s->data_path(), entries, opts), "");
  if (!journal.empty()) write_file(s->dir.file("journal"), journal);
  std::string why;
  ASSERT_TRUE(start_server_on_data(s, program_path("ferrowyn_trace"), {}, &why)) << why;
}

// The DN-only forms of entries, for answers to "1.1" requests.
std::vector<std::string> dns(std::initializer_list<std::string> names) { return names; }

// ---- Scopes and filters ------------------------------------------------------------

struct filter_case {
  const char* name;
  std::string base;
  uint32_t scope;
  std::string filter;
  std::vector<std::string> expected;  // DNs, in record order
};

std::vector<filter_case> filter_cases() {
  const std::string a = person("alice"), b = person("bob"), c = person("carol"), d = person("dave"),
                    e = person("erin");
  const std::string staff = "cn=staff,ou=groups,o=example";
  return {
      {"whole subtree, every entry",
       "o=example",
       2,
       present("objectClass"),
       {"o=example", "ou=people,o=example", a, b, c, d, e, "ou=groups,o=example", staff}},
      {"single level takes the base and its children",
       "o=example",
       1,
       present("objectClass"),
       {"o=example", "ou=people,o=example", "ou=groups,o=example"}},
      {"single level below ou=people",
       "ou=people,o=example",
       1,
       eq("objectClass", "person"),
       {a, b, c, d, e}},
      {"base object", a, 0, present("objectClass"), {a}},
      {"base object of an entry that is not there",
       "cn=zed,ou=people,o=example",
       0,
       present("objectClass"),
       {}},
      {"base naming no entry", "o=elsewhere", 2, present("objectClass"), {}},
      {"empty base is the whole directory", "", 2, eq("uid", "carol"), {c}},
      {"base compared without case and spaces", "OU=People, O=Example", 2, eq("uid", "bob"), {b}},
      {"hashed equality", "o=example", 2, eq("uid", "alice"), {a}},
      {"equality without a match", "o=example", 2, eq("uid", "nobody"), {}},
      {"equality without case", "o=example", 2, eq("cn", "ALICE"), {a}},
      {"initial substring", "o=example", 2, substrings("cn", "c", "", ""), {c}},
      {"inner substring", "o=example", 2, substrings("cn", "", "A", ""), {a, c, d, staff}},
      {"final substring", "o=example", 2, substrings("sn", "", "", "s"), {a, d, e}},
      {"greater or equal", "o=example", 2, ge("sn", "D"), {d, e}},
      {"less or equal", "o=example", 2, le("sn", "Brown"), {a, b}},
      {"and with a not",
       "o=example",
       2,
       all_of({ge("sn", "A"), none_of(eq("cn", "alice"))}),
       {b, c, d, e}},
      {"and of unindexed items",
       "o=example",
       2,
       all_of({eq("objectClass", "inetOrgPerson"), present("mail")}),
       {a, d}},
      {"or of hashed equalities",
       "o=example",
       2,
       any_of({eq("uid", "erin"), eq("uid", "alice")}),
       {a, e}},
      {"or with an unindexed member",
       "o=example",
       2,
       any_of({eq("uid", "alice"), eq("mail", "bob@example.com")}),
       {a, b}},
      {"a second value matches", "o=example", 2, eq("mail", "a@example.com"), {a}},
      {"present", "o=example", 2, present("description"), {e}},
      {"objectClass held in a later pair",
       "o=example",
       2,
       eq("objectClass", "inetOrgPerson"),
       {a, d}},
      {"the DN as an attribute", "o=example", 2, eq("dn", b), {b}},
      {"unknown attribute matches nothing", "o=example", 2, eq("shoeSize", "9"), {}},
      {"approximate never matches", "o=example", 2, approx("cn", "alice"), {}},
  };
}

// Both servers answer every filter with the same entries: the indexes only
// narrow the records that are tested, never the answer.
TEST(Search, ScopesAndFiltersGiveTheSameAnswerWithAndWithoutIndexes) {
  server indexed, plain;
  ASSERT_NO_FATAL_FAILURE(start(&indexed, kDirectory, directory_options(true)));
  ASSERT_NO_FATAL_FAILURE(start(&plain, kDirectory, directory_options(false)));
  for (const filter_case& c : filter_cases()) {
    query q{c.base, c.scope, c.filter, {"1.1"}};
    answer with = search(indexed.port, q);
    answer without = search(plain.port, q);
    EXPECT_EQ(with.entries, c.expected) << c.name << " (indexed)";
    EXPECT_EQ(without.entries, c.expected) << c.name << " (not indexed)";
    EXPECT_TRUE(with.complete && without.complete) << c.name;
    EXPECT_EQ(with.result_code, 0) << c.name;
    EXPECT_EQ(without.result_code, 0) << c.name;
  }
  // Only the indexed server looked values up in index blocks.
  EXPECT_EQ(plain.stderr_text().find("query can be answered with index!\nmatch["),
            std::string::npos);
  EXPECT_NE(indexed.stderr_text().find("query can be answered with index!\nmatch["),
            std::string::npos);
  EXPECT_FALSE(indexed.wait_exit(0));
  EXPECT_FALSE(plain.wait_exit(0));
}

TEST(Search, SeveralRequestsOnOneConnectionAreAnsweredInTurn) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true)));
  int fd = connect_to(s.port);
  ASSERT_GE(fd, 0);
  // Sent together: each is answered in full, under its own messageID.
  ASSERT_TRUE(send_bytes(fd, search_message(7, {"o=example", 2, eq("uid", "bob"), {"1.1"}}) +
                                 search_message(8, {"o=example", 2, eq("uid", "erin"), {"1.1"}})));
  EXPECT_EQ(read_answer(fd, 7).entries, dns({person("bob")}));
  EXPECT_EQ(read_answer(fd, 8).entries, dns({person("erin")}));
  close(fd);
}

TEST(Search, AnswersAreExactMessages) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true)));
  answer a = search(s.port, {"o=example", 2, eq("uid", "bob"), {"sn"}}, 5);
  // SEQUENCE { messageID 5, [APPLICATION 4] { objectName,
  //   SEQUENCE { SEQUENCE { "sn", SET { "Brown" } } } } }
  ASSERT_EQ(a.entry_messages.size(), 1u);
  EXPECT_EQ(to_hex(a.entry_messages[0]),
            to_hex(hex_bytes("30 32 02 01 05 64 2d 04 1a") + person("bob") +
                   hex_bytes("30 0f 30 0d 04 02 73 6e 31 07 04 05") + "Brown"));
  // SEQUENCE { messageID 5, [APPLICATION 5] { resultCode 0, "", "" } }
  EXPECT_EQ(to_hex(a.done_message), "30 0c 02 01 05 65 07 0a 01 00 04 00 04 00");
}

// ---- sizeLimit ----------------------------------------------------------------------

// One person more in the journal, so the answers show that the journal pass
// is not limited; and alice deleted, so they show that only entries sent
// count towards the limit: a record deleted in the journal does not.
const char kLimitJournal[] =
    "dn: cn=alice,ou=people,o=example\n"
    "\n"
    "dn: cn=frank,ou=people,o=example\n"
    "objectClass: person\n"
    "cn: frank\n"
    "\n";

TEST(Search, SizeLimitStopsTheDataFilePassOnly) {
  struct Case {
    uint64_t limit;
    std::vector<std::string> expected;
    int64_t code;
  };
  const std::string b = person("bob"), c = person("carol"), d = person("dave"), e = person("erin"),
                    f = person("frank");
  const Case cases[] = {
      {0, {b, c, d, e, f}, 0},  // no limit
      {1, {b, f}, 4},           // the deleted alice takes no place
      {2, {b, c, f}, 4},
      {4, {b, c, d, e, f}, 0},  // exactly the four matching records left
      {5, {b, c, d, e, f}, 0},
      {6, {b, c, d, e, f}, 0},
  };
  for (bool indexed : {true, false}) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(indexed), kLimitJournal));
    for (const Case& k : cases) {
      // (sn>=A) is answered from the sorted table when there is one.
      query q{"o=example", 2, any_of({ge("sn", "A"), eq("cn", "frank")}), {"1.1"}, k.limit};
      if (indexed) q.filter = ge("sn", "A");
      answer a = search(s.port, q);
      if (indexed) {
        // frank has no sn: only the unindexed filter names him, so the
        // indexed server's journal pass finds nobody.
        std::vector<std::string> want = k.expected;
        want.erase(std::remove(want.begin(), want.end(), f), want.end());
        EXPECT_EQ(a.entries, want) << "limit " << k.limit;
      } else {
        EXPECT_EQ(a.entries, k.expected) << "limit " << k.limit;
      }
      EXPECT_EQ(a.result_code, k.code) << "limit " << k.limit << (indexed ? " indexed" : "");
      EXPECT_TRUE(a.complete);
    }
  }
}

// A replaced record that matches when the data-file pass has reached the
// limit is not lost: the journal pass, which is not limited, sends it, and
// once, like every other matching journal entry.
TEST(Search, SizeLimitLeavesAMatchingReplacementToTheJournalPass) {
  const char journal[] =
      "dn: cn=bob,ou=people,o=example\nobjectClass: person\ncn: bob\nsn: Brown\n\n"
      "dn: cn=carol,ou=people,o=example\nobjectClass: person\ncn: carol\nsn: Clark\n\n"
      "dn: cn=frank,ou=people,o=example\nobjectClass: person\ncn: frank\nsn: Fischer\n\n";
  const std::string a = person("alice"), b = person("bob"), c = person("carol"),
                    d = person("dave"), e = person("erin"), f = person("frank");
  struct Case {
    uint64_t limit;
    std::vector<std::string> expected;
    int64_t code;
  };
  const Case cases[] = {
      {0, {a, b, c, d, e, f}, 0},
      {1, {a, b, c, f}, 4},  // stopped at bob's replacement
      {2, {a, b, c, f}, 4},  // stopped at carol's
      {3, {a, b, c, f}, 4},  // stopped at dave's record
      {4, {a, b, c, d, f}, 4},
      {5, {a, b, c, d, e, f}, 0},
  };
  for (bool indexed : {true, false}) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(indexed), journal));
    for (const Case& k : cases) {
      answer got = search(s.port, {"o=example", 2, ge("sn", "A"), {"1.1"}, k.limit});
      EXPECT_EQ(got.entries, k.expected) << "limit " << k.limit << (indexed ? " indexed" : "");
      EXPECT_EQ(got.result_code, k.code) << "limit " << k.limit;
    }
  }
}

// ---- Attributes ---------------------------------------------------------------------

struct attribute_case {
  const char* name;
  std::vector<std::string> requested;
  std::string expected;                // show() of alice's entry
  std::vector<std::string> not_found;  // names reported as unknown, in order
};

TEST(Search, RequestedAttributesChooseWhatIsSent) {
  const std::string a = person("alice");
  const std::string all = a +
                          " [objectClass=person,inetOrgPerson] [cn=alice] [sn=Adams] [uid=alice]"
                          " [mail=alice@example.com,a@example.com]";
  const attribute_case cases[] = {
      {"none: every attribute of the table but dn", {}, all, {}},
      {"\"*\" is every attribute", {"*"}, all, {}},
      {"\"*\" among names is every attribute", {"cn", "*", "nosuch"}, all, {"nosuch"}},
      {"\"1.1\" names no attribute", {"1.1"}, a, {"1.1"}},
      {"dn gives the DN", {"dn"}, a + " [dn=" + a + "]", {}},
      {"DN in other case is a name like any other", {"DN"}, a, {}},
      {"objectClass gives every value",
       {"objectClass"},
       a + " [objectClass=person,inetOrgPerson]",
       {}},
      {"objectclass gives the values held in pairs only",
       {"objectclass"},
       a + " [objectclass=inetOrgPerson]",
       {}},
      {"the type is spelled as requested",
       {"CN", "Mail"},
       a + " [CN=alice] [Mail=alice@example.com,a@example.com]",
       {}},
      {"request order", {"uid", "cn", "sn"}, a + " [uid=alice] [cn=alice] [sn=Adams]", {}},
      {"unknown names are reported and left out",
       {"shoeSize", "cn", "hat"},
       a + " [cn=alice]",
       {"shoeSize", "hat"}},
      {"a known attribute the entry lacks", {"description", "member"}, a, {}},
      {"twice requested, twice sent", {"sn", "sn"}, a + " [sn=Adams] [sn=Adams]", {}},
  };
  for (bool indexed : {true, false}) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(indexed)));
    for (const attribute_case& c : cases) {
      const size_t before = s.stderr_text().size();
      answer got = search(s.port, {a, 0, present("objectClass"), c.requested});
      ASSERT_EQ(got.entries.size(), 1u) << c.name;
      EXPECT_EQ(got.entries[0], c.expected) << c.name;
      std::vector<std::string> lines =
          lines_starting(s.stderr_text().substr(before), "cannot find attribute");
      std::vector<std::string> want;
      for (const std::string& n : c.not_found)
        want.push_back("cannot find attribute \"" + n + "\"!");
      EXPECT_EQ(lines, want) << c.name;
    }
  }
}

TEST(Search, TypesOnlyDerefAndTimeLimitChangeNothing) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true)));
  query q{"ou=people,o=example", 1, eq("uid", "bob"), {"sn", "uid"}};
  answer plain = search(s.port, q);
  ASSERT_EQ(plain.entries, dns({person("bob") + " [sn=Brown] [uid=bob]"}));
  q.types_only = true;
  q.deref = 3;
  q.time_limit = 1;
  EXPECT_EQ(search(s.port, q).entries, plain.entries);
}

TEST(Search, TableOfOnlyDnAndObjectClassGivesEntriesWithoutAttributes) {
  server s;
  ASSERT_NO_FATAL_FAILURE(
      start(&s,
            {{"o=bare", {{"objectClass", "organization"}}},
             {"cn=x,o=bare", {{"objectClass", "device"}, {"objectClass", "top"}}}},
            {}));
  EXPECT_EQ(search(s.port, {"o=bare", 2, present("objectClass")}).entries,
            dns({"o=bare", "cn=x,o=bare"}));
  EXPECT_EQ(search(s.port, {"cn=x,o=bare", 0, present("objectClass"), {"objectClass"}}).entries,
            dns({"cn=x,o=bare [objectClass=device,top]"}));
}

// An entry with more attributes and values than the server keeps in its
// frame, and a table of more names than it resolves there: nothing is cut.
TEST(Search, LargeEntriesAreSentWhole) {
  fixture::entry wide{"cn=wide,o=x", {{"objectClass", "thing"}}};
  std::string expected_all = "cn=wide,o=x [objectClass=thing]";
  for (int i = 0; i < 100; ++i) {
    const std::string name = "attr" + std::to_string(i);
    std::string shown;
    for (int j = 0; j < 4; ++j) {
      const std::string v =
          "value " + std::to_string(i) + "." + std::to_string(j) + std::string(40, 'v');
      wide.values.push_back({name, v});
      shown += (j ? "," : "") + v;
    }
    expected_all += " [" + name + "=" + shown + "]";
  }
  fixture::entry tall{"cn=tall,o=x", {{"objectClass", "thing"}}};
  std::string expected_tall = "cn=tall,o=x [many=";
  for (int j = 0; j < 3000; ++j) {
    const std::string v = "many value number " + std::to_string(j);
    tall.values.push_back({"many", v});
    expected_tall += (j ? "," : "") + v;
  }
  expected_tall += "]";
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, {{"o=x", {{"objectClass", "organization"}}}, wide, tall}, {}));
  answer a = search(s.port, {"cn=wide,o=x", 0, present("objectClass")});
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0], expected_all);
  EXPECT_GT(a.entry_sizes[0], 16384u);
  answer t = search(s.port, {"cn=tall,o=x", 0, present("objectClass"), {"many"}});
  ASSERT_EQ(t.entries.size(), 1u);
  EXPECT_EQ(t.entries[0], expected_tall);
}

// The size of the SearchResultEntry contents for dn with one attribute
// "v" holding a value of n bytes.
uint64_t entry_size(const std::string& dn, uint64_t n) {
  std::string value(n, 'x');
  string_node val{{value.size(), value.data()}, 0, nullptr};
  partial_attribute attr{{1, "v"}, &val, nullptr};
  search_entry e{{dn.size(), dn.data()}, &attr};
  return ldap_encode_search_entry(nullptr, &e);
}

// The value length that makes the entry exactly `size` bytes long.
uint64_t value_length_for(const std::string& dn, uint64_t size) {
  for (uint64_t n = size - 64; n < size; ++n)
    if (entry_size(dn, n) == size) return n;
  ADD_FAILURE() << "no value length gives " << size;
  return 0;
}

// Entries of up to 1,048,576 bytes are sent from the data file, up to
// 1,048,575 from the journal; larger ones are left out silently.
TEST(Search, EntriesAboveTheSizeCapAreLeftOut) {
  constexpr uint64_t cap = 1'048'576;
  struct Case {
    std::string cn;
    uint64_t size;
    bool from_journal;
    bool sent;
  };
  const Case cases[] = {
      {"r0", cap - 1, false, true}, {"r1", cap, false, true}, {"r2", cap + 1, false, false},
      {"j0", cap - 1, true, true},  {"j1", cap, true, false}, {"j2", cap + 1, true, false},
  };
  std::vector<fixture::entry> entries = {{"o=x", {{"objectClass", "organization"}}}};
  std::string journal;
  for (const Case& c : cases) {
    const std::string dn = "cn=" + c.cn + ",o=x";
    const std::string value(value_length_for(dn, c.size), 'x');
    if (c.from_journal) {
      journal += "dn: " + dn + "\nobjectClass: thing\nv: " + value + "\n\n";
    } else {
      entries.push_back({dn, {{"objectClass", "thing"}, {"v", value}}});
    }
  }
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, entries, {}, journal));
  answer a = search(s.port, {"o=x", 1, present("v"), {"v"}});
  std::vector<uint64_t> want_sizes;
  for (const Case& c : cases)
    if (c.sent) want_sizes.push_back(c.size);
  EXPECT_EQ(a.entry_sizes, want_sizes);
  EXPECT_TRUE(a.complete);
  EXPECT_EQ(a.result_code, 0);
}

// ---- The journal --------------------------------------------------------------------

// bob replaced (and no longer matching sn=Brown), carol deleted, frank new;
// frank's attributes interleave names and spell cn in capitals, which the
// journal maps to the table's spelling.
const char kJournal[] =
    "dn: cn=bob,ou=people,o=example\n"
    "objectClass: person\n"
    "cn: bob\n"
    "sn: Builder\n"
    "mail: bob@builder.example.com\n"
    "\n"
    "dn: cn=carol,ou=people,o=example\n"
    "\n"
    "dn: cn=frank,ou=people,o=example\n"
    "objectClass: person\n"
    "CN: frank\n"
    "objectClass: top\n"
    "sn: Fischer\n"
    "hobby: chess\n"
    "hobby: go\n"
    "\n";

TEST(Search, JournalEntriesShadowRecordsAndAddEntries) {
  const std::string a = person("alice"), b = person("bob"), d = person("dave"), e = person("erin"),
                    f = person("frank");
  const std::string bob = b + " [sn=Builder]";
  struct Case {
    const char* name;
    query q;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"replaced, deleted and new entries in pass order",
       {"o=example", 2, eq("objectClass", "person"), {"sn"}},
       {a + " [sn=Adams]", bob, d + " [sn=Davis]", e + " [sn=Evans]", f + " [sn=Fischer]"}},
      {"a replaced record is matched through its journal entry, not by its old values",
       {"o=example", 2, eq("sn", "Brown"), {"sn"}},
       {}},
      {"a journal entry that matches where its record does not",
       {"o=example", 2, eq("sn", "Builder"), {"sn"}},
       {bob}},
      {"a deleted entry is found by neither pass",
       {"o=example", 2, eq("uid", "carol"), {"sn"}},
       {}},
      {"a deleted entry is not found by name either",
       {person("carol"), 0, present("objectClass")},
       {}},
      {"the journal pass honours base and scope",
       {"ou=people,o=example", 1, eq("cn", "frank"), {"1.1"}},
       {f}},
      {"every distinct name, in the order of first appearance",
       {f, 0, present("objectClass")},
       {f + " [objectClass=person,top] [cn=frank] [sn=Fischer] [hobby=chess,go]"}},
      {"\"*\" likewise",
       {f, 0, present("objectClass"), {"*"}},
       {f + " [objectClass=person,top] [cn=frank] [sn=Fischer] [hobby=chess,go]"}},
      {"dn gives the DN; names are exact in journal entries",
       {f, 0, present("objectClass"), {"dn", "CN", "cn", "hobby"}},
       {f + " [dn=" + f + "] [cn=frank] [hobby=chess,go]"}},
      {"a replacement's attributes, not the record's",
       {b, 0, present("objectClass")},
       {b + " [objectClass=person] [cn=bob] [sn=Builder] [mail=bob@builder.example.com]"}},
  };
  for (bool indexed : {true, false}) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(indexed), kJournal));
    for (int round = 0; round < 2; ++round) {
      // The second round shows that the marks of one search do not leak
      // into the next.
      for (const Case& c : cases) {
        answer got = search(s.port, c.q);
        EXPECT_EQ(got.entries, c.expected) << c.name << (indexed ? " (indexed)" : "");
        EXPECT_TRUE(got.complete) << c.name;
      }
    }
  }
}

// The journal pass answers in journal order, the order in which the
// entries were created, however it finds them: by a walk over the whole
// journal, or through the values of an equality item every match must
// pass. gus is written again last, which must not move him.
const char kOrderJournal[] =
    "dn: cn=gus,ou=people,o=example\nobjectClass: person\ncn: gus\nsn: Same\n"
    "description: twin\n\n"
    "dn: cn=hal,ou=people,o=example\nobjectClass: person\ncn: hal\nsn: Same\n"
    "description: twin\n\n"
    "dn: cn=ida,ou=people,o=example\nobjectClass: person\ncn: ida\nsn: Same\n"
    "description: twin\n\n"
    "dn: cn=gus,ou=people,o=example\nobjectClass: person\ncn: gus\nsn: Same\n"
    "description: twin\nmail: gus@example.com\n\n";

// Every way the journal pass may find the three, with the same answer.
struct order_query {
  const char* name;
  query q;
};
std::vector<order_query> order_queries() {
  return {
      {"through the values of an equality", {"o=example", 2, eq("description", "twin"), {"1.1"}}},
      {"through an equality under an and",
       {"o=example", 2, all_of({eq("sn", "Same"), present("description")}), {"1.1"}}},
      {"through the second operand of an and",
       {"o=example", 2, all_of({present("description"), eq("description", "twin")}), {"1.1"}}},
      {"by a walk over the journal", {"o=example", 2, present("description"), {"1.1"}}},
      {"by a walk, single level", {"ou=people,o=example", 1, ge("sn", "Sam"), {"1.1"}}},
  };
}

TEST(Search, TheJournalPassAnswersInJournalOrder) {
  const std::vector<std::string> expected = {person("gus"), person("hal"), person("ida")};
  for (bool indexed : {true, false}) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(indexed), kOrderJournal));
    for (const order_query& o : order_queries()) {
      std::vector<std::string> got = search(s.port, o.q).entries;
      // erin's record holds a description of its own.
      got.erase(std::remove(got.begin(), got.end(), person("erin")), got.end());
      EXPECT_EQ(got, expected) << o.name << (indexed ? " (indexed)" : "");
    }
  }
}

// A journal whose last record lacks its empty line, appended to, is read
// again from its start; the appended entry then comes last, in the order
// of the journal, whichever way the journal pass finds it.
TEST(Search, TheJournalPassKeepsJournalOrderAcrossAReRead) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true),
                                "dn: cn=gus,ou=people,o=example\nobjectClass: person\ncn: gus\n"
                                "sn: Same\ndescription: twin\n\n"
                                "dn: cn=hal,ou=people,o=example\nobjectClass: person\ncn: hal\n"
                                "sn: Same\ndescription: twin\n"));
  search(s.port, order_queries()[0].q);
  std::string journal = read_file(s.dir.file("journal"));
  journal +=
      "dn: cn=ida,ou=people,o=example\nobjectClass: person\ncn: ida\nsn: Same\n"
      "description: twin\n\n";
  write_file(s.dir.file("journal"), journal);
  // Whatever the store made of hal's unfinished record, gus comes first
  // and ida, appended last, comes last, and every way agrees.
  const std::vector<std::string> walked =
      search(s.port, {"o=example", 2, ge("sn", "Sam"), {"1.1"}}).entries;
  ASSERT_GE(walked.size(), 2u);
  EXPECT_EQ(walked.front(), person("gus"));
  EXPECT_EQ(walked.back(), person("ida"));
  for (const order_query& o : order_queries()) {
    std::vector<std::string> got = search(s.port, o.q).entries;
    got.erase(std::remove(got.begin(), got.end(), person("erin")), got.end());
    EXPECT_EQ(got, walked) << o.name;
  }
}

TEST(Search, JournalAppendedWhileServingIsAnsweredAtTheNextRequest) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true)));
  query q{"o=example", 2, eq("uid", "dave"), {"mail"}};
  EXPECT_EQ(search(s.port, q).entries, dns({person("dave") + " [mail=dave@example.com]"}));
  write_file(s.dir.file("journal"),
             "dn: cn=dave,ou=people,o=example\nobjectClass: person\nuid: dave\nmail: d@new\n\n");
  EXPECT_EQ(search(s.port, q).entries, dns({person("dave") + " [mail=d@new]"}));
}

// ---- Access control ------------------------------------------------------------------

// One ACL entry: subject and target are "*", "self" or a BER filter;
// names are attribute names, "*" for all.
struct acl_rule {
  std::string subject;
  std::string target;
  uint16_t grant;
  uint16_t deny;
  std::vector<const char*> names;
};

// Writes the entries with an ACL block of the rules, in order.
std::string write_acl_data_file(const std::string& path, const std::vector<fixture::entry>& entries,
                                const fixture::options& opts, const std::vector<acl_rule>& rules) {
  data_writer* w = data_writer_new();
  if (w == nullptr) return "out of memory";
  bool ok = true;
  for (const std::string& a : opts.nocase)
    ok = ok && data_writer_case_insensitive(w, a.c_str()) == 0;
  for (const auto& [a, type] : opts.sorted)
    ok = ok && data_writer_sorted_index(w, a.c_str(), type) == 0;
  for (const auto& [a, buckets] : opts.hash)
    ok = ok && data_writer_hash_index(w, a.c_str(), buckets) == 0;
  auto filter = [&](const std::string& f) {
    const std::string bytes = f == "*" ? std::string("*\0", 2) : f;
    const int64_t i = data_writer_acl_filter(w, bytes.data(), bytes.size());
    ok = ok && i >= 0;
    return static_cast<uint32_t>(i);
  };
  for (const acl_rule& r : rules) {
    const uint32_t subject = filter(r.subject), target = filter(r.target);
    ok = ok && data_writer_acl_entry(w, subject, target, r.grant, r.deny, r.names.data(),
                                     r.names.size()) == 0;
  }
  for (const fixture::entry& e : entries) {
    ok = ok && data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.values)
      ok =
          ok && data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : data_writer_error(w);
  data_writer_free(w);
  return error;
}

// Starts ferrowyn_trace on the entries with the rules, and a journal.
void start_with_acl(server* s, const std::vector<acl_rule>& rules, const std::string& journal) {
  ASSERT_EQ(write_acl_data_file(s->data_path(), kDirectory, directory_options(true), rules), "");
  write_file(s->dir.file("journal"), journal);
  std::string why;
  ASSERT_TRUE(start_server_on_data(s, program_path("ferrowyn_trace"), {}, &why)) << why;
}

constexpr uint16_t kRead = 1;

// Anonymous clients: carol (a record) and gina (a journal entry) are
// hidden, nobody's mail or hobby is readable, the rest is.
const std::vector<acl_rule> kRules = {
    {"*", any_of({eq("cn", "carol"), eq("cn", "gina")}), 0, kRead, {"*"}},
    {"*", "*", 0, kRead, {"mail", "hobby"}},
    {"*", "*", 2, 0, {"*"}},  // write only: passed over by reads
    {"*", "*", kRead, 0, {"*"}},
};

const char kAclJournal[] =
    "dn: cn=frank,ou=people,o=example\n"
    "objectClass: person\n"
    "cn: frank\n"
    "hobby: chess\n"
    "sn: Fischer\n"
    "\n"
    "dn: cn=gina,ou=people,o=example\n"
    "objectClass: person\n"
    "cn: gina\n"
    "sn: Gray\n"
    "\n";

TEST(SearchAcl, AclsHideEntriesAndAttributes) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start_with_acl(&s, kRules, kAclJournal));

  const std::string a = person("alice"), b = person("bob"), d = person("dave"), e = person("erin"),
                    f = person("frank");
  struct Case {
    const char* name;
    query q;
    std::vector<std::string> expected;
    int64_t code;
  };
  const Case cases[] = {
      {"hidden entry and hidden attribute, from records and the journal",
       {"o=example", 2, eq("objectClass", "person"), {"cn", "mail", "hobby"}},
       {a + " [cn=alice]", b + " [cn=bob]", d + " [cn=dave]", e + " [cn=erin]", f + " [cn=frank]"},
       0},
      {"all attributes minus the hidden ones",
       {f, 0, present("objectClass")},
       {f + " [objectClass=person] [cn=frank] [sn=Fischer]"},
       0},
      {"all attributes of a record",
       {a, 0, present("objectClass")},
       {a + " [objectClass=person,inetOrgPerson] [cn=alice] [sn=Adams] [uid=alice]"},
       0},
      // carol's record matches but is not sent, and takes no place.
      {"a hidden entry does not count toward sizeLimit",
       {"o=example", 2, ge("sn", "A"), {"1.1"}, 3},
       {a, b, d, f},
       4},
      // A filter on an attribute the client may not read would tell its
      // values by the entries it selects: it selects none.
      {"filter on a hidden attribute of records",
       {"o=example", 2, present("mail"), {"cn"}},
       {},
       0},
      {"filter on a hidden attribute of journal entries",
       {"o=example", 2, eq("hobby", "chess"), {"cn"}},
       {},
       0},
      {"hidden attribute inside an or",
       {"o=example", 2, any_of({eq("cn", "bob"), present("mail")}), {"cn"}},
       {},
       0},
  };
  for (const Case& c : cases) {
    answer got = search(s.port, c.q);
    EXPECT_EQ(got.entries, c.expected) << c.name;
    EXPECT_EQ(got.result_code, c.code) << c.name;
  }
}

// Each entry is tested once per search, whether the ACLs show it or not:
// a record, or the journal entry that replaces it, in the data-file pass,
// and only the entries that pass has not dealt with in the journal pass.
// The approximate item says so: it reports itself each time it is tested.
TEST(SearchAcl, EachEntryIsTestedOncePerSearch) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start_with_acl(
      &s, kRules,
      std::string(kAclJournal) +
          "dn: cn=carol,ou=people,o=example\nobjectClass: person\ncn: carol\nsn: Clark\n\n"
          "dn: cn=bob,ou=people,o=example\nobjectClass: person\ncn: bob\nsn: Brown\n\n"));
  // Both operands are tested for every entry the filter is tried on.
  const std::string filter = all_of({present("objectClass"), none_of(approx("cn", "x"))});
  struct Case {
    const char* name;
    query q;
    uint64_t tests;  // entries tested
    size_t answered;
  };
  const Case cases[] = {
      {"a record", {person("alice"), 0, filter, {"1.1"}}, 1, 1},
      {"a replaced record the client may read", {person("bob"), 0, filter, {"1.1"}}, 1, 1},
      {"a replaced record the ACLs hide", {person("carol"), 0, filter, {"1.1"}}, 1, 0},
      {"a journal entry the client may read", {person("frank"), 0, filter, {"1.1"}}, 1, 1},
      {"a journal entry the ACLs hide", {person("gina"), 0, filter, {"1.1"}}, 1, 0},
      // The nine records (carol's and bob's replaced) and frank and gina;
      // carol and gina are hidden.
      {"the whole directory", {"o=example", 2, filter, {"1.1"}}, 11, 9},
  };
  uint64_t id = 10;
  uint64_t before = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(search(s.port, c.q, id).entries.size(), c.answered) << c.name;
    // The unbind that follows the search is traced after everything the
    // search wrote.
    const std::string unbind = "with id " + std::to_string(id + 1) + ": op 2.\n";
    ASSERT_TRUE(s.wait_stderr(unbind, 5000)) << c.name;
    const std::string err = s.stderr_text();
    const uint64_t now = count_of(err.substr(0, err.find(unbind)), "unsupported query type\n");
    EXPECT_EQ(now - before, c.tests) << c.name;
    before = now;
    id += 2;
  }
}

TEST(SearchAcl, WithoutAnEntryForEveryoneAnonymousClientsSeeNothing) {
  server s;
  ASSERT_NO_FATAL_FAILURE(
      start_with_acl(&s, {{eq("uid", "alice"), "*", kRead, 0, {"*"}}}, kAclJournal));
  answer got = search(s.port, {"o=example", 2, present("objectClass")});
  EXPECT_TRUE(got.entries.empty());
  EXPECT_TRUE(got.complete);
  EXPECT_EQ(got.result_code, 0);
}

// ---- Trace and failures -------------------------------------------------------------

TEST(SearchTrace, ScopeAndDerefNamesAreTraced) {
  const char* scopes[] = {"baseObject", "singleLevel", "wholeSubtree"};
  const char* derefs[] = {"neverDerefAliases", "derefInSearching", "derefFindingBaseObj",
                          "derefAlways"};
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(false)));
  for (uint32_t scope = 0; scope < 3; ++scope) {
    for (uint32_t deref = 0; deref < 4; ++deref) {
      query q{"o=example", scope, present("o"), {"1.1"}, 12345678901ull, deref, 300};
      search(s.port, q);
      const std::string line = std::string("search request: baseObject \"o=example\", scope ") +
                               scopes[scope] + ", " + derefs[deref] +
                               "\nsize limit 12345678901, time limit 300\n";
      EXPECT_NE(s.stderr_text().find(line), std::string::npos) << line;
    }
  }
}

// The whole trace of one search, from the message line to the last entry.
TEST(SearchTrace, EveryLineOfAScan) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(false)));
  query q{"ou=people,o=example",
          1,
          all_of({eq("objectClass", "inetOrgPerson"), substrings("mail", "", "", "@example.com")}),
          {"mail", "nosuch", "*"},
          9,
          2,
          30};
  const std::string request = search_message(4, q);
  answer a = search(s.port, q, 4);
  ASSERT_EQ(a.entry_sizes.size(), 2u);
  const std::string expected =
      "got message of length " + std::to_string(search_contents(q).size()) +
      " with id 4: op 3.\n"
      "search request: baseObject \"ou=people,o=example\", scope singleLevel, derefFindingBaseObj\n"
      "size limit 9, time limit 30\n"
      "&(mail has suffix \"@example.com\",[objectClass == inetOrgPerson])\n"
      "attributes: mail,nosuch,*\n"
      "\n"
      "cannot find attribute \"nosuch\"!\n"
      "query can NOT be answered with index!\n"
      "8 attributes:\n"
      "  dn: cn=alice,ou=people,o=example\n"
      "  objectClass: person\n"
      "  objectClass: inetOrgPerson\n"
      "  cn: alice\n"
      "  sn: Adams\n"
      "  uid: alice\n"
      "  mail: alice@example.com\n"
      "  mail: a@example.com\n"
      "sre len " +
      std::to_string(a.entry_sizes[0]) +
      ".\n"
      "7 attributes:\n"
      "  dn: cn=dave,ou=people,o=example\n"
      "  objectClass: person\n"
      "  objectClass: inetOrgPerson\n"
      "  cn: dave\n"
      "  sn: Davis\n"
      "  uid: dave\n"
      "  mail: dave@example.com\n"
      "sre len " +
      std::to_string(a.entry_sizes[1]) +
      ".\n"
      "got message of length 0 with id 5: op 2.\n";
  EXPECT_TRUE(s.wait_stderr("with id 5: op 2.\n", 5000));
  EXPECT_EQ(s.stderr_text(), expected);
}

TEST(SearchTrace, IndexUseAndJournalEntriesAreTraced) {
  server s;
  ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(true), kJournal));
  // bob's record is answered by his journal entry: no record trace for
  // him, only the "sre len" line of what was sent.
  answer a = search(s.port, {"o=example", 2, eq("cn", "bob"), {"sn"}});
  ASSERT_EQ(a.entries, dns({person("bob") + " [sn=Builder]"}));
  const std::string err = s.stderr_text();
  const size_t index =
      err.find("[cn == bob]attributes: sn\n\nquery can be answered with index!\n");
  ASSERT_NE(index, std::string::npos) << err;
  const std::string tail = err.substr(index);
  EXPECT_EQ(tail.find(" attributes:\n"), std::string::npos) << tail;
  EXPECT_NE(tail.find("sre len " + std::to_string(a.entry_sizes[0]) + ".\n"), std::string::npos)
      << tail;
}

TEST(SearchFailure, AnUndecodableRequestIsAnsweredProtocolErrorAndTheServerGoesOn) {
  struct Case {
    const char* name;
    std::string contents;
  };
  const std::string base = octets("o=example");
  const std::string tail = number(0x02, 0) + number(0x02, 0) + tlv(0x01, std::string(1, '\0')) +
                           present("cn") + tlv(0x30, "");
  const Case cases[] = {
      {"scope 3", base + number(0x0a, 3) + number(0x0a, 0) + tail},
      {"negative sizeLimit", base + number(0x0a, 2) + number(0x0a, 0) + hex_bytes("02 01 ff") +
                                 number(0x02, 0) + tlv(0x01, std::string(1, '\0')) + present("cn") +
                                 tlv(0x30, "")},
      {"attribute that is not an OCTET STRING",
       base + number(0x0a, 2) + number(0x0a, 0) + number(0x02, 0) + number(0x02, 0) +
           tlv(0x01, std::string(1, '\0')) + present("cn") +
           tlv(0x30, octets("cn") + number(0x02, 1))},
      {"filter cut short", base + number(0x0a, 2) + number(0x0a, 0) + number(0x02, 0) +
                               number(0x02, 0) + tlv(0x01, std::string(1, '\0')) +
                               hex_bytes("a3 05 04 02 63 6e")},
  };
  for (const Case& c : cases) {
    server s;
    ASSERT_NO_FATAL_FAILURE(start(&s, kDirectory, directory_options(false)));
    int fd = connect_to(s.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_bytes(fd, ldap_message(3, ldap_search_request, c.contents)));
    // Answered protocolError; the connection and the server go on.
    const wire::search_answer a = wire::read_search(fd);
    EXPECT_EQ(a.code, 2) << c.name;
    EXPECT_TRUE(a.entries.empty()) << c.name;
    ASSERT_TRUE(send_bytes(fd, wire::search_request(4, "o=example", 2, wire::present("cn"), {"cn"})));
    EXPECT_EQ(wire::read_search(fd).code, 0) << c.name;
    close(fd);
    EXPECT_FALSE(s.wait_exit(200)) << c.name;
    EXPECT_EQ(s.stderr_text().find("got message of length " + std::to_string(c.contents.size()) +
                                   " with id 3: op 3.\ncouldn't parse search request!\n"),
              0u)
        << c.name;
  }
}

}  // namespace
