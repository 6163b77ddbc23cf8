#include "query/match.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"
#include "tests/capture_stderr.h"
#include "tests/data_fixture.h"

namespace {

constexpr char kUnsupported[] = "unsupported query type\n";

uint64_t count_of(const std::string& text, const std::string& piece) {
  uint64_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// ---- Filter trees ---------------------------------------------------------------

// Builds Filter trees the way the decoder does (children and substrings
// lists in the reverse of their request order) and owns every node and
// byte of them.
class filter_builder {
 public:
  Filter* make(uint32_t choice) {
    nodes_.emplace_back();
    Filter* f = &nodes_.back();
    *f = Filter{};
    f->choice = choice;
    return f;
  }

  counted_str keep(std::string s) {
    texts_.push_back(std::move(s));
    return counted_str{texts_.back().size(), texts_.back().data()};
  }

  // Both put the new element at the front of the list, as the decoder does.
  static void push_child(Filter* parent, Filter* child) {
    child->next = parent->children;
    parent->children = child;
  }
  void push_substring(Filter* f, uint32_t kind, std::string value) {
    subs_.emplace_back();
    filter_substring* s = &subs_.back();
    s->kind = kind;
    s->value = keep(std::move(value));
    s->next = f->substrings;
    f->substrings = s;
  }

  Filter* item(uint32_t choice, std::string attribute, std::string value) {
    Filter* f = make(choice);
    f->attribute = keep(std::move(attribute));
    f->value = keep(std::move(value));
    return f;
  }

  // The usual text form: (&...), (|...), (!...), (a=v), (a>=v), (a<=v),
  // (a~=v), (a:=v) for extensibleMatch, (a=*) present, and substrings with
  // "*" between the pieces. "\xx" stands for the byte with hex code xx.
  Filter* parse(const std::string& text) {
    size_t pos = 0;
    Filter* f = node(text, pos);
    EXPECT_EQ(pos, text.size()) << text;
    return f;
  }

 private:
  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  static std::string unescape(const std::string& t) {
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == '\\' && i + 2 < t.size()) {
        out += static_cast<char>(hex(t[i + 1]) * 16 + hex(t[i + 2]));
        i += 2;
      } else {
        out += t[i];
      }
    }
    return out;
  }

  // t[pos], or NUL past the end of a text that is cut short.
  static char at(const std::string& t, size_t pos) { return pos < t.size() ? t[pos] : '\0'; }

  Filter* node(const std::string& t, size_t& pos) {
    EXPECT_EQ(at(t, pos), '(') << t;
    ++pos;
    const char c = at(t, pos);
    Filter* f;
    if (c == '&' || c == '|' || c == '!') {
      f = make(c == '&' ? filter_and : c == '|' ? filter_or : filter_not);
      ++pos;
      while (pos < t.size() && t[pos] == '(') push_child(f, node(t, pos));
    } else {
      f = item_node(t, pos);
    }
    EXPECT_EQ(at(t, pos), ')') << t;
    ++pos;
    return f;
  }

  Filter* item_node(const std::string& t, size_t& pos) {
    const size_t op = t.find_first_of("=<>~:", pos);
    const std::string attribute = unescape(t.substr(pos, op - pos));
    uint32_t choice = filter_equality;
    pos = op + 1;
    if (at(t, op) != '=') {
      choice = at(t, op) == '>'   ? filter_greater_or_equal
               : at(t, op) == '<' ? filter_less_or_equal
               : at(t, op) == '~' ? filter_approx
                                  : 9;  // extensibleMatch
      EXPECT_EQ(at(t, pos), '=') << t;
      ++pos;
    }
    // The value, split at every unescaped "*".
    std::vector<std::string> pieces(1);
    while (pos < t.size() && t[pos] != ')') {
      if (t[pos] == '\\') {
        pieces.back() += static_cast<char>(hex(at(t, pos + 1)) * 16 + hex(at(t, pos + 2)));
        pos += 3;
      } else if (t[pos] == '*' && choice == filter_equality) {
        pieces.emplace_back();
        ++pos;
      } else {
        pieces.back() += t[pos++];
      }
    }
    if (pieces.size() == 1) return item(choice, attribute, pieces[0]);
    Filter* f = make(filter_present);
    f->attribute = keep(attribute);
    if (pieces.size() == 2 && pieces[0].empty() && pieces[1].empty()) return f;
    f->choice = filter_substrings;
    if (!pieces.front().empty()) push_substring(f, substring_initial, pieces.front());
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
      if (!pieces[i].empty()) push_substring(f, substring_any, pieces[i]);
    }
    if (!pieces.back().empty()) push_substring(f, substring_final, pieces.back());
    return f;
  }

  std::deque<Filter> nodes_;
  std::deque<filter_substring> subs_;
  std::deque<std::string> texts_;
};

// ---- Stored strings, journal entries, request entries ----------------------------

