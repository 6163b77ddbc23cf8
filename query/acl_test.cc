#include "query/acl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/filter.h"
#include "codec/filter_parse.h"
#include "core/bytes.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/match.h"
#include "store/data_file.h"
#include "store/data_writer.h"
#include "store/record.h"
#include "tests/capture_stderr.h"
#include "tests/data_fixture.h"

namespace {

constexpr uint16_t r_ = acl_read;
constexpr uint16_t w_ = acl_write;
constexpr uint16_t a_ = acl_add;
constexpr uint16_t d_ = acl_delete;

// ---- Building data files ------------------------------------------------------

std::string le32(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// The bytes a filter of the ACL table is stored as: "self", "*" (the any
// marker) or the BER encoding of a filter given in its string form.
std::string filter_bytes(const std::string& text) {
  if (text == "self") return "self";
  if (text == "*") return std::string("*\0", 2);
  std::vector<char> storage(text.size());
  Filter* f = nullptr;
  filter_parse_error error{};
  EXPECT_EQ(filter_from_text(text.data(), text.data() + text.size(), storage.data(), &f, &error),
            text.size())
      << text;
  std::string out(ldap_encode_filter(nullptr, f), '\0');
  ldap_encode_filter(out.data(), f);
  free_filter(f);
  return out;
}

struct acl_line {
  uint32_t subject;
  uint32_t target;
  uint16_t grant;
  uint16_t deny;
  std::vector<std::string> names;
};

// ACLs built by the writer from filters and entries.
struct acl_spec {
  std::vector<std::string> filters;  // "self", "*" or a filter's string form
  std::vector<acl_line> entries;
};

// An ACL block given whole: contents after the type and next words, and
// the positions of the words that hold block-relative offsets.
struct raw_block {
  std::string bytes;
  std::vector<uint64_t> relative;

  // Block offset of the next byte appended.
  uint32_t here() const { return static_cast<uint32_t>(8 + bytes.size()); }
  void word(uint32_t v) { bytes += le32(v); }
  void words(std::initializer_list<uint32_t> vs) {
    for (uint32_t v : vs) word(v);
  }
  // A word holding a block offset, which becomes a file offset.
  void offset(uint32_t block_offset) {
    relative.push_back(bytes.size());
    word(block_offset);
  }
  // Rewrites the word at block offset at (holding a block offset).
  void set(uint32_t at, uint32_t v) { bytes.replace(at - 8, 4, le32(v)); }
  void text(const std::string& s) { bytes += s; }
};

// Records: an organisation, two people and a device.
const std::vector<fixture::entry> kRecords = {
    {"o=b", {{"objectClass", "organization"}, {"o", "b"}}},
    {"cn=admin,o=b", {{"objectClass", "person"}, {"cn", "admin"}, {"userPassword", "secret"}}},
    {"cn=x,o=b",
     {{"objectClass", "top"},
      {"objectClass", "person"},
      {"cn", "x"},
      {"mail", "x@b"},
      {"userPassword", "pw"}}},
    {"cn=d,o=b", {{"objectClass", "device"}, {"cn", "d"}, {"description", "self"}}},
};

// Writes the records and one form of ACL block (or none) to path.
std::string write_file(const std::string& path, const acl_spec* acl, const raw_block* raw = nullptr,
                       const std::vector<fixture::entry>& records = kRecords) {
  data_writer* w = data_writer_new();
  bool ok = data_writer_case_insensitive(w, "cn") == 0 && data_writer_hash_index(w, "dn", 0) == 0;
  if (ok && raw != nullptr)
    ok = data_writer_acl_block_relative(w, raw->bytes.data(), raw->bytes.size(),
                                        raw->relative.data(), raw->relative.size()) == 0;
  if (ok && acl != nullptr) {
    for (const std::string& f : acl->filters) {
      const std::string b = filter_bytes(f);
      ok = ok && data_writer_acl_filter(w, b.data(), b.size()) >= 0;
    }
    for (const acl_line& e : acl->entries) {
      std::vector<const char*> names;
      for (const std::string& n : e.names) names.push_back(n.c_str());
      ok = ok && data_writer_acl_entry(w, e.subject, e.target, e.grant, e.deny, names.data(),
                                       names.size()) == 0;
    }
  }
  for (const fixture::entry& e : records) {
    ok = ok && data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [n, v] : e.values)
      ok = ok && data_writer_add_value(w, n.data(), n.size(), v.data(), v.size()) == 0;
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : data_writer_error(w);
  data_writer_free(w);
  return error;
}

// ---- Reading the loaded file ------------------------------------------------------

uint32_t record_of(const std::string& dn) {
  for (uint32_t i = 0; i < data_store.record_count; ++i) {
    const uint32_t r = record_offset(i);
    if (dn == data_store.base + data_word(uint64_t{r} + 8)) return r;
  }
  ADD_FAILURE() << "no record " << dn;
  return 0;
}

// Name offset of an attribute ("" gives 0, none).
uint32_t attribute_of(const std::string& name) {
  if (name.empty()) return 0;
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint32_t i = 0; i < data_store.attribute_count; ++i) {
    const uint32_t n = data_word(table + 4 * i);
    if (compare_text_nocase(data_store.base + n, name.c_str()) == 0) return n;
  }
  ADD_FAILURE() << "no attribute " << name;
  return 0;
}

// Block offset of the ACL block in the loaded file.
uint64_t acl_block_offset() {
  uint64_t b = uint64_t{data_store.indices_offset} + 4 * uint64_t{data_store.record_count};
  while (b < data_store.size && data_word(b) != block_acl_data) b = data_word(b + 4);
  return b < data_store.size ? b : 0;
}

uint64_t count_of(const std::string& text, const std::string& piece) {
  uint64_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// ---- Journal and request entries in memory ----------------------------------------

std::string stored(const std::string& s) {
  if (!s.empty() && s.find('\0') == std::string::npos) return s + '\0';
  std::string out(1, '\0');
  return out + le32(static_cast<uint32_t>(s.size())) + s;
}

struct built_journal {
  std::deque<std::string> strings;
  std::vector<journal_attribute> attributes;
  journal_entry entry{};
};

std::unique_ptr<built_journal> make_journal(
    const std::string& dn, const std::vector<std::pair<std::string, std::string>>& values) {
  auto j = std::make_unique<built_journal>();
  j->strings.push_back(stored(dn));
  j->entry.dn = j->strings.back().data();
  for (const auto& [name, value] : values) {
    j->strings.push_back(stored(name));
    const char* n = j->strings.back().data();
    j->strings.push_back(stored(value));
    j->attributes.push_back(journal_attribute{n, j->strings.back().data()});
  }
  j->entry.attribute_count = j->attributes.size();
  j->entry.attributes = j->attributes.empty() ? nullptr : j->attributes.data();
  return j;
}

struct built_request {
  std::deque<std::string> strings;
  std::deque<request_attribute> attributes;
  std::deque<string_node> values;
  request_entry entry{};

  counted_str keep(const std::string& s) {
    strings.push_back(s);
    return counted_str{strings.back().size(), strings.back().data()};
  }
};

std::unique_ptr<built_request> make_request(
    const std::string& dn, const std::vector<std::pair<std::string, std::string>>& values) {
  auto q = std::make_unique<built_request>();
  q->entry.dn = q->keep(dn);
  request_attribute** link = &q->entry.attributes;
  for (const auto& [type, value] : values) {
    q->attributes.push_back(request_attribute{q->keep(type), nullptr, nullptr});
    request_attribute* a = &q->attributes.back();
    q->values.push_back(string_node{q->keep(value), 0, nullptr});
    a->vals = &q->values.back();
    *link = a;
    link = &a->next;
  }
  return q;
}

// ---- The fixture ----------------------------------------------------------------------

class Acl : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ferrowyn-acl-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    data_file_acl_loader = load_acl_block;
    unbind();
  }

