#include "query/index_eval.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "query/match.h"
#include "query/set_pool.h"
#include "store/candidate_set.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/data_writer.h"
#include "store/record.h"
#include "tests/data_fixture.h"

using namespace std::string_literals;

namespace {

constexpr uint32_t kExtensible = 9;  // extensibleMatch's tag

// Filter trees built in code; nodes and strings live as long as the builder.
// Lists are given in list order (the order the engine walks them).
struct filter_builder {
  std::deque<Filter> nodes;
  std::deque<filter_substring> elements;
  std::deque<std::string> texts;

  counted_str text(const std::string& s) {
    texts.push_back(s);
    return counted_str{texts.back().size(), texts.back().data()};
  }
  Filter* node(uint32_t choice) {
    nodes.push_back(Filter{});
    nodes.back().choice = choice;
    return &nodes.back();
  }
  Filter* item(uint32_t choice, const std::string& attribute, const std::string& value = "") {
    Filter* f = node(choice);
    f->attribute = text(attribute);
    f->value = text(value);
    return f;
  }
  Filter* substrings(const std::string& attribute,
                     const std::vector<std::pair<uint32_t, std::string>>& list) {
    Filter* f = item(filter_substrings, attribute);
    filter_substring** link = &f->substrings;
    for (const auto& [kind, value] : list) {
      elements.push_back(filter_substring{kind, text(value), nullptr});
      *link = &elements.back();
      link = &elements.back().next;
    }
    return f;
  }
  Filter* group(uint32_t choice, const std::vector<Filter*>& children) {
    Filter* f = node(choice);
    Filter** link = &f->children;
    for (Filter* c : children) {
      *link = c;
      link = &c->next;
    }
    return f;
  }
};

// Sends descriptor 2 elsewhere while it lives: resolving unknown names and
// matching unsupported items write a line there for every call.
struct quiet_stderr {
  int saved;
  quiet_stderr() : saved(dup(2)) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    close(null_fd);
  }
  ~quiet_stderr() {
    buf_flush(&std_err);
    dup2(saved, 2);
    close(saved);
  }
};

using records = std::vector<uint32_t>;

// A candidate set with its own words, sized for the loaded file.
struct owned_set {
  std::vector<uint64_t> words;
  candidate_set set;
  owned_set() : words(data_store.set_words + 1, 0), set{words.data(), 0, 0} { set_clear(&set); }
};

records members(const candidate_set& s) {
  records out;
  for (int64_t i = set_next(&s, s.lowest); i >= 0; i = set_next(&s, static_cast<uint64_t>(i) + 1))
    out.push_back(static_cast<uint32_t>(i));
  return out;
}

records matching(const Filter* f) {
  records out;
  for (uint32_t i = 0; i < data_store.record_count; ++i) {
    if (match_record(record_offset(i), f)) out.push_back(i);
  }
  return out;
}

std::string dn_of(uint32_t i) {
  const char* s = data_store.base + record_value(record_offset(i), data_store.dn_name);
  return std::string(stored_str_data(s), stored_str_len(s));
}

std::set<std::string> dns(const records& r) {
  std::set<std::string> out;
  for (uint32_t i : r) out.insert(dn_of(i));
  return out;
}

// The records of `want` that are missing from `have` (both ascending).
records missing(const records& want, const records& have) {
  records out;
  size_t j = 0;
  for (uint32_t i : want) {
    while (j < have.size() && have[j] < i) ++j;
    if (j == have.size() || have[j] != i) out.push_back(i);
  }
  return out;
}

class IndexEval : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/index_eval_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    if (data_store.size != 0) unmap_data_file();
    data_store.size = 0;
    set_pool_release();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  void load(const std::vector<fixture::entry>& entries, const fixture::options& opts) {
    if (data_store.size != 0) unmap_data_file();
    const std::string path = dir_ + "/data";
    ASSERT_EQ(fixture::write_data_file(path, entries, opts), "");
    load_data_file(path.c_str());
  }
  // Resolves f and answers (usable, candidates); the candidates only when
  // usable.
  std::pair<int, records> evaluate(Filter* f) {
    resolve_filter_attributes(f);
    const int usable = index_usable(f);
    if (!usable) return {0, {}};
    owned_set s;
    EXPECT_EQ(evaluate_index(f, &s.set), 1);
    return {1, members(s.set)};
  }

  std::string dir_;
};