// The stored_str encoding of s: short form, or long form for the empty
// string and for contents holding a 0 byte.
std::string stored(const std::string& s, bool force_long = false) {
  if (!force_long && !s.empty() && s.find('\0') == std::string::npos) return s + '\0';
  std::string out(1, '\0');
  const uint32_t n = static_cast<uint32_t>(s.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  return out + s;
}

// A journal entry built in memory, with every string it points at.
struct built_journal {
  std::deque<std::string> strings;
  std::vector<journal_attribute> attributes;
  journal_entry entry{};
};

std::unique_ptr<built_journal> make_journal(const std::string& dn,
                                            const std::vector<std::pair<std::string, std::string>>& values,
                                            bool long_dn = false) {
  auto j = std::make_unique<built_journal>();
  j->strings.push_back(stored(dn, long_dn));
  j->entry.dn = j->strings.back().data();
  j->entry.dn_hash = string_hash(dn.data(), dn.size());
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

// A request entry built in memory; types and values in the given order.
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
    const std::string& dn, const std::vector<std::pair<std::string, std::vector<std::string>>>& attrs) {
  auto q = std::make_unique<built_request>();
  q->entry.dn = q->keep(dn);
  request_attribute** link = &q->entry.attributes;
  for (const auto& [type, vals] : attrs) {
    q->attributes.push_back(request_attribute{q->keep(type), nullptr, nullptr});
    request_attribute* a = &q->attributes.back();
    string_node** vlink = &a->vals;
    for (const std::string& v : vals) {
      q->values.push_back(string_node{q->keep(v), 0, nullptr});
      *vlink = &q->values.back();
      vlink = &q->values.back().next;
    }
    *link = a;
    link = &a->next;
  }
  return q;
}

// ---- The data file ----------------------------------------------------------------

// cn compares without case; sn, age, o, mail and description with case.
const std::vector<fixture::entry> kRecords = {
    {"o=b", {{"objectClass", "organization"}, {"o", "b"}}},
    {"cn=a,o=b",
     {{"objectClass", "top"},
      {"objectClass", "person"},
      {"cn", "x"},
      {"sn", "Smith"},
      {"age", "5"},
      {"mail", "a@b"}}},
    {"cn=c,cn=a,o=b",
     {{"objectClass", "person"},
      {"cn", "Y"},
      {"cn", "abc"},
      {"sn", "smith"},
      {"age", "50"},
      {"description", ""},
      {"description", std::string("a\0bc", 4)}}},
    {"cn=d,o=bb", {{"objectClass", "device"}, {"cn", "ab"}, {"sn", "\xff"}, {"age", "10"}}},
    {"cn=j q,o=b",
     {{"objectClass", "person"}, {"objectClass", "top"}, {"cn", "j q"}, {"sn", "Q"}}},
};

class Match : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ferrowyn-match-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir), 0);
  }

  void TearDown() override {
    journal_store_release();
    if (data_store.size != 0) unmap_data_file();
    data_store = loaded_data_file{};
    EXPECT_EQ(chdir(cwd_), 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void load(const std::vector<fixture::entry>& entries, const fixture::options& opts) {
    if (data_store.size != 0) unmap_data_file();
    ASSERT_EQ(fixture::write_data_file("data", entries, opts), "");
    load_data_file("data");
  }
  void load_default() { load(kRecords, fixture::options{{"cn"}, {}, {}, ""}); }

  // Parses and resolves; returns what the resolution wrote.
  Filter* resolved(const std::string& text, std::string* err = nullptr) {
    Filter* f = filters_.parse(text);
    const std::string out = capture_stderr([&] { resolve_filter_attributes(f); });
    if (err != nullptr) *err = out;
    return f;
  }

  // The verdict of match_record for every record, as a string of 0 and 1.
  static std::string record_verdicts(const Filter* f) {
    std::string v;
    for (uint32_t i = 0; i < data_store.record_count; ++i) v += match_record(record_offset(i), f) ? '1' : '0';
    return v;
  }

  filter_builder filters_;
  std::string dir_;
  char cwd_[4096];
};

// Where a name of the attribute table lies, found by its spelling.
uint32_t table_offset(const char* name) {
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint32_t i = 0; i < data_store.attribute_count; ++i) {
    const uint32_t off = data_word(table + 4 * uint64_t{i});
    if (std::strcmp(data_store.base + off, name) == 0) return off;
  }
  return 0;
}

// ---- Resolution -----------------------------------------------------------------------

TEST_F(Match, ResolutionFindsNamesWithoutCaseAndCarriesTheFlags) {
  load_default();
  const uint32_t cn = table_offset("cn");
  const uint32_t sn = table_offset("sn");
  const uint32_t oc = table_offset("objectClass");
  ASSERT_NE(cn, 0u);
  ASSERT_EQ(oc, data_store.object_class_name);
  struct resolve_case {
    const char* filter;
    uint32_t offset;
    uint32_t flags;
  };
  const resolve_case cases[] = {
      {"(cn=x)", cn, 1},          {"(CN=x)", cn, 1},        {"(Cn>=x)", cn, 1},
      {"(cn<=x)", cn, 1},         {"(cn=a*)", cn, 1},       {"(cn=*)", cn, 1},
      {"(cn~=x)", cn, 1},         {"(sn=x)", sn, 0},        {"(SN=*)", sn, 0},
      {"(objectclass=x)", oc, 0}, {"(OBJECTCLASS=*)", oc, 0}, {"(dn=x)", data_store.dn_name, 0},
      {"(DN=x)", data_store.dn_name, 0},
  };
  for (const resolve_case& c : cases) {
    std::string err;
    const Filter* f = resolved(c.filter, &err);
    EXPECT_EQ(f->attribute_offset, c.offset) << c.filter;
    EXPECT_EQ(f->attribute_flags, c.flags) << c.filter;
    EXPECT_EQ(err, "") << c.filter;
  }
}

TEST_F(Match, ResolutionReportsUnknownNamesAndClearsTheFields) {
  load_default();
  struct unknown_case {
    const char* filter;
    std::string err;
  };
  const unknown_case cases[] = {
      {"(nosuch=x)", "cannot find attribute \"nosuch\"!\n"},
      {"(c=x)", "cannot find attribute \"c\"!\n"},        // a prefix of a name
      {"(cnn=*)", "cannot find attribute \"cnn\"!\n"},    // an extension of one
      {"(=x)", "cannot find attribute \"\"!\n"},
      {"(x\\00y~=v)", std::string("cannot find attribute \"x\0y\"!\n", 29)},
      {"(&(nosuch=x)(other=*))",
       "cannot find attribute \"other\"!\ncannot find attribute \"nosuch\"!\n"},
  };
  for (const unknown_case& c : cases) {
    Filter* f = filters_.parse(c.filter);
    // Leftovers from an earlier resolution are cleared.
    for (Filter* n = f->choice == filter_and ? f->children : f; n != nullptr; n = n->next) {
      n->attribute_offset = 77;
      n->attribute_flags = 1;
    }
    const std::string err = capture_stderr([&] { resolve_filter_attributes(f); });
    EXPECT_EQ(printable(err), printable(c.err)) << c.filter;
    for (const Filter* n = f->choice == filter_and ? f->children : f; n != nullptr; n = n->next) {
      EXPECT_EQ(n->attribute_offset, 0u) << c.filter;
      EXPECT_EQ(n->attribute_flags, 0u) << c.filter;
    }
  }
}