  void TearDown() override {
    if (data_store.size != 0) unmap_data_file();
    load_acl_block(0);  // releases the last state
    data_store = loaded_data_file{};
    unbind();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name = "data") const { return dir_ + "/" + name; }

  void load(const acl_spec* acl, const raw_block* raw = nullptr,
            const std::vector<fixture::entry>& records = kRecords) {
    if (data_store.size != 0) unmap_data_file();
    ASSERT_EQ(write_file(path(), acl, raw, records), "");
    load_data_file(path().c_str());
  }

  static void unbind() {
    bound_record = 0;
    bound_dn = nullptr;
  }
  // Binds as the record with this DN, as a successful bind does.
  static void bind_record(const std::string& dn) {
    bound_record = record_of(dn);
    bound_dn = data_store.base + data_word(uint64_t{bound_record} + 8);
    acl_refresh_subjects(nullptr);
  }
  // Binds as a journal entry.
  static void bind_journal(const journal_entry* e) {
    bound_record = 0;
    bound_dn = stored_str_data(e->dn);
    acl_refresh_subjects(e);
  }

  // acl_check of a record with cleared target bytes.
  static int check(const std::string& dn, const std::string& attribute, uint16_t right) {
    acl_clear_targets();
    return acl_check(record_of(dn), attribute_of(attribute), right, nullptr);
  }

  std::string dir_;
};

// ---- The checks on records ---------------------------------------------------------------

struct record_check {
  const char* dn;
  const char* attribute;  // "" for none (the updates' 0)
  uint16_t right;
  int expected;
};

struct scenario {
  const char* name;
  acl_spec acl;
  const char* bound;  // DN of the record bound as, or null for anonymous
  std::vector<record_check> checks;
};