// ---- Chosen cases ---------------------------------------------------------

const std::vector<fixture::entry> kPeople = {
    {"cn=a,o=t", {{"objectClass", "person"}, {"cn", "a"}, {"description", "x"}}},
    {"cn=b,o=t", {{"objectClass", "person"}, {"cn", "b"}}},
    {"cn=ab,o=t", {{"objectClass", "person"}, {"cn", "ab"}, {"description", "x"}}},
    {"cn=abc,o=t", {{"objectClass", "device"}, {"cn", "abc"}}},
    {"cn=m,o=t", {{"objectClass", "top"}, {"objectClass", "person"}, {"cn", "m"}}},
    {"o=t", {{"objectClass", "organization"}}},
};

struct eval_case {
  const char* what;
  fixture::options opts;
  Filter* (*build)(filter_builder&);
  int usable;
  std::set<std::string> candidates;  // when usable
};

TEST_F(IndexEval, ChosenCases) {
  const fixture::options sorted_cn{{}, {{"cn", -1}}, {}, {}};
  const fixture::options sorted_cn_and_class{{}, {{"cn", 0}, {"objectClass", 1}}, {}, {}};
  // Enough buckets that no two cn values of kPeople share one (checked
  // below), so a probe proposes exactly the records with the value.
  const fixture::options hash_cn{{}, {}, {{"cn", 4096}}, {}};
  const fixture::options one_bucket_cn_sorted_class{{}, {{"objectClass", 1}}, {{"cn", 1}}, {}};
  const fixture::options nocase_cn{{"cn"}, {{"cn", 0}}, {}, {}};
  const fixture::options nocase_hash_cn{{"cn"}, {}, {{"cn", 4096}}, {}};
  std::set<uint32_t> buckets;
  for (const char* v : {"a", "b", "ab", "abc", "m"}) {
    buckets.insert(string_hash(v, cstr_length(v)) % 4096);
    ASSERT_EQ(string_hash(v, cstr_length(v)), string_hash_nocase(v, cstr_length(v)));
  }
  ASSERT_EQ(buckets.size(), 5u);
  const eval_case cases[] = {
      {"and: the indexed item first", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_and, {b.item(filter_equality, "cn", "a"),
                                     b.item(filter_equality, "description", "x")});
       },
       1, {"cn=a,o=t"}},
      {"and: the indexed item second", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_and, {b.item(filter_equality, "description", "x"),
                                     b.item(filter_equality, "cn", "a")});
       },
       1, {"cn=a,o=t"}},
      {"or with an unindexed member", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_or, {b.item(filter_equality, "cn", "a"),
                                    b.item(filter_equality, "description", "x")});
       },
       0, {}},
      {"or of indexed members is the union", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_or,
                        {b.item(filter_equality, "cn", "a"), b.item(filter_equality, "cn", "m")});
       },
       1, {"cn=a,o=t", "cn=m,o=t"}},
      {"not alone", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_not, {b.item(filter_equality, "cn", "a")});
       },
       0, {}},
      {"not under an and takes the operand's records away", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.item(filter_equality, "cn", "a")})});
       },
       1, {"cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"not over a shared hash bucket removes nothing", one_bucket_cn_sorted_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.item(filter_equality, "cn", "a")})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"not over a range lookup removes nothing", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.item(filter_greater_or_equal, "cn", "b")})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"not over present", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.item(filter_present, "description")})});
       },
       1, {"cn=b,o=t", "cn=m,o=t"}},
      {"double not gives the operand back", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.group(filter_not, {b.item(filter_equality, "cn",
                                                                          "ab")})})});
       },
       1, {"cn=ab,o=t"}},
      {"not over an and with an unindexed member removes nothing", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.group(filter_and,
                                                      {b.item(filter_equality, "cn", "ab"),
                                                       b.item(filter_equality, "description",
                                                              "y")})})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"not over an and of exact lookups", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.group(filter_and,
                                                      {b.item(filter_equality, "cn", "ab"),
                                                       b.item(filter_present, "description")})})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=m,o=t"}},
      {"not over an or with an unindexed member", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.group(filter_or,
                                                      {b.item(filter_equality, "cn", "ab"),
                                                       b.item(filter_equality, "description",
                                                              "x")})})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=m,o=t"}},
      {"not over an unusable item removes nothing", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "objectClass", "person"),
                         b.group(filter_not, {b.item(filter_equality, "description", "x")})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"not over an empty and removes everything", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and, {b.item(filter_equality, "objectClass", "person"),
                                     b.group(filter_not, {b.group(filter_and, {})})});
       },
       1, {}},
      {"not over an empty or removes nothing", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(filter_and, {b.item(filter_equality, "objectClass", "person"),
                                     b.group(filter_not, {b.group(filter_or, {})})});
       },
       1, {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=m,o=t"}},
      {"present without any index", {},
       [](filter_builder& b) { return b.item(filter_present, "description"); }, 1,
       {"cn=a,o=t", "cn=ab,o=t"}},
      {"present of objectClass is every record", {},
       [](filter_builder& b) { return b.item(filter_present, "objectclass"); }, 1,
       {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=abc,o=t", "cn=m,o=t", "o=t"}},
      {"initial substring uses the sorted table", sorted_cn,
       [](filter_builder& b) { return b.substrings("cn", {{substring_initial, "ab"}}); }, 1,
       {"cn=ab,o=t", "cn=abc,o=t"}},
      {"final substring alone is not usable", sorted_cn,
       [](filter_builder& b) { return b.substrings("cn", {{substring_final, "ab"}}); }, 0, {}},
      {"only the list's first element counts", sorted_cn,
       [](filter_builder& b) {
         return b.substrings("cn", {{substring_final, "c"}, {substring_initial, "ab"}});
       },
       0, {}},
      {"the other elements are not looked up", sorted_cn,
       [](filter_builder& b) {
         return b.substrings("cn", {{substring_initial, "ab"}, {substring_final, "c"}});
       },
       1, {"cn=ab,o=t", "cn=abc,o=t"}},
      {"greaterOrEqual with a sorted table", sorted_cn,
       [](filter_builder& b) { return b.item(filter_greater_or_equal, "cn", "b"); }, 1,
       {"cn=b,o=t", "cn=m,o=t"}},
      {"lessOrEqual with a sorted table", sorted_cn,
       [](filter_builder& b) { return b.item(filter_less_or_equal, "cn", "ab"); }, 1,
       {"cn=a,o=t", "cn=ab,o=t"}},
      {"greaterOrEqual with only a hash table", hash_cn,
       [](filter_builder& b) { return b.item(filter_greater_or_equal, "cn", "m"); }, 0, {}},
      {"substrings with only a hash table", hash_cn,
       [](filter_builder& b) { return b.substrings("cn", {{substring_initial, "a"}}); }, 0, {}},
      {"equality with a hash table", hash_cn,
       [](filter_builder& b) { return b.item(filter_equality, "cn", "abc"); }, 1,
       {"cn=abc,o=t"}},
      {"a one-bucket hash table proposes every record with a value", one_bucket_cn_sorted_class,
       [](filter_builder& b) { return b.item(filter_equality, "cn", "m"); }, 1,
       {"cn=a,o=t", "cn=b,o=t", "cn=ab,o=t", "cn=abc,o=t", "cn=m,o=t"}},
      {"case-insensitive sorted table", nocase_cn,
       [](filter_builder& b) { return b.item(filter_equality, "cn", "AB"); }, 1,
       {"cn=ab,o=t"}},
      {"case-insensitive hash table", nocase_hash_cn,
       [](filter_builder& b) { return b.item(filter_equality, "cn", "ABC"); }, 1,
       {"cn=abc,o=t"}},
      {"case-insensitive prefix", nocase_cn,
       [](filter_builder& b) { return b.substrings("cn", {{substring_initial, "AB"}}); }, 1,
       {"cn=ab,o=t", "cn=abc,o=t"}},
      {"a description in another case selects no block", sorted_cn,
       [](filter_builder& b) { return b.item(filter_equality, "CN", "a"); }, 0, {}},
      {"an unknown attribute selects no block", sorted_cn,
       [](filter_builder& b) { return b.item(filter_equality, "nosuch", "a"); }, 0, {}},
      {"approxMatch is not usable", sorted_cn,
       [](filter_builder& b) { return b.item(filter_approx, "cn", "a"); }, 0, {}},
      {"extensibleMatch is not usable", sorted_cn,
       [](filter_builder& b) { return b.item(kExtensible, "cn", "a"); }, 0, {}},
      {"an unsupported member of an and is passed over", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_approx, "cn", "a"), b.item(filter_equality, "cn", "b")});
       },
       1, {"cn=b,o=t"}},
      {"an and without children is not usable", sorted_cn,
       [](filter_builder& b) { return b.group(filter_and, {}); }, 0, {}},
      {"an or without children is usable and empty", sorted_cn,
       [](filter_builder& b) { return b.group(filter_or, {}); }, 1, {}},
      {"an and of disjoint lookups is empty", sorted_cn,
       [](filter_builder& b) {
         return b.group(filter_and,
                        {b.item(filter_equality, "cn", "a"), b.item(filter_equality, "cn", "b")});
       },
       1, {}},
      {"nested and/or", sorted_cn_and_class,
       [](filter_builder& b) {
         return b.group(
             filter_and,
             {b.group(filter_or, {b.item(filter_equality, "cn", "a"),
                                  b.item(filter_equality, "cn", "abc"),
                                  b.item(filter_equality, "cn", "m")}),
              b.group(filter_or, {b.item(filter_equality, "objectClass", "person"),
                                  b.group(filter_and, {b.item(filter_equality, "cn", "abc")})})});
       },
       1, {"cn=a,o=t", "cn=abc,o=t", "cn=m,o=t"}},
  };
  for (const eval_case& c : cases) {
    SCOPED_TRACE(c.what);
    load(kPeople, c.opts);
    filter_builder b;
    Filter* f = c.build(b);
    quiet_stderr quiet;
    const auto [usable, got] = evaluate(f);
    EXPECT_EQ(usable, c.usable);
    if (usable) {
      EXPECT_EQ(dns(got), c.candidates);
    }
  }
}