TEST_F(Match, ResolutionWalksSiblingsAndChildrenButNotExtensibleMatch) {
  load_default();
  const uint32_t cn = table_offset("cn");
  const uint32_t sn = table_offset("sn");
  Filter* f = filters_.parse("(|(!(&(cn=a)(!(sn=b))))(cn=*))");
  // An extensibleMatch node and whatever hangs below it stay as they are.
  Filter* ext = filters_.make(9);
  ext->attribute = filters_.keep("nosuch");
  Filter* below = filters_.item(filter_equality, "cn", "x");
  below->attribute_offset = 5;
  filter_builder::push_child(ext, below);
  filter_builder::push_child(f, ext);
  // A top-level sibling list is resolved too.
  Filter* sibling = filters_.parse("(sn=z)");
  f->next = sibling;

  const std::string err = capture_stderr([&] { resolve_filter_attributes(f); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(ext->attribute_offset, 0u);
  EXPECT_EQ(below->attribute_offset, 5u);
  EXPECT_EQ(sibling->attribute_offset, sn);
  // ext, then (cn=*), then the not.
  const Filter* present = ext->next;
  EXPECT_EQ(present->attribute_offset, cn);
  const Filter* conj = present->next->children;
  const Filter* inner_not = conj->children;     // (!(sn=b)) comes first
  EXPECT_EQ(inner_not->children->attribute_offset, sn);
  EXPECT_EQ(inner_not->next->attribute_offset, cn);
  EXPECT_EQ(f->attribute_offset, 0u);
}

TEST_F(Match, ResolutionWithoutAnyTableFindsNothing) {
  // No data file loaded: an empty attribute table.
  std::string err;
  const Filter* f = resolved("(cn=x)", &err);
  EXPECT_EQ(f->attribute_offset, 0u);
  EXPECT_EQ(err, "cannot find attribute \"cn\"!\n");
}

// ---- Records ----------------------------------------------------------------------------

struct verdict_case {
  const char* filter;
  const char* expected;  // one character per entry, '1' when it matches
  uint64_t unsupported;  // "unsupported query type" lines expected over all entries
};

// Records: o=b, cn=a,o=b, cn=c,cn=a,o=b, cn=d,o=bb, cn=j q,o=b.
const verdict_case kRecordCases[] = {
    // Equality, with the case rules of each attribute.
    {"(cn=x)", "01000", 0},
    {"(cn=X)", "01000", 0},
    {"(CN=x)", "01000", 0},
    {"(cn=y)", "00100", 0},
    {"(cn=abc)", "00100", 0},
    {"(cn=ab)", "00010", 0},
    {"(cn=a)", "00000", 0},
    {"(sn=Smith)", "01000", 0},
    {"(sn=smith)", "00100", 0},
    {"(sn=SMITH)", "00000", 0},
    {"(sn=\\ff)", "00010", 0},
    {"(o=b)", "10000", 0},
    {"(o=B)", "00000", 0},
    {"(mail=a@b)", "01000", 0},
    // objectClass: the fixed first value and later pairs alike.
    {"(objectClass=person)", "01101", 0},
    {"(objectclass=top)", "01001", 0},
    {"(objectClass=organization)", "10000", 0},
    {"(objectClass=Person)", "00000", 0},
    {"(objectClass>=p)", "01101", 0},
    // The DN is tested alone, and only for dn.
    {"(dn=cn=a,o=b)", "01000", 0},
    {"(DN=cn=a,o=b)", "01000", 0},
    {"(dn=CN=A,O=B)", "00000", 0},
    {"(cn=cn=a,o=b)", "00000", 0},
    {"(dn>=cn=d)", "10011", 0},
    {"(dn<=cn=c,cn=a,o=b)", "01100", 0},
    // Long-form values: the empty one and one holding a 0 byte.
    {"(description=)", "00100", 0},
    {"(description=a\\00bc)", "00100", 0},
    {"(description=a)", "00000", 0},
    {"(description<=a)", "00100", 0},
    // Ordering by bytes: "50" sorts before "6", "10" before "5".
    {"(age>=5)", "01100", 0},
    {"(age<=5)", "01010", 0},
    {"(age>=6)", "00000", 0},
    {"(age<=10)", "00010", 0},
    {"(age>=10)", "01110", 0},
    {"(age>=)", "01110", 0},
    {"(sn>=a)", "00110", 0},
    {"(sn<=Z)", "01001", 0},
    {"(sn>=\\ff)", "00010", 0},
    {"(cn>=X)", "01100", 0},
    {"(cn<=b)", "00110", 0},
    {"(cn<=B)", "00110", 0},
    // Substrings.
    {"(cn=a*)", "00110", 0},
    {"(cn=A*)", "00110", 0},
    {"(cn=*C)", "00100", 0},
    {"(cn=*b*)", "00110", 0},
    {"(cn=ab*b*bc)", "00100", 0},
    {"(cn=*x*)", "01000", 0},
    {"(cn=j*q)", "00001", 0},
    {"(cn=* q)", "00001", 0},
    {"(cn=abcd*)", "00000", 0},
    {"(cn=*abcd)", "00000", 0},
    {"(cn=*bcd*)", "00000", 0},
    {"(sn=S*)", "01000", 0},
    {"(sn=s*)", "00100", 0},
    {"(sn=*ith)", "01100", 0},
    {"(sn=*ITH)", "00000", 0},
    {"(sn=*\\ff)", "00010", 0},
    {"(objectClass=p*)", "01101", 0},
    {"(objectClass=*o*)", "11101", 0},  // not "device"
    {"(objectClass=t*p)", "01001", 0},
    {"(dn=*o=bb)", "00010", 0},
    {"(dn=cn=*)", "01111", 0},
    {"(dn=*CN=A*)", "00000", 0},
    {"(description=a*)", "00100", 0},
    {"(description=*b*)", "00100", 0},
    {"(description=*\\00*)", "00100", 0},
    {"(description=*c)", "00100", 0},
    // Present.
    {"(cn=*)", "01111", 0},
    {"(objectClass=*)", "11111", 0},
    {"(dn=*)", "11111", 0},
    {"(description=*)", "00100", 0},
    {"(MAIL=*)", "01000", 0},
    // and, or, not.
    {"(&(cn=x)(sn=Smith))", "01000", 0},
    {"(&(cn=x)(sn=smith))", "00000", 0},
    {"(|(cn=x)(sn=smith))", "01100", 0},
    {"(!(cn=x))", "10111", 0},
    {"(!(!(cn=x)))", "01000", 0},
    {"(!(!(!(cn=x))))", "10111", 0},
    {"(&)", "11111", 0},
    {"(|)", "00000", 0},
    {"(!(&))", "00000", 0},
    {"(!(|))", "11111", 0},
    {"(&(objectClass=person)(!(age>=5)))", "00001", 0},
    {"(|(&(o=b))(cn=y))", "10100", 0},
    {"(&(|(sn=Q)(sn=smith))(!(cn=*)))", "00000", 0},
    // Unresolved items match no record.
    {"(nosuch=x)", "00000", 0},
    {"(nosuch=*)", "00000", 0},
    {"(nosuch=x*)", "00000", 0},
    {"(!(nosuch=x))", "11111", 0},
    // approxMatch and extensibleMatch are false, and said so each time.
    {"(cn~=x)", "00000", 5},
    {"(!(cn~=x))", "11111", 5},
    {"(cn:=x)", "00000", 5},
    {"(!(nosuch:=x))", "11111", 5},
    // Children are tried in list order (the reverse of the request's) and
    // evaluation stops at the first deciding one.
    {"(|(cn~=x)(cn=x))", "01000", 4},
    {"(&(cn~=x)(cn=x))", "00000", 1},
    {"(&(cn=x)(cn~=x))", "00000", 5},
};

TEST_F(Match, RecordVerdicts) {
  load_default();
  ASSERT_EQ(data_store.record_count, kRecords.size());
  for (const verdict_case& c : kRecordCases) {
    const Filter* f = resolved(c.filter);
    std::string verdicts;
    const std::string err = capture_stderr([&] { verdicts = record_verdicts(f); });
    EXPECT_EQ(verdicts, c.expected) << c.filter;
    EXPECT_EQ(count_of(err, kUnsupported), c.unsupported) << c.filter;
    EXPECT_EQ(err.size(), c.unsupported * (sizeof kUnsupported - 1)) << c.filter;
  }
}

// Substring lists as the decoder may hand them over: any order, repeated
// kinds, empty elements, no elements at all. cn holds x / Y, abc / ab / j q.
TEST_F(Match, SubstringListsAreTestedElementByElement) {
  load_default();
  struct element {
    uint32_t kind;
    std::string value;
  };
  struct list_case {
    const char* what;
    std::vector<element> list;  // list order
    const char* expected;
  };
  const list_case cases[] = {
      {"decoder order of ab*b*bc", {{2, "bc"}, {1, "b"}, {0, "ab"}}, "00100"},
      {"request order of ab*bc", {{0, "ab"}, {2, "bc"}}, "00100"},
      {"overlapping initial and final", {{0, "abc"}, {2, "abc"}}, "00100"},
      {"final before initial in no particular order", {{2, "b"}, {0, "a"}}, "00010"},
      {"two initials", {{0, "a"}, {0, "ab"}}, "00110"},
      {"two initials that exclude each other", {{0, "a"}, {0, "b"}}, "00000"},
      {"no elements", {}, "01111"},
      {"empty elements", {{0, ""}, {1, ""}, {2, ""}}, "01111"},
      {"an unknown kind is ignored", {{3, "zzz"}}, "01111"},
      {"an unknown kind beside a real one", {{7, "zzz"}, {2, "Q"}}, "00001"},
      {"an element longer than every value", {{1, "abcd"}}, "00000"},
      {"any at the very end", {{1, "c"}}, "00100"},
      {"any at the very start, folded", {{1, "J"}}, "00001"},
      {"any spanning the whole value", {{1, "AB"}}, "00110"},
  };
  for (const list_case& c : cases) {
    Filter* f = filters_.make(filter_substrings);
    f->attribute = filters_.keep("cn");
    for (auto it = c.list.rbegin(); it != c.list.rend(); ++it) filters_.push_substring(f, it->kind, it->value);
    resolve_filter_attributes(f);
    EXPECT_EQ(record_verdicts(f), c.expected) << c.what;
  }
}

TEST_F(Match, NotWithoutOperandCountsItAsFalse) {
  load_default();
  Filter* f = filters_.make(filter_not);
  EXPECT_EQ(record_verdicts(f), "11111");
  Filter* g = filters_.make(filter_not);
  filter_builder::push_child(g, f);
  EXPECT_EQ(record_verdicts(g), "00000");
}

// ---- Journal entries --------------------------------------------------------------------

TEST_F(Match, JournalVerdicts) {
  load_default();
  const std::string journal =
      "dn: cn=j1,o=b\nobjectClass: person\ncn: x\nsn: Smith\nage: 5\nNosuch: v\n"
      "description: a\n\n"
      "dn: cn=j2,o=b\nobjectClass: top\nCN: Y\nsn: smith\nOBJECTCLASS: Person\n\n"
      "dn: cn=gone,o=b\ncn: x\nsn: Smith\n\n"
      "dn: cn=gone,o=b\n\n";
  {
    const int fd = open(journal_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, journal.data(), journal.size()), static_cast<ssize_t>(journal.size()));
    close(fd);
  }
  load_journal();
  std::vector<const journal_entry*> entries;
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) entries.push_back(e);
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_EQ(entries[2]->attribute_count, 0u);

  const verdict_case cases[] = {
      {"(cn=x)", "100", 0},
      {"(cn=X)", "100", 0},        // values of cn compare without case
      {"(CN=x)", "000", 0},        // names compare exactly
      {"(cn=y)", "010", 0},        // the journal's CN took the table's spelling
      {"(objectClass=top)", "010", 0},
      {"(objectClass=person)", "100", 0},
      {"(objectClass=Person)", "010", 0},  // a later objectClass line
      {"(objectclass=top)", "000", 0},
      {"(dn=cn=j1,o=b)", "100", 0},
      {"(DN=cn=j1,o=b)", "100", 0},  // the DN is found by the resolved name
      {"(dn=cn=j*)", "110", 0},
      {"(dn=*)", "110", 0},
      {"(DN=*)", "110", 0},
      {"(cn=*)", "110", 0},
      {"(CN=*)", "000", 0},
      {"(Nosuch=v)", "100", 0},  // unresolved, still matched by name
      {"(Nosuch=V)", "000", 0},
      {"(nosuch=v)", "000", 0},
      {"(Nosuch=*)", "100", 0},
      {"(Nosuch=*v)", "100", 0},
      {"(cn=*x*)", "100", 0},
      {"(sn=S*)", "100", 0},
      {"(sn=*TH)", "000", 0},
      {"(age>=5)", "100", 0},
      {"(age<=4)", "000", 0},
      {"(sn>=a)", "010", 0},
      {"(sn<=Z)", "100", 0},
      {"(description=a)", "100", 0},
      // A deleted DN matches nothing, also under a not.
      {"(!(cn=x))", "010", 0},
      {"(!(!(cn=x)))", "100", 0},
      {"(&)", "110", 0},
      {"(|)", "000", 0},
      {"(!(|))", "110", 0},
      {"(&(sn=Smith)(age=5))", "100", 0},
      {"(|(sn=smith)(age=5))", "110", 0},
      {"(!(cn~=x))", "110", 2},
      {"(cn:=x)", "000", 2},
  };
  for (const verdict_case& c : cases) {
    const Filter* f = resolved(c.filter);
    std::string verdicts;
    const std::string err = capture_stderr([&] {
      for (const journal_entry* e : entries) verdicts += match_journal_entry(e, f) ? '1' : '0';
    });
    EXPECT_EQ(verdicts, c.expected) << c.filter;
    EXPECT_EQ(count_of(err, kUnsupported), c.unsupported) << c.filter;
  }
}