TEST_F(Acl, ChecksOnRecordsFollowTheFirstEntryThatApplies) {
  const scenario scenarios[] = {
      {"the first entry listing the attribute decides",
       {{"*"}, {{0, 0, 0, r_, {"mail"}}, {0, 0, r_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "mail", r_, -1}, {"cn=x,o=b", "cn", r_, 1}, {"cn=x,o=b", "cn", w_, 0}}},
      {"reading mail by the first entry, cn by the second",
       {{"*"}, {{0, 0, r_, 0, {"mail"}}, {0, 0, r_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "mail", r_, 1}, {"cn=x,o=b", "cn", r_, 1}}},
      {"a denial of every attribute placed first hides everything",
       {{"*"}, {{0, 0, 0, r_, {"*"}}, {0, 0, r_, 0, {"*"}}}},
       nullptr,
       {{"o=b", "dn", r_, -1}, {"cn=x,o=b", "dn", r_, -1}, {"cn=x,o=b", "mail", r_, -1}}},
      {"an entry that neither grants nor denies the right is passed over",
       {{"*"},
        {{0, 0, w_, 0, {"mail"}},
         {0, 0, 0, 0, {"*"}},
         {0, 0, 0, r_, {"mail"}},
         {0, 0, r_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "mail", r_, -1},
        {"cn=x,o=b", "mail", w_, 1},
        {"cn=x,o=b", "cn", w_, 0},
        {"cn=x,o=b", "cn", r_, 1}}},
      {"granted and denied at once is granted",
       {{"*"}, {{0, 0, r_, r_, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "cn", r_, 1}}},
      {"a target filter limits the entry to the records it matches",
       {{"*", "(objectClass=person)"}, {{0, 1, r_, 0, {"*"}}}},
       nullptr,
       {{"o=b", "dn", r_, 0},
        {"cn=admin,o=b", "dn", r_, 1},
        {"cn=x,o=b", "cn", r_, 1},
        {"cn=d,o=b", "cn", r_, 0}}},
      {"updates ask with attribute 0: only entries listing * decide",
       {{"*"}, {{0, 0, w_ | a_, 0, {"mail", "cn"}}, {0, 0, d_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "", w_, 0}, {"cn=x,o=b", "", a_, 0}, {"cn=x,o=b", "", d_, 1}}},
      {"without an any subject an anonymous client is refused everything",
       {{"(cn=admin)", "*"}, {{0, 1, r_ | w_ | a_ | d_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "cn", r_, 0}, {"cn=x,o=b", "", w_, 0}, {"o=b", "", d_, 0}}},
      {"a filter subject applies to the client bound as a matching record",
       {{"(cn=admin)", "*"}, {{0, 1, r_ | w_ | a_ | d_, 0, {"*"}}, {1, 1, r_, 0, {"cn"}}}},
       "cn=admin,o=b",
       {{"cn=x,o=b", "mail", r_, 1}, {"cn=x,o=b", "", w_, 1}, {"o=b", "", d_, 1}}},
      {"a filter subject does not apply to another client",
       {{"(cn=admin)", "*"}, {{0, 1, r_ | w_ | a_ | d_, 0, {"*"}}, {1, 1, r_, 0, {"cn"}}}},
       "cn=x,o=b",
       {{"cn=x,o=b", "mail", r_, 0}, {"cn=x,o=b", "cn", r_, 1}, {"cn=x,o=b", "", w_, 0}}},
      {"a self subject never applies",
       {{"self", "*"}, {{0, 1, r_, 0, {"*"}}, {0, 0, r_, 0, {"*"}}}},
       "cn=x,o=b",
       {{"cn=x,o=b", "cn", r_, 0}, {"o=b", "cn", r_, 0}}},
      {"a self target applies to the bound client's own record",
       {{"*", "self"},
        {{0, 1, w_, 0, {"*"}},
         {0, 1, r_, 0, {"userPassword"}},
         {0, 0, 0, r_, {"userPassword"}},
         {0, 0, r_, 0, {"*"}}}},
       "cn=x,o=b",
       {{"cn=x,o=b", "", w_, 1},
        {"cn=admin,o=b", "", w_, 0},
        {"cn=x,o=b", "userPassword", r_, 1},
        {"cn=admin,o=b", "userPassword", r_, -1},
        {"cn=admin,o=b", "cn", r_, 1}}},
      {"a self target never applies for an anonymous client",
       {{"*", "self"},
        {{0, 1, w_, 0, {"*"}},
         {0, 1, r_, 0, {"userPassword"}},
         {0, 0, 0, r_, {"userPassword"}},
         {0, 0, r_, 0, {"*"}}}},
       nullptr,
       {{"cn=x,o=b", "", w_, 0}, {"cn=x,o=b", "userPassword", r_, -1}, {"cn=x,o=b", "cn", r_, 1}}},
  };
  for (const scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    load(&s.acl);
    unbind();
    if (s.bound != nullptr) bind_record(s.bound);
    for (const record_check& c : s.checks) {
      EXPECT_EQ(check(c.dn, c.attribute, c.right), c.expected)
          << c.dn << " " << c.attribute << " right " << c.right;
    }
  }
}

TEST_F(Acl, WithoutABlockEveryCheckAnswersZero) {
  load(nullptr);
  EXPECT_EQ(acl_filter_count, 0u);
  EXPECT_EQ(acl_entry_count, 0u);
  EXPECT_EQ(any_attribute, 0u);
  for (const char* dn : {"o=b", "cn=x,o=b"})
    for (uint16_t right : {r_, w_, a_, d_, acl_R}) {
      EXPECT_EQ(check(dn, "cn", right), 0);
      EXPECT_EQ(check(dn, "", right), 0);
    }
  auto q = make_request("cn=new,o=b", {{"objectClass", "person"}});
  EXPECT_EQ(acl_check(0, 0, a_, &q->entry), 0);
  auto j = make_journal("cn=j,o=b", {{"cn", "j"}});
  EXPECT_EQ(acl_check_journal(&j->entry, "cn", 2), 0);
  bind_record("cn=x,o=b");  // the refresh has nothing to do
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 0);
}

// The target byte of a filter is decided once per checked entry and then
// reused: (!(cn~=x)) applies to every record and reports its unsupported
// item every time it is evaluated.
TEST_F(Acl, TargetsAreMatchedOncePerCheckedEntry) {
  const acl_spec acl{{"*", "(!(cn~=x))"},
                     {{0, 1, 0, r_, {"mail"}}, {0, 1, r_, 0, {"cn"}}, {0, 1, r_, 0, {"*"}}}};
  load(&acl);
  const uint32_t x = record_of("cn=x,o=b");
  const uint32_t d = record_of("cn=d,o=b");
  const std::string err = capture_stderr([&] {
    acl_clear_targets();
    EXPECT_EQ(acl_check(x, attribute_of("mail"), r_, nullptr), -1);
    EXPECT_EQ(acl_check(x, attribute_of("cn"), r_, nullptr), 1);
    EXPECT_EQ(acl_check(x, attribute_of("dn"), r_, nullptr), 1);
    acl_clear_targets();
    EXPECT_EQ(acl_check(d, attribute_of("cn"), r_, nullptr), 1);
  });
  EXPECT_EQ(count_of(err, "unsupported query type\n"), 2u) << err;
  EXPECT_EQ(target_bytes[1], 1);
  EXPECT_EQ(target_bytes[0], 0);  // the any marker was never asked about

  // The stored decision is what the check reads: a record for which the
  // byte says "does not apply" is passed over until the bytes are cleared.
  target_bytes[1] = 255;
  EXPECT_EQ(acl_check(x, attribute_of("cn"), r_, nullptr), 0);
  acl_clear_targets();
  EXPECT_EQ(target_bytes[1], 0);
}

TEST_F(Acl, ATargetFilterIsDecidedForEachRecord) {
  const acl_spec acl{{"*", "(objectClass=person)"}, {{0, 1, r_, 0, {"*"}}}};
  load(&acl);
  acl_clear_targets();
  EXPECT_EQ(acl_check(record_of("cn=d,o=b"), attribute_of("cn"), r_, nullptr), 0);
  EXPECT_EQ(target_bytes[1], 255);
  acl_clear_targets();
  EXPECT_EQ(acl_check(record_of("cn=x,o=b"), attribute_of("cn"), r_, nullptr), 1);
  EXPECT_EQ(target_bytes[1], 1);
}

// A client bound through a journal entry has no record; the self marker
// then applies to the record whose DN text equals the entry's DN.
TEST_F(Acl, SelfByDnForAClientBoundThroughTheJournal) {
  const acl_spec acl{{"*", "self"}, {{0, 1, r_, 0, {"*"}}}};
  load(&acl);
  auto j = make_journal("cn=x,o=b", {{"objectClass", "person"}, {"cn", "x"}});
  bind_journal(&j->entry);
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 1);
  EXPECT_EQ(check("cn=admin,o=b", "cn", r_), 0);
  auto other = make_journal("cn=new,o=b", {{"objectClass", "person"}});
  bind_journal(&other->entry);
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 0);

  // With a record bound, the record decides, not the DN text.
  bound_record = record_of("cn=x,o=b");
  bound_dn = "cn=admin,o=b";
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 1);
  EXPECT_EQ(check("cn=admin,o=b", "cn", r_), 0);
}

// An attribute of the table is decided by the ACL entries that list its
// type: the description before its first ";", in any letter case.
TEST_F(Acl, RecordAttributesAreDecidedByTheirType) {
  const std::vector<fixture::entry> records = {
      {"cn=x,o=b",
       {{"objectClass", "person"},
        {"cn", "x"},
        {"userPassword", "pw"},
        {"userPassword;binary", "pw2"},
        {"userPasswordHint", "the usual"},
        {"mail;lang-de", "x@b"}}},
  };
  const acl_spec acl{{"*"}, {{0, 0, 0, r_, {"userPassword"}}, {0, 0, r_, 0, {"mail", "cn"}}}};
  load(&acl, nullptr, records);
  const record_check checks[] = {
      {"cn=x,o=b", "userPassword", r_, -1},
      {"cn=x,o=b", "userPassword;binary", r_, -1},
      {"cn=x,o=b", "userPasswordHint", r_, 0},
      {"cn=x,o=b", "mail;lang-de", r_, 1},
      {"cn=x,o=b", "cn", r_, 1},
      {"cn=x,o=b", "objectClass", r_, 0},
      {"cn=x,o=b", "", w_, 0},
  };
  for (const record_check& c : checks) {
    EXPECT_EQ(check(c.dn, c.attribute, c.right), c.expected) << c.attribute;
  }
}

// A name the ACL block spells in another letter case than the attribute
// table (the writer resolves names to the table, a block given whole need
// not) decides the table's attribute all the same.
TEST_F(Acl, RecordAttributesAreDecidedWithoutRegardToCase) {
  raw_block b;
  b.word(1);                                   // F
  b.offset(20);                                // filter 0: "*"
  b.offset(0);                                 // X, set below
  b.text(std::string("*\0", 2));               // block offset 20
  b.text(std::string("USERPASSWORD;X\0", 15));  // block offset 22
  const uint32_t list = b.here();
  b.set(16, list);
  b.word(2);
  b.offset(0);
  b.offset(0);
  const uint32_t e0 = b.here();
  b.set(list + 4, e0);
  b.words({0, 0, uint32_t{r_} << 16});  // deny read
  b.offset(22);
  b.word(0);
  const uint32_t e1 = b.here();
  b.set(list + 8, e1);
  b.words({0, 0, r_});
  b.offset(20);  // "*"
  b.word(0);
  load(nullptr, &b);
  ASSERT_EQ(acl_entry_count, 2u);
  EXPECT_EQ(check("cn=x,o=b", "userPassword", r_), -1);
  EXPECT_EQ(check("cn=admin,o=b", "userPassword", r_), -1);
  EXPECT_EQ(check("cn=x,o=b", "mail", r_), 1);
}

// The journal form that takes the right: the updates ask for write and add
// per attribute; names compare as for reading.
TEST_F(Acl, JournalAttributeChecksTakeTheRight) {
  const acl_spec acl{{"*"},
                     {{0, 0, w_, 0, {"userPassword"}},
                      {0, 0, 0, w_ | a_, {"*"}},
                      {0, 0, r_, 0, {"cn"}}}};
  load(&acl);
  auto j = make_journal("cn=j,o=b", {{"objectClass", "person"}, {"cn", "j"}});
  struct right_check {
    const char* name;
    uint16_t right;
    int expected;
  };
  const right_check checks[] = {
      {"userPassword", w_, 1}, {"USERPASSWORD;binary", w_, 1}, {"cn", w_, -1},
      {"userPassword", a_, -1}, {"userPassword", r_, 0},       {"CN", r_, 1},
      {"cn", d_, 0},
  };
  for (const right_check& c : checks) {
    acl_clear_targets();
    EXPECT_EQ(acl_check_journal_attribute(&j->entry, c.name, strlen(c.name), c.right), c.expected)
        << c.name << " right " << c.right;
    if (c.right == r_) {
      acl_clear_targets();
      EXPECT_EQ(acl_check_journal(&j->entry, c.name, strlen(c.name)), c.expected) << c.name;
    }
  }
}

// ---- Journal entries ------------------------------------------------------------------------

struct journal_check {
  const char* dn;    // of the checked journal entry
  const char* name;  // the asked attribute name
  int expected;
};

TEST_F(Acl, ChecksOnJournalEntries) {
  struct jscenario {
    const char* name;
    acl_spec acl;
    const char* bound;  // DN of the journal entry bound as, or null
    std::vector<journal_check> checks;
  };
  const jscenario scenarios[] = {
      {"names compare by their type without case, * by its mark",
       {{"*"}, {{0, 0, 0, r_, {"mail"}}, {0, 0, r_, 0, {"cn", "*"}}}},
       nullptr,
       {{"cn=j,o=b", "mail", -1},
        {"cn=j,o=b", "Mail", -1},
        {"cn=j,o=b", "MAIL", -1},
        {"cn=j,o=b", "mail;x", -1},
        {"cn=j,o=b", "Mail;lang-de;binary", -1},
        {"cn=j,o=b", "mai", 1},
        {"cn=j,o=b", "mailx", 1},
        {"cn=j,o=b", "mai;l", 1},
        {"cn=j,o=b", "cn", 1}}},
      {"names without * decide only their own attribute type",
       {{"*"}, {{0, 0, 0, r_, {"userPassword"}}, {0, 0, r_, 0, {"cn", "mail"}}}},
       nullptr,
       {{"cn=j,o=b", "userPassword", -1},
        {"cn=j,o=b", "userpassword", -1},
        {"cn=j,o=b", "USERPASSWORD", -1},
        {"cn=j,o=b", "userPassword;x", -1},
        {"cn=j,o=b", "UserPassword;binary", -1},
        {"cn=j,o=b", "userPasswordHint", 0},
        {"cn=j,o=b", "mail", 1},
        {"cn=j,o=b", "CN;lang-en", 1},
        {"cn=j,o=b", "sn", 0}}},
      {"entries without the read right are passed over",
       {{"*"}, {{0, 0, w_ | a_ | d_, 0, {"*"}}, {0, 0, 0, r_, {"*"}}}},
       nullptr,
       {{"cn=j,o=b", "cn", -1}}},
      {"a filter target uses the journal matcher",
       {{"*", "(objectClass=person)"}, {{0, 1, r_, 0, {"*"}}, {0, 0, 0, r_, {"*"}}}},
       nullptr,
       {{"cn=j,o=b", "cn", 1}, {"cn=dev,o=b", "cn", -1}}},
      {"self applies to the entry whose DN is the bound DN",
       {{"*", "self"}, {{0, 1, r_, 0, {"userPassword"}}, {0, 0, 0, r_, {"userPassword"}}}},
       "cn=j,o=b",
       {{"cn=j,o=b", "userPassword", 1}, {"cn=dev,o=b", "userPassword", -1}}},
      {"self never applies for an anonymous client",
       {{"*", "self"}, {{0, 1, r_, 0, {"userPassword"}}, {0, 0, 0, r_, {"userPassword"}}}},
       nullptr,
       {{"cn=j,o=b", "userPassword", -1}}},
      {"a filter subject matched against the bound journal entry",
       {{"(cn=j)", "*"}, {{0, 1, r_, 0, {"*"}}}},
       "cn=j,o=b",
       {{"cn=j,o=b", "cn", 1}, {"cn=dev,o=b", "cn", 1}}},
  };
  auto j = make_journal("cn=j,o=b", {{"objectClass", "person"}, {"cn", "j"}, {"mail", "j@b"}});
  auto dev = make_journal("cn=dev,o=b", {{"objectClass", "device"}, {"cn", "dev"}});
  auto entry_of = [&](const std::string& dn) { return dn == "cn=j,o=b" ? &j->entry : &dev->entry; };
  for (const jscenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    load(&s.acl);
    unbind();
    if (s.bound != nullptr) bind_journal(entry_of(s.bound));
    for (const journal_check& c : s.checks) {
      acl_clear_targets();
      EXPECT_EQ(acl_check_journal(entry_of(c.dn), c.name, strlen(c.name)), c.expected)
          << c.dn << " " << c.name;
    }
  }
}

// ---- Request entries ------------------------------------------------------------------------

TEST_F(Acl, ChecksOnRequestEntries) {
  const acl_spec acl{{"*", "self", "(objectClass=person)"},
                     {{0, 1, w_ | d_, 0, {"*"}}, {0, 2, a_, 0, {"*"}}}};
  load(&acl);
  auto own = make_request("cn=x,o=b", {{"objectClass", "person"}, {"cn", "x"}});
  auto other = make_request("cn=admin,o=b", {{"objectClass", "person"}, {"cn", "admin"}});
  auto device = make_request("cn=new,o=b", {{"objectClass", "device"}});
  struct request_case {
    const char* bound;  // record DN, or null
    const request_entry* q;
    uint16_t right;
    int expected;
  };
  const request_case cases[] = {
      {"cn=x,o=b", &own->entry, w_, 1},   {"cn=x,o=b", &own->entry, d_, 1},
      {"cn=x,o=b", &other->entry, w_, 0}, {nullptr, &own->entry, w_, 0},
      {"cn=x,o=b", &own->entry, a_, 1},   {nullptr, &other->entry, a_, 1},
      {nullptr, &device->entry, a_, 0},   {"cn=admin,o=b", &other->entry, d_, 1},
  };
  for (const request_case& c : cases) {
    unbind();
    if (c.bound != nullptr) bind_record(c.bound);
    acl_clear_targets();
    EXPECT_EQ(acl_check(0, 0, c.right, c.q), c.expected)
        << (c.bound ? c.bound : "anonymous") << " on " << std::string(c.q->dn.bytes, c.q->dn.len)
        << " right " << c.right;
  }
}

// ---- Subjects ----------------------------------------------------------------------------------

TEST_F(Acl, SubjectsAreRefreshedByABindAndResetByAReload) {
  const acl_spec acl{{"*", "(cn=admin)", "self", "(!(cn~=x))", "(cn~=x)"},
                     {{1, 0, r_, 0, {"*"}},
                      {2, 0, r_, 0, {"*"}},
                      {3, 0, r_, 0, {"cn"}},
                      {4, 0, r_, 0, {"*"}},
                      {3, 0, r_, 0, {"mail"}},
                      {4, 0, w_, 0, {"*"}},
                      {0, 0, 0, r_, {"*"}}}};
  load(&acl);
  const std::vector<uint8_t> load_values = {1, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(subject_bytes, subject_bytes + 5), load_values);

  // (!(cn~=x)), which applies, and (cn~=x), which does not, serve two
  // entries each but are matched once each.
  const std::string err = capture_stderr([] { bind_record("cn=admin,o=b"); });
  EXPECT_EQ(count_of(err, "unsupported query type\n"), 2u) << err;
  EXPECT_EQ(std::vector<uint8_t>(subject_bytes, subject_bytes + 5),
            (std::vector<uint8_t>{1, 1, 0, 1, 0}));
  EXPECT_EQ(check("cn=x,o=b", "userPassword", r_), 1);

  capture_stderr([] { bind_record("cn=x,o=b"); });
  EXPECT_EQ(std::vector<uint8_t>(subject_bytes, subject_bytes + 5),
            (std::vector<uint8_t>{1, 0, 0, 1, 0}));
  EXPECT_EQ(check("cn=x,o=b", "userPassword", r_), -1);
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 1);

  // A reload brings back the load values; the identity stays.
  capture_stderr([] { bind_record("cn=admin,o=b"); });
  unmap_data_file();
  load_data_file(path().c_str());
  EXPECT_EQ(std::vector<uint8_t>(subject_bytes, subject_bytes + 5), load_values);
  EXPECT_NE(bound_record, 0u);
  EXPECT_EQ(check("cn=x,o=b", "userPassword", r_), -1);
}

// ---- Loading
// -------------------------------------------------------------------------------------

TEST_F(Acl, ReloadRebuildsTheState) {
  const acl_spec first{{"*", "(cn=x)"}, {{0, 1, r_, 0, {"mail"}}}};
  load(&first);
  EXPECT_EQ(acl_filter_count, 2u);
  EXPECT_EQ(acl_entry_count, 1u);
  EXPECT_EQ(check("cn=x,o=b", "mail", r_), 1);
  EXPECT_EQ(check("cn=d,o=b", "mail", r_), 0);

  const acl_spec second{{"self", "*"}, {{1, 1, 0, r_, {"*"}}, {1, 0, w_, 0, {"*"}}}};
  load(&second);
  EXPECT_EQ(acl_filter_count, 2u);
  EXPECT_EQ(acl_entry_count, 2u);
  EXPECT_EQ(acl_filters[0].kind, acl_filter_self);
  EXPECT_EQ(acl_filters[1].kind, acl_filter_any);
  EXPECT_NE(any_attribute, 0u);
  EXPECT_EQ(check("cn=x,o=b", "mail", r_), -1);
  EXPECT_EQ(check("cn=d,o=b", "mail", r_), -1);

  load(nullptr);
  EXPECT_EQ(acl_filter_count, 0u);
  EXPECT_EQ(acl_entry_count, 0u);
  EXPECT_EQ(any_attribute, 0u);
  EXPECT_EQ(check("cn=x,o=b", "mail", r_), 0);
}

TEST_F(Acl, LoadCopiesEntriesAndResolvesFilters) {
  const acl_spec acl{{"(objectClass=person)", "*", "self"},
                     {{1, 0, r_ | acl_R, d_, {"mail", "CN", "*"}}, {1, 2, w_, 0, {}}}};
  load(&acl);
  ASSERT_EQ(acl_entry_count, 2u);
  const acl_entry& e = acl_entries[0];
  EXPECT_EQ(e.subject, 1u);
  EXPECT_EQ(e.target, 0u);
  EXPECT_EQ(e.grant, r_ | acl_R);
  EXPECT_EQ(e.deny, d_);
  ASSERT_EQ(e.name_count, 3u);
  EXPECT_EQ(e.names[0], attribute_of("mail"));
  EXPECT_EQ(e.names[1], attribute_of("cn"));  // the table's own offset, whatever the spelling
  EXPECT_EQ(e.names[2], any_attribute);
  EXPECT_EQ(std::string(data_store.base + any_attribute), "*");
  EXPECT_EQ(acl_entries[1].name_count, 0u);
  ASSERT_EQ(acl_filters[0].kind, acl_filter_tree);
  EXPECT_EQ(acl_filters[0].tree->attribute_offset, attribute_of("objectClass"));
  EXPECT_EQ(acl_filters[2].kind, acl_filter_self);
}

TEST_F(Acl, UnknownFilterAttributesAreReportedAndMatchNothing) {
  const acl_spec acl{{"*", "(nosuch=1)"}, {{0, 1, r_, 0, {"*"}}}};
  const std::string err = capture_stderr([&] { load(&acl); });
  EXPECT_EQ(err, "cannot find attribute \"nosuch\"!\n");
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 0);
}