TEST_F(IndexEval, AnUnusableItemLeavesTheSetUntouched) {
  load(kPeople, {{}, {{"cn", -1}}, {}, {}});
  filter_builder b;
  Filter* items[] = {b.item(filter_equality, "description", "x"),
                     b.substrings("cn", {{substring_any, "b"}}), b.item(filter_approx, "cn", "a")};
  for (Filter* f : items) {
    quiet_stderr quiet;
    resolve_filter_attributes(f);
    owned_set s;
    set_add(&s.set, 1);
    set_add(&s.set, 4);
    const std::vector<uint64_t> before = s.words;
    EXPECT_EQ(evaluate_index(f, &s.set), 0);
    EXPECT_EQ(s.words, before);
    EXPECT_EQ(members(s.set), (records{1, 4}));
  }
}

TEST_F(IndexEval, AbsentNode) {
  load(kPeople, {});
  owned_set s;
  EXPECT_EQ(index_usable(nullptr), 0);
  EXPECT_EQ(evaluate_index(nullptr, &s.set), 0);
}

// The hash table comes first when an attribute has both kinds of index:
// with one bucket it proposes every record that has the attribute.
TEST_F(IndexEval, EqualityPrefersTheHashTable) {
  load(kPeople, {{}, {{"cn", 0}}, {{"cn", 1}}, {}});
  filter_builder b;
  EXPECT_EQ(evaluate(b.item(filter_equality, "cn", "a")).second.size(), 5u);
  EXPECT_EQ(dns(evaluate(b.item(filter_greater_or_equal, "cn", "m")).second),
            std::set<std::string>{"cn=m,o=t"});
}