TEST_F(Match, JournalValuesAreReadWhole) {
  load_default();
  const auto j = make_journal("cn=bin,o=b", {{"description", std::string("a\0bc", 4)},
                                             {"description", ""},
                                             {"odd", "Q"}});
  // Unknown to the table; a name in the long form (the empty name).
  const auto k = make_journal("cn=empty,o=b", {{"", "w"}});
  const verdict_case cases[] = {
      {"(description=a\\00bc)", "10", 0}, {"(description=)", "10", 0},
      {"(description=a*)", "10", 0},      {"(description=*\\00b*)", "10", 0},
      {"(description=*c)", "10", 0},      {"(description=a)", "00", 0},
      {"(odd=Q)", "10", 0},               {"(odd=q)", "00", 0},
      {"(=w)", "01", 0},                  {"(=*)", "01", 0},
  };
  for (const verdict_case& c : cases) {
    const Filter* f = resolved(c.filter);
    std::string verdicts;
    verdicts += match_journal_entry(&j->entry, f) ? '1' : '0';
    verdicts += match_journal_entry(&k->entry, f) ? '1' : '0';
    EXPECT_EQ(verdicts, c.expected) << c.filter;
  }
}

// ---- Request entries ---------------------------------------------------------------------

TEST_F(Match, RequestVerdicts) {
  load_default();
  const auto q1 = make_request("cn=q,o=b", {{"cn", {"x", "Zed"}},
                                            {"sn", {"Smith"}},
                                            {"cn", {"y"}},
                                            {"Mail", {"m@x"}},
                                            {"nosuch", {"v"}},
                                            {"description", {std::string("a\0b", 3), ""}}});
  const auto q2 = make_request("cn=r,o=b", {});  // a delete: the DN only
  const verdict_case cases[] = {
      {"(cn=x)", "10", 0},
      {"(cn=X)", "10", 0},
      {"(cn=zed)", "10", 0},
      {"(cn=y)", "00", 0},  // only the first cn attribute counts
      {"(CN=x)", "00", 0},  // types compare exactly
      {"(cn=*)", "10", 0},
      {"(mail=*)", "00", 0},
      {"(Mail=*)", "10", 0},
      {"(Mail=m@x)", "10", 0},
      {"(nosuch=v)", "10", 0},  // unresolved, matched by type
      {"(dn=cn=q,o=b)", "10", 0},
      {"(DN=CN=Q,O=B)", "00", 0},
      {"(dn=*)", "00", 0},  // the DN does not count as an attribute
      {"(dn=cn=*)", "11", 0},
      {"(dn<=cn=q)", "00", 0},
      {"(dn>=cn=q)", "11", 0},
      {"(sn>=S)", "10", 0},
      {"(sn<=Smith)", "10", 0},
      {"(sn<=Sm)", "00", 0},
      {"(sn>=smith)", "00", 0},
      {"(cn>=Y)", "10", 0},
      {"(cn=*ED)", "10", 0},
      {"(cn=z*d)", "10", 0},
      {"(cn=*y*)", "00", 0},
      {"(sn=*MITH)", "00", 0},
      {"(description=a\\00b)", "10", 0},
      {"(description=)", "10", 0},
      {"(description=*\\00*)", "10", 0},
      {"(description=*b)", "10", 0},
      {"(!(cn=x))", "01", 0},
      {"(&)", "11", 0},
      {"(|)", "00", 0},
      {"(&(cn=x)(sn=Smith))", "10", 0},
      {"(|(sn=x)(dn=cn=r,o=b))", "01", 0},
      {"(!(cn~=x))", "11", 2},
      {"(cn:=x)", "00", 2},
  };
  for (const verdict_case& c : cases) {
    const Filter* f = resolved(c.filter);
    std::string verdicts;
    const std::string err = capture_stderr([&] {
      verdicts += match_request_entry(&q1->entry, f) ? '1' : '0';
      verdicts += match_request_entry(&q2->entry, f) ? '1' : '0';
    });
    EXPECT_EQ(verdicts, c.expected) << c.filter;
    EXPECT_EQ(count_of(err, kUnsupported), c.unsupported) << c.filter;
  }
}