// The "*" mark is the first name, in load order, whose string is "*":
// another "*" string elsewhere is an ordinary name.
TEST_F(Acl, TheFirstStarNameIsTheAnyMark) {
  raw_block b;
  b.word(1);                        // F
  b.offset(24);                     // filter 0
  b.offset(0);                      // X, set below
  b.text(std::string("*\0", 2));    // block offset 20: the filter, and the first "*"
  b.text(std::string("xx*\0", 4));  // block offset 22: a second "*" at 24
  const uint32_t x = b.here();
  b.set(16, x);
  b.word(2);
  b.offset(0);
  b.offset(0);
  const uint32_t e0 = b.here();
  b.set(x + 4, e0);
  b.words({0, 0, r_});
  b.offset(24);  // the second "*"
  b.word(0);
  const uint32_t e1 = b.here();
  b.set(x + 8, e1);
  b.words({0, 0, uint32_t{w_}});
  b.offset(20);  // the first "*"
  b.word(0);
  // Filter 0 points at the second "*": an any marker too.
  load(nullptr, &b);
  ASSERT_EQ(acl_entry_count, 2u);
  EXPECT_EQ(acl_filters[0].kind, acl_filter_any);
  const uint64_t block = acl_block_offset();
  EXPECT_EQ(any_attribute, block + 24);
  // Entry 0 lists the mark; entry 1's "*" at offset 20 is just a name.
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 1);
  EXPECT_EQ(check("cn=x,o=b", "", w_), 0);
}