// ---- Never missing a match ----------------------------------------------

// Random directories with random indexes, and random filters over them:
// the candidates of every filter that evaluates as usable hold every
// record that match_record accepts, and the gate never says usable where
// the evaluation does not.
class random_world {
 public:
  explicit random_world(uint32_t seed) : rng_(seed) {}

  std::vector<fixture::entry> entries() {
    std::vector<fixture::entry> out;
    const uint32_t n = 1 + pick(90);
    for (uint32_t i = 0; i < n; ++i) {
      fixture::entry e;
      e.dn = "uid=u" + std::to_string(i) + (pick(2) ? ",ou="s + one_of(kClasses) : "") + ",o=t";
      const uint32_t classes = 1 + pick(3);
      for (uint32_t k = 0; k < classes; ++k) e.values.emplace_back("objectClass", one_of(kClasses));
      const uint32_t pairs = pick(7);
      for (uint32_t k = 0; k < pairs; ++k) e.values.emplace_back(one_of(kDataNames), value());
      out.push_back(std::move(e));
    }
    return out;
  }

  fixture::options options() {
    fixture::options o;
    for (const char* a : kIndexable) {
      if (pick(4) == 0) o.nocase.push_back(a);
      if (pick(2) == 0) {
        const bool object_class = std::string(a) == "objectClass";
        o.sorted.emplace_back(a, object_class ? (pick(2) ? 1 : -1) : static_cast<int>(pick(3)) - 1);
      }
      if (pick(3) == 0) o.hash.emplace_back(a, one_of(kBuckets));
    }
    return o;
  }