// ---- Scope -------------------------------------------------------------------------------

TEST(DnSuffix, SpacesAndCaseDoNotCount) {
  struct suffix_case {
    std::string base;
    std::string dn;
    int expected;
  };
  const suffix_case cases[] = {
      {"o=b", "cn=a,o=b", 1},
      {"o=b", "cn=a,O = b", 1},
      {"O=B", "cn=a,o=b", 1},
      {"o = b", "cn=a,o=b", 1},
      {"o=b ", "cn=a,o=b", 1},
      {"o=b", "cn=a,o=b  ", 1},
      {"o=b", "o=b", 1},
      {"o=b", "xo=b", 1},  // a suffix of bytes, not of RDNs
      {"o=b", "cn=a,o=bb", 0},
      {"o=b", "cn=a,o=c", 0},
      {"o=b", "", 0},
      {"", "", 0},
      {"", "cn=a", 1},
      {"cn=a,o=b", "o=b", 0},    // the DN runs out first
      {"xo=b", "o =   b", 0},
      {" o=b", "o=b", 0},        // the base's first byte is taken, space or not
      {" o=b", " o=b", 1},
      {"o=b", " o=b", 1},
      {"\xc3=b", "\xe3=b", 0},  // only "A"-"Z" fold
      {"\xc3=b", "\xc3=B", 1},
      {"[=b", "{=b", 0},
  };
  for (const suffix_case& c : cases) {
    const int got = dn_suffix_match(counted_str{c.base.size(), c.base.data()},
                                    counted_str{c.dn.size(), c.dn.data()});
    EXPECT_EQ(got, c.expected) << "'" << c.base << "' '" << c.dn << "'";
  }
}