// A name list that reaches the end of the file without a 0 word ends there.
TEST_F(Acl, NamesEndAtTheEndOfTheFile) {
  raw_block b;
  b.word(1);
  b.offset(20);
  b.offset(22);  // X
  b.text(std::string("*\0", 2));
  b.word(1);  // A, at 22
  b.offset(30);
  b.words({0, 0, r_});  // the entry at 30: subject, target, rights
  b.offset(20);         // its one name, and the file ends
  load(nullptr, &b);
  ASSERT_EQ(acl_entry_count, 1u);
  EXPECT_EQ(acl_entries[0].name_count, 1u);
  EXPECT_EQ(check("cn=x,o=b", "cn", r_), 1);
}

// Boundaries that are still inside: the list at the last word of the file,
// an entry in its last 16 bytes, a name stored at its own offset.
TEST_F(Acl, OffsetsAtTheirLimitsLoad) {
  load(nullptr);
  const uint64_t block = data_store.size;  // where the ACL block will land
  {
    raw_block b;
    b.word(0);
    b.offset(16);  // X: the next word, the last of the file
    b.word(0);
    load(nullptr, &b);
    EXPECT_EQ(acl_block_offset(), block);
    EXPECT_EQ(acl_filter_count, 0u);
    EXPECT_EQ(acl_entry_count, 0u);
  }
  {
    raw_block b;
    b.word(1);
    b.offset(20);
    b.offset(22);
    b.text(std::string("*\0", 2));
    b.word(1);
    b.offset(30);
    b.words({0, 0, r_, 0});  // 16 bytes, the end of the file
    load(nullptr, &b);
    ASSERT_EQ(acl_entry_count, 1u);
    EXPECT_EQ(acl_entries[0].name_count, 0u);
  }
  {
    raw_block b;
    b.word(1);
    b.offset(20);
    b.offset(0);  // X, set below
    b.text(std::string("*\0", 2));
    // The name's own word is read as its text: keep its first byte from
    // being 0, which would make it a long-form string.
    if (((block + 42) & 0xff) == 0) b.text("pad!");
    const uint32_t list = b.here();
    b.set(16, list);
    b.word(1);
    b.offset(list + 8);
    b.words({0, 0, r_});
    b.offset(b.here());  // a name stored at its own offset
    b.word(0);
    load(nullptr, &b);
    ASSERT_EQ(acl_entry_count, 1u);
    ASSERT_EQ(acl_entries[0].name_count, 1u);
    EXPECT_EQ(acl_entries[0].names[0], block + list + 20);
  }
}