  Filter* filter(filter_builder& b, uint32_t depth) {
    const uint32_t choice = depth == 0 ? filter_equality + pick(7) : pick(10);
    switch (choice) {
      case filter_and:
      case filter_or: {
        std::vector<Filter*> children;
        const uint32_t n = pick(4);
        for (uint32_t k = 0; k < n; ++k) children.push_back(filter(b, depth - 1));
        return b.group(choice, children);
      }
      case filter_not:
        return b.group(filter_not, {filter(b, depth - 1)});
      case filter_substrings: {
        std::vector<std::pair<uint32_t, std::string>> list;
        const uint32_t n = pick(4);
        for (uint32_t k = 0; k < n; ++k) {
          // Mostly initial first, so that the sorted tables get used.
          const uint32_t kind = k == 0 && pick(3) != 0 ? substring_initial : pick(4);
          list.emplace_back(kind, value().substr(0, pick(3)));
        }
        return b.substrings(attribute(), list);
      }
      case filter_present:
        return b.item(filter_present, attribute());
      case filter_approx:
      case kExtensible:
        return b.item(choice, attribute(), value());
      default: {
        const std::string a = attribute();
        return b.item(choice, a, a == "dn" && pick(2) ? dn_value() : value());
      }
    }
  }

  void remember_dns(const std::vector<fixture::entry>& entries) {
    dns_.clear();
    for (const fixture::entry& e : entries) dns_.push_back(e.dn);
  }

 private:
  static constexpr const char* kClasses[] = {"person", "top", "Person", "device", "b"};
  static constexpr const char* kDataNames[] = {"cn", "sn", "mail", "description", "uid"};
  static constexpr const char* kIndexable[] = {"cn", "sn", "mail", "uid", "objectClass", "dn"};
  static constexpr const char* kFilterNames[] = {"cn",  "sn", "mail", "description", "uid",
                                                 "dn",  "objectClass", "CN", "objectclass",
                                                 "Mail", "nosuch"};
  static constexpr uint32_t kBuckets[] = {0, 1, 2, 3, 7};
  // Short values that share prefixes and differ in case, the empty value
  // and one with a NUL byte (both stored in the long form).
  static inline const std::string kValues[] = {"a", "b",  "ab", "abc", "B",    "Ab",
                                               "ba", "m", "",   "a\0b"s, "x y"};

  uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
  template <typename T, size_t N>
  T one_of(const T (&list)[N]) {
    return list[pick(N)];
  }
  std::string value() { return one_of(kValues); }
  std::string attribute() { return one_of(kFilterNames); }
  std::string dn_value() {
    if (dns_.empty() || pick(4) == 0) return "uid=zz,o=t";
    std::string d = dns_[pick(static_cast<uint32_t>(dns_.size()))];
    if (pick(3) == 0) {
      for (char& c : d) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return d;
  }

  std::mt19937 rng_;
  std::vector<std::string> dns_;
};

TEST_F(IndexEval, CandidatesNeverMissAMatch) {
  uint64_t usable_filters = 0;
  uint64_t checked_matches = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    random_world world(seed);
    const std::vector<fixture::entry> entries = world.entries();
    world.remember_dns(entries);
    load(entries, world.options());
    quiet_stderr quiet;
    for (int k = 0; k < 200; ++k) {
      filter_builder b;
      Filter* f = world.filter(b, 4);
      resolve_filter_attributes(f);
      const int gate = index_usable(f);
      owned_set s;
      const int usable = evaluate_index(f, &s.set);
      if (gate) {
        EXPECT_EQ(usable, 1) << "filter " << k;
      }
      if (!usable) continue;
      ++usable_filters;
      const records want = matching(f);
      checked_matches += want.size();
      const records lost = missing(want, members(s.set));
      EXPECT_TRUE(lost.empty()) << "filter " << k << " misses " << lost.size() << " of "
                                << want.size() << " matches, the first " << dn_of(lost[0]);
    }
  }
  // The worlds must exercise both usable filters and real matches.
  EXPECT_GT(usable_filters, 20000u);
  EXPECT_GT(checked_matches, 400000u);
}

// ---- Scale ----------------------------------------------------------------

// Bytes in use by malloc, mmapped blocks included.
uint64_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// (|(uid=u<k>)(&<F_k-1>(objectClass=person))), 100 and/or levels deep: the
// candidates are exactly the uids named (uid has an exact sorted table,
// objectClass none), so the deep levels must all have worked.
TEST_F(IndexEval, DeepFilterOverMillionsOfRecords) {
  constexpr uint32_t kRecords = 2'000'000;
  constexpr uint32_t kLevels = 100;
  {
    // Straight through the writer: a vector of two million entries would
    // cost far more memory than the file.
    data_writer* w = data_writer_new();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(data_writer_sorted_index(w, "uid", 0), 0);
    char uid[16];
    char dn[24];
    for (uint32_t i = 0; i < kRecords; ++i) {
      const int n = std::snprintf(uid, sizeof uid, "u%u", i);
      const int m = std::snprintf(dn, sizeof dn, "uid=%s", uid);
      ASSERT_EQ(data_writer_begin_entry(w, dn, m), 0);
      ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "person", 6), 0);
      ASSERT_EQ(data_writer_add_value(w, "uid", 3, uid, n), 0);
      ASSERT_EQ(data_writer_end_entry(w), 0);
    }
    const std::string path = dir_ + "/data";
    ASSERT_EQ(data_writer_write(w, path.c_str(), nullptr), 0) << data_writer_error(w);
    data_writer_free(w);
    load_data_file(path.c_str());
  }
  ASSERT_EQ(data_store.record_count, kRecords);

  filter_builder b;
  std::set<std::string> want;
  Filter* f = b.item(filter_equality, "uid", "u0");
  want.insert("uid=u0");
  for (uint32_t level = 1; level < kLevels; level += 2) {
    const std::string uid = "u" + std::to_string(level * 19'997);
    want.insert("uid=" + uid);
    f = b.group(filter_or,
                {b.item(filter_equality, "uid", uid),
                 b.group(filter_and, {f, b.item(filter_equality, "objectClass", "person")})});
  }
  resolve_filter_attributes(f);
  ASSERT_EQ(index_usable(f), 1);

  candidate_set s{set_pool_words(set_pool_result), 0, 0};
  ASSERT_NE(s.words, nullptr);
  ASSERT_EQ(evaluate_index(f, &s), 1);
  EXPECT_EQ(dns(members(s)), want);
  // One result set and a scratch set per and/or level, nothing more.
  const uint64_t set_bytes = uint64_t{8} * data_store.set_words;
  const uint64_t pool = set_pool_bytes();
  EXPECT_GE(pool, (kLevels + 1) * set_bytes);
  EXPECT_LT(pool, (kLevels + 2) * set_bytes);

  const uint64_t heap = heap_in_use();
  for (int round = 0; round < 5; ++round) {
    s.words = set_pool_words(set_pool_result);
    ASSERT_EQ(evaluate_index(f, &s), 1);
    EXPECT_EQ(members(s).size(), want.size());
  }
  EXPECT_EQ(set_pool_bytes(), pool);
  EXPECT_EQ(heap_in_use(), heap);
}

}  // namespace