struct scope_case {
  std::string base;
  uint32_t scope;
  const char* filter;
  const char* expected;
};

TEST_F(Match, RecordScope) {
  load_default();
  // Records: o=b, cn=a,o=b, cn=c,cn=a,o=b, cn=d,o=bb, cn=j q,o=b.
  const scope_case cases[] = {
      {"o=b", scope_single_level, "(objectClass=*)", "11001"},
      {"o=b", scope_base_object, "(objectClass=*)", "10000"},
      {"O=B", scope_base_object, "(objectClass=*)", "10000"},
      {"o=b", scope_whole_subtree, "(objectClass=*)", "11101"},
      {"o=b", 7, "(objectClass=*)", "11001"},  // unknown scopes act as singleLevel
      {"cn=a,o=b", scope_single_level, "(objectClass=*)", "01100"},
      {"cn=a,o=b", scope_whole_subtree, "(objectClass=*)", "01100"},
      {"cn=a,o=b", scope_base_object, "(objectClass=*)", "01000"},
      {"CN=A, O=B", scope_whole_subtree, "(objectClass=*)", "00100"},  // longer than cn=a,o=b
      {"", scope_base_object, "(objectClass=*)", "00000"},
      {"", scope_single_level, "(objectClass=*)", "10000"},
      {"", scope_whole_subtree, "(objectClass=*)", "11111"},
      {"o=bb", scope_single_level, "(objectClass=*)", "00010"},
      {"b", scope_whole_subtree, "(objectClass=*)", "11111"},
      {"B", scope_base_object, "(objectClass=*)", "00000"},
      {"x", scope_whole_subtree, "(objectClass=*)", "00000"},
      // The separator allowance of singleLevel is exactly two bytes.
      {"=b", scope_single_level, "(objectClass=*)", "11001"},
      {"b", scope_single_level, "(objectClass=*)", "10000"},
      {"cn=j q,o=b", scope_base_object, "(objectClass=*)", "00001"},
      {"cn=jq,o=b", scope_whole_subtree, "(objectClass=*)", "00001"},
      {"cn=jq,o=b", scope_base_object, "(objectClass=*)", "00000"},
      {"cn=c,cn=a,o=b,o=x", scope_whole_subtree, "(objectClass=*)", "00000"},
      // The filter decides among the entries in scope.
      {"o=b", scope_whole_subtree, "(cn=x)", "01000"},
      {"o=b", scope_whole_subtree, "(!(cn=x))", "10101"},
      {"o=b", scope_single_level, "(cn=*)", "01001"},
  };
  for (const scope_case& c : cases) {
    search_request q{};
    q.baseObject = counted_str{c.base.size(), c.base.data()};
    q.scope = c.scope;
    q.filter = resolved(c.filter);
    std::string verdicts, in_scope, scope_and_filter;
    for (uint32_t i = 0; i < data_store.record_count; ++i) {
      const uint32_t r = record_offset(i);
      verdicts += record_matches_search(r, &q) ? '1' : '0';
      in_scope += record_in_scope(r, &q) ? '1' : '0';
      scope_and_filter += record_in_scope(r, &q) && match_record(r, q.filter) ? '1' : '0';
    }
    EXPECT_EQ(verdicts, c.expected) << "'" << c.base << "' scope " << c.scope << " " << c.filter;
    // The scope test alone is the first half of the whole test; with a
    // filter every record passes, it is the whole test.
    EXPECT_EQ(scope_and_filter, verdicts) << "'" << c.base << "' scope " << c.scope;
    if (std::string(c.filter) == "(objectClass=*)") {
      EXPECT_EQ(in_scope, c.expected) << "'" << c.base << "' scope " << c.scope;
    }
  }
}