// ---- Malformed blocks ----------------------------------------------------------------------

struct child_result {
  int status = -1;
  std::string out;
};

// Loads the file in a child process (a broken block ends the process);
// gives back its exit status and standard output.
child_result load_in_child(const std::string& file) {
  fflush(stdout);
  fflush(stderr);
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (data_store.size != 0) unmap_data_file();
    load_data_file(file.c_str());
    _exit(0);
  }
  close(fds[1]);
  child_result r;
  char chunk[256];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
    r.out.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// A well-formed block with one filter of the given bytes and one entry
// with one name; each case breaks one thing of it.
struct block_parts {
  uint32_t filter_count = 1;
  int64_t filter_at = -1;  // block offset of filter 0 (-1: where its bytes are)
  bool filter_absolute = false;
  std::string filter = std::string("*\0", 2);
  int64_t list_at = -1;  // block offset of the list
  bool list_absolute = false;
  uint32_t entry_count = 1;
  int64_t entry_at = -1;  // block offset of the entry
  bool entry_absolute = false;
  uint32_t subject = 0, target = 0;
  int64_t name = -1;  // block offset of the name (-1: the filter's "*")
  bool name_absolute = false;
  bool truncate_after_filter = false;  // the file ends with the filter
};

raw_block make_block(const block_parts& p) {
  raw_block b;
  b.word(p.filter_count);
  b.offset(0);  // filter 0, set below
  const uint32_t list_word = b.here();
  b.offset(0);  // X, set below
  const uint32_t filter_at = b.here();
  b.text(p.filter);
  auto fill = [&b](uint32_t at, int64_t v, uint32_t fallback, bool absolute) {
    b.set(at, v < 0 ? fallback : static_cast<uint32_t>(v));
    if (!absolute) return;
    for (auto it = b.relative.begin(); it != b.relative.end(); ++it) {
      if (*it == at - 8u) {
        b.relative.erase(it);
        break;
      }
    }
  };
  fill(12, p.filter_at, filter_at, p.filter_absolute);
  if (p.truncate_after_filter) return b;
  const uint32_t list = b.here();
  b.word(p.entry_count);
  b.offset(0);  // the entry, set below
  const uint32_t entry = b.here();
  b.word(p.subject);
  b.word(p.target);
  b.word(r_);
  const uint32_t name_word = b.here();
  b.offset(0);  // the name, set below
  b.word(0);
  fill(list_word, p.list_at, list, p.list_absolute);
  fill(list + 4, p.entry_at, entry, p.entry_absolute);
  fill(name_word, p.name, filter_at, p.name_absolute);
  return b;
}

TEST_F(Acl, MalformedBlocksEndTheProcess) {
  struct broken_case {
    const char* name;
    block_parts parts;
  };
  auto parts = [](auto change) {
    block_parts p;
    change(p);
    return p;
  };
  const broken_case cases[] = {
      {"filter count past the end", parts([](block_parts& p) { p.filter_count = 1000; })},
      {"filter table past 2^32", parts([](block_parts& p) { p.filter_count = 0x3ffffffe; })},
      {"filter offset before the table", parts([](block_parts& p) { p.filter_at = 11; })},
      {"filter offset beyond the file",
       parts([](block_parts& p) { p.filter_at = 0xffffffff, p.filter_absolute = true; })},
      {"filter offset 0", parts([](block_parts& p) { p.filter_at = 0, p.filter_absolute = true; })},
      {"filter that does not decode", parts([](block_parts& p) { p.filter = std::string("\x30\x00", 2); })},
      {"filter cut short by the end of the file", parts([](block_parts& p) {
         p.filter =
             "\xa3\x07\x04\x02"
             "cn";
         p.truncate_after_filter = true;
       })},
      {"list offset before the table", parts([](block_parts& p) { p.list_at = 8; })},
      {"list offset beyond the file",
       parts([](block_parts& p) { p.list_at = 0xfffffff0, p.list_absolute = true; })},
      {"entry count past the end", parts([](block_parts& p) { p.entry_count = 50; })},
      {"entry offset beyond the file",
       parts([](block_parts& p) { p.entry_at = 0xfffffff0, p.entry_absolute = true; })},
      {"entry with fewer than 16 bytes left", parts([](block_parts& p) { p.entry_at = 35; })},
      {"subject beyond the filter table", parts([](block_parts& p) { p.subject = 1; })},
      {"target beyond the filter table", parts([](block_parts& p) { p.target = 7; })},
      {"name stored after its word", parts([](block_parts& p) { p.name = 43; })},
      {"name far beyond the file",
       parts([](block_parts& p) { p.name = 0xffffff00, p.name_absolute = true; })},
      // A long-form string whose length runs past the end of the file.
      {"name that is not a whole string", parts([](block_parts& p) {
         p.filter = std::string("*\0\0\xff\xff\xff\x7f", 7);
         p.name = 21;
       })},
  };
  // A filter offset before the block, at a string "self" of the records:
  // refused by its place, whatever it holds.
  uint32_t self_string = 0;
  {
    ASSERT_EQ(write_file(path("plain"), nullptr), "");
    std::ifstream in(path("plain"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find(std::string("self\0", 5));
    ASSERT_NE(at, std::string::npos);
    self_string = static_cast<uint32_t>(at);
    const raw_block b = make_block(
        parts([&](block_parts& p) { p.filter_at = self_string, p.filter_absolute = true; }));
    ASSERT_EQ(write_file(path(), nullptr, &b), "");
    const child_result r = load_in_child(path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "broken data file!\n");
  }
  // The unbroken form loads.
  {
    const raw_block good = make_block(block_parts{});
    ASSERT_EQ(write_file(path("good"), nullptr, &good), "");
    const child_result r = load_in_child(path("good"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
  }
  for (const broken_case& c : cases) {
    SCOPED_TRACE(c.name);
    const raw_block b = make_block(c.parts);
    ASSERT_EQ(write_file(path(), nullptr, &b), "");
    const child_result r = load_in_child(path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "broken data file!\n");
  }
  // A block too short to hold its filter count.
  for (const std::string& contents : {std::string(), std::string("\x01\x00", 2)}) {
    raw_block b;
    b.text(contents);
    data_writer* w = data_writer_new();
    ASSERT_EQ(data_writer_acl_block(w, b.bytes.data(), b.bytes.size()), 0);
    ASSERT_EQ(data_writer_begin_entry(w, "o=b", 3), 0);
    ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "top", 3), 0);
    ASSERT_EQ(data_writer_end_entry(w), 0);
    ASSERT_EQ(data_writer_write(w, path().c_str(), nullptr), 0);
    data_writer_free(w);
    const child_result r = load_in_child(path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "broken data file!\n");
  }
}

// ---- The writer's side of the block ------------------------------------------------------

TEST_F(Acl, WriterLaysOutTheBlockFromParts) {
  data_writer* w = data_writer_new();
  ASSERT_NE(w, nullptr);
  const std::string any("*\0", 2);
  EXPECT_EQ(data_writer_acl_filter(w, any.data(), any.size()), 0);
  EXPECT_EQ(data_writer_acl_filter(w, "self", 4), 1);
  EXPECT_EQ(data_writer_acl_filter(w, any.data(), any.size()), 0);  // stored once
  EXPECT_EQ(data_writer_acl_filter(w, "", 0), -1);
  const char* names[] = {"SEEALSO", "*", "cn"};
  EXPECT_EQ(data_writer_acl_entry(w, 0, 2, r_, 0, names, 3), -1);  // no filter 2
  const char* bad[] = {"c n"};
  EXPECT_EQ(data_writer_acl_entry(w, 0, 1, r_, 0, bad, 1), -1);
  EXPECT_EQ(data_writer_acl_entry(w, 0, 1, r_, 0, names, 3), 0);
  // The other way of giving the block is refused now.
  EXPECT_EQ(data_writer_acl_block(w, "x", 1), -1);
  ASSERT_EQ(data_writer_begin_entry(w, "cn=a", 4), 0);
  ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "top", 3), 0);
  ASSERT_EQ(data_writer_add_value(w, "CN", 2, "a", 1), 0);
  ASSERT_EQ(data_writer_end_entry(w), 0);
  ASSERT_EQ(data_writer_write(w, path().c_str(), nullptr), 0);
  data_writer_free(w);

  load_data_file(path().c_str());
  ASSERT_EQ(acl_filter_count, 2u);
  ASSERT_EQ(acl_entry_count, 1u);
  const acl_entry& e = acl_entries[0];
  ASSERT_EQ(e.name_count, 3u);
  // seeAlso has no values: the ACL's spelling joins the attribute table.
  EXPECT_EQ(e.names[0], attribute_of("seeAlso"));
  EXPECT_STREQ(data_store.base + e.names[0], "SEEALSO");
  EXPECT_EQ(e.names[1], any_attribute);
  EXPECT_EQ(e.names[2], attribute_of("cn"));
  EXPECT_STREQ(data_store.base + e.names[2], "CN");  // as the entries spell it
  // The "*" name lies inside the block, before the entries.
  const uint64_t block = acl_block_offset();
  EXPECT_GT(any_attribute, block);
  EXPECT_EQ(data_word(block + 4), data_store.size);
}