TEST_F(Match, JournalScope) {
  load_default();
  std::vector<std::unique_ptr<built_journal>> js;
  js.push_back(make_journal("o=b", {{"cn", "top"}}));
  js.push_back(make_journal("cn=a,o=b", {{"cn", "x"}}));
  js.push_back(make_journal("cn=a, o=b", {{"cn", "x"}}));
  js.push_back(make_journal("cn=a,O = b", {{"cn", "x"}}));
  js.push_back(make_journal("cn=c,cn=a,o=b", {{"cn", "y"}}));
  js.push_back(make_journal("cn=a,o=b", {{"cn", "x"}}, /*long_dn=*/true));
  js.push_back(make_journal("cn=gone,o=b", {}));
  js.push_back(make_journal("", {{"cn", "root"}}));  // the empty DN, long form
  const scope_case cases[] = {
      {"o=b", scope_single_level, "(cn=*)", "11100000"},
      {"o=b", scope_whole_subtree, "(cn=*)", "11111000"},
      {"o=b", scope_base_object, "(cn=*)", "10000000"},
      {"O=B", scope_base_object, "(cn=*)", "10000000"},
      {"cn=a,o=b", scope_single_level, "(cn=*)", "01111000"},
      {"cn=a,o=b", scope_base_object, "(cn=*)", "01000000"},
      {"", scope_whole_subtree, "(cn=*)", "11111101"},
      {"", scope_base_object, "(cn=*)", "00000001"},
      {"", scope_single_level, "(cn=*)", "10000001"},
      {"o=b", scope_whole_subtree, "(cn=x)", "01110000"},
      {"o=b", scope_whole_subtree, "(!(cn=x))", "10001000"},
  };
  for (const scope_case& c : cases) {
    search_request q{};
    q.baseObject = counted_str{c.base.size(), c.base.data()};
    q.scope = c.scope;
    q.filter = resolved(c.filter);
    std::string verdicts;
    for (const auto& j : js) verdicts += journal_matches_search(&j->entry, &q) ? '1' : '0';
    EXPECT_EQ(verdicts, c.expected) << "'" << c.base << "' scope " << c.scope << " " << c.filter;
  }
}

// ---- Against a plain evaluation ------------------------------------------------------------
//
// Random data files and random filters: match_record, match_journal_entry
// and match_request_entry must agree with a direct evaluation over the
// entries as written, built on compare_values and plain string searches.

struct model_entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> values;  // table spelling
};

// The attribute table of the random files; the first two compare without case.
const char* const kNocase[] = {"cn", "description"};
const char* const kAttributes[] = {"cn", "description", "sn", "mail", "objectClass"};

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

enum class shape { record, journal, request };

struct oracle {
  shape kind;
  const model_entry* entry;
  bool deleted = false;                                                   // journal
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;  // request

  // The table name a description resolves to, "" when none.
  static std::string resolve(const counted_str& d) {
    const std::string l = lower(std::string(d.bytes, d.len));
    if (l == "dn") return "dn";
    for (const char* a : kAttributes) {
      if (lower(a) == l) return a;
    }
    return "";
  }
  static bool nocase(const std::string& table_name) {
    for (const char* a : kNocase) {
      if (table_name == a) return true;
    }
    return false;
  }

  // The values an item looks at, and whether the attribute is there.
  bool values_of(const Filter* f, std::vector<std::string>* out) const {
    const std::string name = resolve(f->attribute);
    const std::string spelled(f->attribute.bytes, f->attribute.len);
    if (name == "dn") {
      if (kind == shape::request && f->choice == filter_present) return false;
      out->push_back(entry->dn);
      return true;
    }
    bool there = false;
    if (kind == shape::record) {
      if (name.empty()) return false;
      there = name == "objectClass";
      for (const auto& [n, v] : entry->values) {
        if (n == name) {
          out->push_back(v);
          there = true;
        }
      }
    } else if (kind == shape::journal) {
      for (const auto& [n, v] : entry->values) {
        if (n == spelled) {
          out->push_back(v);
          there = true;
        }
      }
    } else {
      for (const auto& [type, vals] : groups) {
        if (type == spelled) {
          *out = vals;
          return true;
        }
      }
    }
    return there;
  }

  static bool substring_holds(const Filter* f, std::string v, bool fold) {
    if (fold) v = lower(v);
    for (const filter_substring* s = f->substrings; s != nullptr; s = s->next) {
      std::string e(s->value.bytes, s->value.len);
      if (fold) e = lower(e);
      if (s->kind == substring_initial && v.compare(0, e.size(), e) != 0) return false;
      if (s->kind == substring_final &&
          (e.size() > v.size() || v.compare(v.size() - e.size(), e.size(), e) != 0))
        return false;
      if (s->kind == substring_any && v.find(e) == std::string::npos) return false;
    }
    return true;
  }

  bool eval(const Filter* f) const {
    if (kind == shape::journal && deleted) return false;
    switch (f->choice) {
      case filter_and:
        for (const Filter* c = f->children; c != nullptr; c = c->next) {
          if (!eval(c)) return false;
        }
        return true;
      case filter_or:
        for (const Filter* c = f->children; c != nullptr; c = c->next) {
          if (eval(c)) return true;
        }
        return false;
      case filter_not:
        return !eval(f->children);
      case filter_present: {
        std::vector<std::string> vals;
        return values_of(f, &vals);
      }
      case filter_equality:
      case filter_greater_or_equal:
      case filter_less_or_equal:
      case filter_substrings: {
        const std::string name = resolve(f->attribute);
        const bool fold = nocase(name);
        std::vector<std::string> vals;
        values_of(f, &vals);
        for (const std::string& v : vals) {
          if (f->choice == filter_substrings) {
            if (substring_holds(f, v, fold)) return true;
            continue;
          }
          const int32_t r =
              fold ? compare_values_nocase(f->value.bytes, f->value.len, v.data(), v.size())
                   : compare_values(f->value.bytes, f->value.len, v.data(), v.size());
          if (f->choice == filter_equality ? r == 0
              : f->choice == filter_greater_or_equal ? r <= 0
                                                      : r >= 0)
            return true;
        }
        return false;
      }
      default:
        return false;
    }
  }
};

class random_source {
 public:
  explicit random_source(uint32_t seed) : gen_(seed) {}
  uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(gen_); }
  bool chance(uint32_t percent) { return below(100) < percent; }

  // Short values over a few bytes, so that equal values, prefixes and
  // case twins are common; 0 bytes and bytes above 0x7f included.
  std::string value(uint32_t max_len = 4) {
    static constexpr char kBytes[] = {'a', 'b', 'A', 'B', 'z', ' ', '\x80', '\xff', '\0'};
    std::string s;
    const uint32_t n = below(max_len + 1);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t k = below(sizeof kBytes);
      if (kBytes[k] == '\0' && !chance(30)) continue;
      s += kBytes[k];
    }
    return s;
  }

 private:
  std::mt19937 gen_;
};

std::vector<model_entry> random_entries(random_source& rnd, uint32_t count) {
  std::vector<model_entry> entries;
  static const char* const kClasses[] = {"top", "person", "Top", "p", "person2"};
  for (uint32_t i = 0; i < count; ++i) {
    model_entry e;
    e.dn = "cn=r" + std::to_string(i) + (i % 3 == 0 ? ",o=t" : ",ou=u,o=t");
    const uint32_t classes = 1 + rnd.below(3);
    for (uint32_t k = 0; k < classes; ++k) e.values.emplace_back("objectClass", kClasses[rnd.below(5)]);
    for (const char* a : kAttributes) {
      if (std::string(a) == "objectClass") continue;
      // The first entry has every attribute, so that every name is in the table.
      const uint32_t n = i == 0 ? 1 + rnd.below(2) : rnd.below(4);
      for (uint32_t k = 0; k < n; ++k) {
        // Interleave: insert at a random place after the first objectClass.
        const size_t at = 1 + rnd.below(static_cast<uint32_t>(e.values.size()));
        e.values.insert(e.values.begin() + static_cast<std::ptrdiff_t>(at), {a, rnd.value()});
      }
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

Filter* random_filter(random_source& rnd, filter_builder& b, const std::vector<model_entry>& entries,
                      uint32_t depth) {
  const uint32_t r = rnd.below(10);
  if (depth < 4 && r < 3) {
    Filter* f = b.make(r == 0 ? filter_and : r == 1 ? filter_or : filter_not);
    const uint32_t n = f->choice == filter_not ? 1 : rnd.below(4);
    for (uint32_t i = 0; i < n; ++i) filter_builder::push_child(f, random_filter(rnd, b, entries, depth + 1));
    return f;
  }
  static const char* const kDescriptions[] = {"cn",          "CN",          "sn",  "Sn",
                                              "mail",        "objectClass", "objectclass",
                                              "description", "dn",          "DN",  "nosuch"};
  const std::string attribute = kDescriptions[rnd.below(sizeof kDescriptions / sizeof *kDescriptions)];
  static const uint32_t kChoices[] = {filter_equality,      filter_equality,      filter_greater_or_equal,
                                      filter_less_or_equal, filter_substrings,    filter_substrings,
                                      filter_present,       filter_approx,        9};
  const uint32_t choice = kChoices[rnd.below(rnd.chance(90) ? 7 : 9)];
  std::string value;
  if (lower(attribute) == "dn") {
    const std::string& dn = entries[rnd.below(static_cast<uint32_t>(entries.size()))].dn;
    value = rnd.chance(50) ? dn : dn.substr(rnd.below(static_cast<uint32_t>(dn.size())), 3);
  } else if (lower(attribute) == "objectclass" && rnd.chance(60)) {
    static const char* const kClasses[] = {"top", "person", "TOP", "p", "pers"};
    value = kClasses[rnd.below(5)];
  } else {
    value = rnd.value(3);
  }
  Filter* f = b.item(choice, attribute, value);
  if (choice == filter_substrings) {
    const uint32_t n = rnd.below(4);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t kind = rnd.chance(95) ? rnd.below(3) : 3;
      std::string v = rnd.chance(70) ? value.substr(0, rnd.below(3)) : rnd.value(2);
      b.push_substring(f, kind, std::move(v));
    }
  }
  return f;
}

TEST_F(Match, AgreesWithAPlainEvaluation) {
  fixture::options opts;
  for (const char* a : kNocase) opts.nocase.emplace_back(a);
  uint64_t matched[3] = {0, 0, 0};
  uint64_t evaluated = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    random_source rnd(seed);
    const std::vector<model_entry> entries = random_entries(rnd, 40);
    std::vector<fixture::entry> file;
    for (const model_entry& e : entries) file.push_back(fixture::entry{e.dn, e.values});
    load(file, opts);
    ASSERT_EQ(data_store.record_count, entries.size());

    // The same entries as journal entries (some deleted) and as requests
    // (values grouped by type, types repeated, spelled as given).
    std::vector<std::unique_ptr<built_journal>> journals;
    std::vector<std::unique_ptr<built_request>> requests;
    std::vector<oracle> as_journal;
    std::vector<oracle> as_request;
    for (const model_entry& e : entries) {
      const bool deleted = rnd.chance(10);
      journals.push_back(
          make_journal(e.dn, deleted ? std::vector<std::pair<std::string, std::string>>{} : e.values));
      as_journal.push_back(oracle{shape::journal, &e, deleted, {}});
      oracle q{shape::request, &e, false, {}};
      for (const auto& [n, v] : e.values) {
        const std::string type = rnd.chance(15) ? lower(n) : n;
        bool joined = false;
        if (!q.groups.empty() && q.groups.back().first == type && rnd.chance(70)) {
          q.groups.back().second.push_back(v);
          joined = true;
        }
        if (!joined) q.groups.push_back({type, {v}});
      }
      requests.push_back(make_request(e.dn, q.groups));
      as_request.push_back(std::move(q));
    }

    for (int round = 0; round < 150; ++round) {
      filter_builder b;
      Filter* f = random_filter(rnd, b, entries, 0);
      capture_stderr([&] {
        resolve_filter_attributes(f);
        for (uint32_t i = 0; i < entries.size(); ++i) {
          const oracle as_record{shape::record, &entries[i], false, {}};
          const bool want_r = as_record.eval(f);
          const bool want_j = as_journal[i].eval(f);
          const bool want_q = as_request[i].eval(f);
          EXPECT_EQ(match_record(record_offset(i), f) != 0, want_r) << "seed " << seed << " round " << round << " record " << i;
          EXPECT_EQ(match_journal_entry(&journals[i]->entry, f) != 0, want_j)
              << "seed " << seed << " round " << round << " journal " << i;
          EXPECT_EQ(match_request_entry(&requests[i]->entry, f) != 0, want_q)
              << "seed " << seed << " round " << round << " request " << i;
          matched[0] += want_r;
          matched[1] += want_j;
          matched[2] += want_q;
          ++evaluated;
        }
      });
    }
  }
  // The filters are neither all true nor all false.
  for (uint64_t m : matched) {
    EXPECT_GT(m, evaluated / 20);
    EXPECT_LT(m, evaluated - evaluated / 20);
  }
}

}  // namespace