TEST_F(Acl, WriterRelocatesBlockRelativeWords) {
  data_writer* w = data_writer_new();
  const std::string bytes = le32(7) + le32(100) + le32(0xffffffff);
  const uint64_t bad[] = {9};
  EXPECT_EQ(data_writer_acl_block_relative(w, bytes.data(), bytes.size(), bad, 1), -1);
  const uint64_t positions[] = {4, 8};
  ASSERT_EQ(data_writer_acl_block_relative(w, bytes.data(), bytes.size(), positions, 2), 0);
  EXPECT_EQ(data_writer_acl_filter(w, "self", 4), -1);  // given whole already
  ASSERT_EQ(data_writer_begin_entry(w, "o=b", 3), 0);
  ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "top", 3), 0);
  ASSERT_EQ(data_writer_end_entry(w), 0);
  ASSERT_EQ(data_writer_write(w, path().c_str(), nullptr), 0);
  data_writer_free(w);
  data_file_acl_loader = nullptr;  // the contents are not a valid block
  load_data_file(path().c_str());
  const uint64_t block = acl_block_offset();
  ASSERT_NE(block, 0u);
  EXPECT_EQ(data_word(block + 8), 7u);
  EXPECT_EQ(data_word(block + 12), block + 100);
  EXPECT_EQ(data_word(block + 16), static_cast<uint32_t>(block + 0xffffffffu));
}

}  // namespace
