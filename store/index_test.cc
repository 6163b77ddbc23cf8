#include "store/index.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/diag.h"
#include "core/out_buffer.h"
#include "store/data_file.h"
#include "store/record.h"
#include "tests/capture_stderr.h"
#include "tests/data_fixture.h"

using namespace std::string_literals;

namespace {

using records = std::vector<int64_t>;

counted_str key_of(const std::string& s) { return counted_str{s.size(), s.data()}; }

std::string folded(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// A candidate set with its own words, sized for the loaded file.
struct owned_set {
  std::vector<uint64_t> words;
  candidate_set set;

  owned_set() : words(data_store.set_words + 1, 0), set{words.data(), 0, 0} { set_clear(&set); }

  records members() const {
    records out;
    for (int64_t i = set_next(&set, set.lowest); i >= 0;
         i = set_next(&set, static_cast<uint64_t>(i) + 1)) {
      out.push_back(i);
    }
    return out;
  }
};

records search(uint32_t block, const std::string& key, value_cmp_fn cmp, search_mode mode) {
  owned_set s;
  set_fill(&s.set);  // the search must clear it
  search_sorted_table(block, key_of(key), cmp, mode, &s.set);
  return s.members();
}

records probe(uint32_t block, const std::string& key, int fold) {
  owned_set s;
  probe_hash_table(block, key_of(key), fold, &s.set);
  return s.members();
}

const char* mode_name(search_mode m) {
  return m == search_equal ? "equal" : m == search_at_least ? "at-least" : "at-most";
}

// Builds data files in a temporary directory and loads them.
class Index : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ferrowyn-index-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/data";
  }

  void TearDown() override {
    trace_enabled = false;
    if (image_.empty()) {
      unmap_data_file();
    } else {
      data_store = loaded_data_file{};
    }
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  void load(const std::vector<fixture::entry>& entries, const fixture::options& opts) {
    if (data_store.size != 0) unmap_data_file();
    ASSERT_EQ(fixture::write_data_file(path_, entries, opts), "");
    load_data_file(path_.c_str());
  }

  // Points data_store at hand-laid bytes, for layouts the writer never
  // produces. Words are put with put_word; the header is not read here.
  void use_image(uint32_t record_count, uint32_t indices_offset) {
    data_store = loaded_data_file{};
    data_store.base = image_.data();
    data_store.size = image_.size();
    data_store.record_count = record_count;
    data_store.set_words = (record_count + 63) / 64;
    data_store.indices_offset = indices_offset;
    // Not loaded, so no list of index blocks: lookups walk the chain.
    data_store.index_block_count = UINT32_MAX;
    // What the loader finds, for the lookups' string checks.
    const size_t nul = image_.rfind('\0');
    data_store.last_nul = nul == std::string::npos ? 0 : nul;
  }
  void put_word(uint32_t off, uint32_t v) {
    if (image_.size() < off + 4) image_.resize(off + 4, '\0');
    for (int i = 0; i < 4; ++i) image_[off + i] = static_cast<char>(v >> (8 * i));
  }
  void put_text(uint32_t off, const std::string& s) {
    if (image_.size() < off + s.size() + 1) image_.resize(off + s.size() + 1, '\0');
    image_.replace(off, s.size() + 1, s + '\0');
  }

  // One record per value of the attribute "st", in order.
  void load_values(const std::vector<std::string>& values, const fixture::options& opts) {
    std::vector<fixture::entry> entries;
    for (size_t i = 0; i < values.size(); ++i) {
      entries.push_back({"cn=r" + std::to_string(i), {{"objectClass", "top"}, {"st", values[i]}}});
    }
    load(entries, opts);
  }

  std::string dir_, path_;
  std::string image_;
};

// ---------------------------------------------------------------- block selection

TEST_F(Index, FindBlockMatchesKindAndExactName) {
  fixture::options opts;
  opts.sorted = {{"cn", 0}, {"mail", 1}};
  opts.hash = {{"cn", 5}, {"uid", 0}};
  load({{"cn=a", {{"objectClass", "top"}, {"cn", "a"}, {"mail", "m"}, {"uid", "u"}}}}, opts);
  struct Case {
    index_kinds kinds;
    const char* name;
    int want_type;  // -1: no block
  };
  const Case cases[] = {
      {index_sorted, "cn", 0}, {index_hash, "cn", 3},    {index_sorted, "mail", 1},
      {index_hash, "mail", -1}, {index_hash, "uid", 3},  {index_sorted, "uid", -1},
      {index_sorted, "CN", -1}, {index_hash, "Cn", -1},  {index_sorted, "Mail", -1},
      {index_sorted, "c", -1},  {index_sorted, "cnn", -1}, {index_sorted, "", -1},
      {index_sorted, "sn", -1},
  };
  for (const Case& c : cases) {
    const uint32_t b = find_index_block(c.kinds, key_of(c.name));
    if (c.want_type < 0) {
      EXPECT_EQ(b, 0u) << c.name;
      continue;
    }
    ASSERT_NE(b, 0u) << c.name;
    EXPECT_EQ(data_word(b), static_cast<uint32_t>(c.want_type)) << c.name;
    const char* attribute = data_store.base + data_word(b + 8);
    EXPECT_STREQ(attribute, c.name);
  }
}

TEST_F(Index, FindBlockPassesOverOtherBlockTypes) {
  // A chain of blocks of types 7, 2, 3 and 1, all naming "cn".
  const uint32_t name = 20;
  put_text(name, "cn");
  const uint32_t start = 32;
  const uint32_t types[] = {7, 2, 3, 1};
  uint32_t b = start;
  for (uint32_t t : types) {
    put_word(b, t);
    put_word(b + 4, b + 32);
    put_word(b + 8, name);
    b += 32;
  }
  image_.resize(b, '\0');
  use_image(0, start);
  EXPECT_EQ(find_index_block(index_sorted, key_of("cn")), start + 3 * 32);
  EXPECT_EQ(find_index_block(index_hash, key_of("cn")), start + 2 * 32);
}

TEST_F(Index, FindBlockStopsAtAChainThatDoesNotMoveForward) {
  const uint32_t name = 20;
  put_text(name, "cn");
  put_word(32, 7);
  put_word(36, 32);  // its own offset
  put_word(40, name);
  put_word(64, 0);  // a matching block it never reaches
  put_word(68, 96);
  put_word(72, name);
  image_.resize(96, '\0');
  use_image(0, 32);
  EXPECT_EQ(find_index_block(index_sorted, key_of("cn")), 0u);
}

// ---------------------------------------------------------------- sorted tables

TEST_F(Index, FourValueTableInEveryMode) {
  struct Case {
    std::string key;
    value_cmp_fn cmp;
    search_mode mode;
    records want;
  };
  const Case cases[] = {
      {"b", cmp_value, search_equal, {1, 2}},
      {"b", cmp_value, search_at_least, {1, 2, 3}},
      {"b", cmp_value, search_at_most, {0, 1, 2}},
      {"bb", cmp_value, search_equal, {}},
      {"bb", cmp_value, search_at_least, {3}},
      {"bb", cmp_value, search_at_most, {0, 1, 2, 3}},
      // The last position probed is taken along although 'c' < 'd'.
      {"d", cmp_value, search_at_least, {3}},
      {"d", cmp_value, search_at_most, {0, 1, 2, 3}},
      {"d", cmp_value, search_equal, {}},
      {"a", cmp_value, search_equal, {0}},
      {"a", cmp_value, search_at_most, {0}},
      {"a", cmp_value, search_at_least, {0, 1, 2, 3}},
      {"c", cmp_value, search_at_least, {3}},
      {"c", cmp_value, search_at_most, {0, 1, 2, 3}},
      {"", cmp_value, search_equal, {}},
      {"", cmp_value, search_at_least, {0, 1, 2, 3}},
      {"", cmp_value, search_at_most, {0}},
      {"B", cmp_value, search_equal, {}},
      {"b", cmp_prefix, search_equal, {1, 2}},
      {"", cmp_prefix, search_equal, {0, 1, 2, 3}},
  };
  for (int type : {0, 1}) {
    fixture::options opts;
    opts.sorted = {{"st", type}};
    load_values({"a", "b", "b", "c"}, opts);
    const uint32_t block = find_index_block(index_sorted, key_of("st"));
    ASSERT_NE(block, 0u);
    ASSERT_EQ(data_word(block), static_cast<uint32_t>(type));
    for (const Case& c : cases) {
      EXPECT_EQ(search(block, c.key, c.cmp, c.mode), c.want)
          << "type " << type << " key '" << c.key << "' " << mode_name(c.mode);
    }
  }
}

TEST_F(Index, PrefixesFormOneRun) {
  struct Case {
    std::string key;
    value_cmp_fn cmp;
    records want;
  };
  // Record i holds the value at i.
  const std::vector<std::string> values = {"a", "b", "ba", "bb", "c", "b\xc3\xa9", "B", "bA"};
  const std::vector<Case> cases = {
      {"b", cmp_prefix, {1, 2, 3, 5, 7}},
      {"ba", cmp_prefix, {2}},
      {"b\xc3", cmp_prefix, {5}},
      {"bc", cmp_prefix, {}},
      {"B", cmp_prefix, {6}},
      {"bb", cmp_value, {3}},
      {"ba", cmp_value, {2}},
  };
  const std::vector<Case> nocase_cases = {
      {"b", cmp_prefix_nocase, {1, 2, 3, 5, 6, 7}},
      {"BA", cmp_prefix_nocase, {2, 7}},
      {"bB", cmp_prefix_nocase, {3}},
      {"BC", cmp_prefix_nocase, {}},
      {"BA", cmp_value_nocase, {2, 7}},
      {"b", cmp_value_nocase, {1, 6}},
  };
  for (int type : {0, 1}) {
    for (bool nocase : {false, true}) {
      fixture::options opts;
      opts.sorted = {{"st", type}};
      if (nocase) opts.nocase = {"st"};
      load_values(values, opts);
      const uint32_t block = find_index_block(index_sorted, key_of("st"));
      ASSERT_NE(block, 0u);
      for (const Case& c : nocase ? nocase_cases : cases) {
        EXPECT_EQ(search(block, c.key, c.cmp, search_equal), c.want)
            << "type " << type << " nocase " << nocase << " key '" << c.key << "'";
      }
    }
  }
}

TEST_F(Index, TracesEveryProbe) {
  fixture::options opts;
  opts.sorted = {{"st", 1}};
  load_values({"a", "b", "b", "c"}, opts);
  const uint32_t block = find_index_block(index_sorted, key_of("st"));
  ASSERT_NE(block, 0u);
  struct Case {
    std::string key;
    std::string want;
  };
  const Case cases[] = {
      {"b", "match[0..3]: b <-> b: MATCH!\n"},
      {"bb",
       "match[0..3]: bb <-> b: larger!\n"
       "match[2..3]: bb <-> b: larger!\n"
       "match[3..3]: bb <-> c: smaller!\n"},
      {"0",
       "match[0..3]: 0 <-> b: smaller!\n"
       "match[0..0]: 0 <-> a: smaller!\n"},
  };
  for (const Case& c : cases) {
    trace_enabled = true;
    EXPECT_EQ(capture_stderr([&] { search(block, c.key, cmp_value, search_equal); }), c.want);
    trace_enabled = false;
    EXPECT_EQ(capture_stderr([&] { search(block, c.key, cmp_value, search_equal); }), "");
  }
}

TEST_F(Index, TypeZeroPositionWithoutOwnerIsSkipped) {
  // Two records; a type-0 table whose first value lies below record 0's DN.
  put_text(20, "a");     // owned by no record
  put_text(24, "cn=0");  // record 0: DN and value
  put_text(30, "b");
  put_text(34, "cn=1");  // record 1
  put_text(40, "c");
  put_text(44, "top");  // the shared strings start here
  const uint32_t r0 = 52;
  const uint32_t r1 = 68;
  for (auto [r, dn] : {std::pair{r0, 24u}, std::pair{r1, 34u}}) {
    put_word(r, 2);
    put_word(r + 4, 0);
    put_word(r + 8, dn);
    put_word(r + 12, 44);
  }
  put_word(84, r0);
  put_word(88, r1);
  const uint32_t block = 92;
  const uint32_t entries[] = {0, block + 24, 44, 20, 30, 40};
  for (uint32_t k = 0; k < 6; ++k) put_word(block + 4 * k, entries[k]);
  use_image(2, 84);
  struct Case {
    std::string key;
    search_mode mode;
    records want;
    const char* err;
  };
  const Case cases[] = {
      {"a", search_at_least, {0, 1}, "findrec failed!\n"},
      {"a", search_equal, {}, "findrec failed!\n"},
      {"b", search_equal, {0}, ""},
      {"c", search_at_most, {0, 1}, "findrec failed!\n"},
  };
  for (const Case& c : cases) {
    records got;
    const std::string err = capture_stderr([&] { got = search(block, c.key, cmp_value, c.mode); });
    EXPECT_EQ(got, c.want) << c.key << " " << mode_name(c.mode);
    EXPECT_EQ(err, c.err) << c.key << " " << mode_name(c.mode);
  }
}

TEST_F(Index, TypeOneRecordNumbersBeyondTheFileAreNotAdded) {
  put_text(20, "a");
  put_text(22, "b");
  const uint32_t block = 32;
  // Values a, b, b; records 1, 7 (beyond a record count of 3), 2.
  const uint32_t words[] = {1, block + 12 + 24, 44, 20, 22, 22, 1, 7, 2};
  for (uint32_t k = 0; k < 9; ++k) put_word(block + 4 * k, words[k]);
  use_image(3, 20);
  EXPECT_EQ(search(block, "b", cmp_value, search_equal), (records{2}));
  EXPECT_EQ(search(block, "a", cmp_value, search_at_least), (records{1, 2}));
}

// The load checks only where sorted-table strings start; a lookup must
// never read one that does not fit in the file (here a long-form string
// claiming 1000 bytes, and a text whose terminator is missing at the end).
TEST_F(Index, StringsThatDoNotFitTheFileAreNeverRead) {
  put_text(20, "a");
  put_text(22, "b");
  const uint32_t block = 32;
  const uint32_t longform = block + 12 + 24;  // right after the table
  // Values a, b, then the broken one; records 0, 1, 2.
  const uint32_t words[] = {1, longform + 5, 44, 20, 22, longform, 0, 1, 2};
  for (uint32_t k = 0; k < 9; ++k) put_word(block + 4 * k, words[k]);
  image_.resize(longform, '\0');
  image_ += std::string(1, '\0') + std::string("\xe8\x03\0\0", 4);  // length 1000
  use_image(3, 20);
  EXPECT_EQ(search(block, "b", cmp_value, search_equal), (records{1}));
  EXPECT_EQ(search(block, "z", cmp_value, search_equal), records{});
  // A range search stops at the broken string and takes its side from
  // there, like any search that ends without a match.
  EXPECT_EQ(search(block, "c", cmp_value, search_at_least), (records{2}));

  // The same table whose last value is text running to the end of the file.
  image_.resize(longform);
  image_ += "zz";
  use_image(3, 20);
  EXPECT_EQ(search(block, "zz", cmp_value, search_equal), records{});
  EXPECT_EQ(search(block, "a", cmp_value, search_equal), (records{0}));
}

// The loader lists the index blocks so that lookups need not walk the
// chain; beyond the list's size they walk it. Both find every block.
TEST_F(Index, BlocksAreFoundListedOrWalked) {
  for (const int attributes : {3, static_cast<int>(max_cached_index_blocks) + 6}) {
    fixture::entry e{"cn=x", {{"objectClass", "top"}}};
    fixture::options opts;
    for (int i = 0; i < attributes; ++i) {
      const std::string name = "a" + std::to_string(i);
      e.values.emplace_back(name, "v");
      if (i % 2 == 0) opts.hash.emplace_back(name, 0);
      else opts.sorted.emplace_back(name, 0);
    }
    load({e}, opts);
    EXPECT_EQ(data_store.index_block_count > max_cached_index_blocks,
              attributes > static_cast<int>(max_cached_index_blocks));
    for (int i = 0; i < attributes; ++i) {
      const std::string name = "a" + std::to_string(i);
      const index_kinds kind = i % 2 == 0 ? index_hash : index_sorted;
      const index_kinds other = i % 2 == 0 ? index_sorted : index_hash;
      const uint32_t b = find_index_block(kind, key_of(name));
      ASSERT_NE(b, 0u) << name;
      EXPECT_EQ(std::string(data_store.base + data_word(b + 8)), name);
      EXPECT_EQ(find_index_block(other, key_of(name)), 0u) << name;
    }
    EXPECT_EQ(find_index_block(index_hash, key_of("a")), 0u);
  }
}

TEST_F(Index, EmptyTableAddsNothing) {
  put_word(32, 0);
  put_word(36, 44);  // no values
  put_word(40, 20);
  image_.resize(44, '\0');
  use_image(3, 20);
  for (search_mode m : {search_equal, search_at_least, search_at_most}) {
    EXPECT_EQ(search(32, "a", cmp_value, m), records{}) << mode_name(m);
  }
}

// ---------------------------------------------------------------- hash tables

TEST_F(Index, HashProbeFindsEveryValueAtAnyBucketCount) {
  std::vector<std::string> values;
  for (int i = 0; i < 60; ++i) values.push_back("Value" + std::to_string(i * 7919));
  bool saw_single = false;
  bool saw_list = false;
  for (uint32_t buckets : {1u, 2u, 7u, 64u, 5000u, 0u}) {
    for (int fold : {0, 1}) {
      fixture::options opts;
      opts.hash = {{"st", buckets}};
      if (fold) opts.nocase = {"st"};
      load_values(values, opts);
      const uint32_t block = find_index_block(index_hash, key_of("st"));
      ASSERT_NE(block, 0u);
      const uint32_t count = data_word(block + 12);
      for (uint32_t k = 0; k < count; ++k) {
        const uint32_t w = data_word(block + 16 + 4 * k);
        saw_single = saw_single || (w != 0 && w < block);
        saw_list = saw_list || w >= block;
      }
      for (size_t i = 0; i < values.size(); ++i) {
        const std::string key = fold ? folded(values[i]) : values[i];
        const records got = probe(block, key, fold);
        EXPECT_TRUE(std::binary_search(got.begin(), got.end(), static_cast<int64_t>(i)))
            << "buckets " << buckets << " fold " << fold << " " << key;
      }
      if (buckets == 1) {
        // One bucket holds every record.
        EXPECT_EQ(probe(block, "anything", fold).size(), values.size());
      }
    }
  }
  EXPECT_TRUE(saw_single);
  EXPECT_TRUE(saw_list);
}

TEST_F(Index, HashBucketWordsAndLists) {
  // Bucket count 5; one-byte keys fall into bucket (byte mod 5):
  //   'd' 0: empty, 'e' 1: record 3 by itself, 'a' 2: a list of none,
  //   'b' 3: a list of 0, 2 and 9 (beyond the 5 records), 'c' 4: a list of 4.
  const uint32_t block = 100;
  const uint32_t l_empty = block + 36;
  const uint32_t l_three = block + 40;
  const uint32_t l_one = block + 56;
  const uint32_t words[] = {3, block + 64, 20, 5, 0, 3, l_empty, l_three, l_one,
                            0, 3, 0, 2, 9, 1, 4};
  for (uint32_t k = 0; k < 16; ++k) put_word(block + 4 * k, words[k]);
  // A second table without buckets.
  put_word(block + 64, 3);
  put_word(block + 68, block + 80);
  put_word(block + 72, 20);
  put_word(block + 76, 0);
  put_text(20, "st");
  use_image(5, 20);
  struct Case {
    std::string key;
    int fold;
    records want;
  };
  const Case cases[] = {
      {"d", 0, {}},  {"e", 0, {3}},     {"a", 0, {}},     {"b", 0, {0, 2}}, {"c", 0, {4}},
      {"C", 1, {4}}, {"E", 1, {3}},     {"B", 1, {0, 2}}, {"A", 1, {}},
      // Unfolded, the capitals hash to other buckets: 'E' 69, 'B' 66, 'A' 65.
      {"E", 0, {4}}, {"B", 0, {3}},     {"A", 0, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe(block, c.key, c.fold), c.want) << c.key << " fold " << c.fold;
    EXPECT_EQ(probe(block + 64, c.key, c.fold), records{}) << c.key << " fold " << c.fold;
  }
  // The probe adds to what the set holds already.
  owned_set s;
  set_add(&s.set, 1);
  probe_hash_table(block, key_of("e"), 0, &s.set);
  EXPECT_EQ(s.members(), (records{1, 3}));
}

// ---------------------------------------------------------------- property

// Random values (ASCII in both cases, UTF-8, NUL and high bytes, empty) in
// random records, indexed every way; every lookup must hold each record
// that really has a matching value. Equal and prefix lookups of a sorted
// table are exact.
TEST_F(Index, LookupsNeverMissARecord) {
  struct Attr {
    const char* name;
    bool nocase;
    int sorted;        // block type, or -2 for a hash index
    uint32_t buckets;  // hash only
  };
  const Attr attrs[] = {
      {"s0", false, 0, 0}, {"s1", false, 1, 0},  {"sa", false, -1, 0}, {"n0", true, 0, 0},
      {"n1", true, 1, 0},  {"na", true, -1, 0},  {"h", false, -2, 0},  {"hn", true, -2, 0},
      {"h7", false, -2, 7}, {"hn3", true, -2, 3},
  };
  const std::vector<std::string> pool = {
      "",        "a",          "A",         "ab",        "aB",         "Ab",        "b",
      "Jos",     "jos",        "JOS",       "Jos\xc3\xa9", "JOS\xc3\x89", "Jos\xc3\xa9 Luis",
      "a\0"s,    "a\0b"s,      "A\0B"s,     "\0"s,       "\x80",       "\xff",      "a\x80",
      "a\xff",   "zz",         "Z",         "[",         "`",          "\x7f",
  };
  const char alphabet[] = {'a', 'A', 'b', 'B', 'z', '\0', '\x01', '\x7f', '\x80', '\xc3', '\xa9', '\xff', ' ', '['};

  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    auto random_value = [&]() -> std::string {
      if (rng() % 2) return pool[rng() % pool.size()];
      std::string v(rng() % 5, ' ');
      for (char& c : v) c = alphabet[rng() % sizeof alphabet];
      return v;
    };
    fixture::options opts;
    for (const Attr& a : attrs) {
      if (a.nocase) opts.nocase.push_back(a.name);
      if (a.sorted == -2) {
        opts.hash.emplace_back(a.name, a.buckets);
      } else {
        opts.sorted.emplace_back(a.name, a.sorted);
      }
    }
    const uint32_t count = 150 + rng() % 100;
    // values[attribute name][record]
    std::map<std::string, std::vector<std::vector<std::string>>> held;
    std::vector<fixture::entry> entries;
    for (uint32_t i = 0; i < count; ++i) {
      fixture::entry e{"cn=r" + std::to_string(i), {{"objectClass", "top"}}};
      for (const Attr& a : attrs) {
        auto& mine = held[a.name];
        mine.emplace_back();
        const uint32_t n = rng() % 4;
        for (uint32_t k = 0; k < n; ++k) {
          const std::string v = random_value();
          mine.back().push_back(v);
          e.values.emplace_back(a.name, v);
        }
      }
      entries.push_back(e);
    }
    load(entries, opts);
    ASSERT_EQ(data_store.record_count, count);

    for (const Attr& a : attrs) {
      const bool hash = a.sorted == -2;
      const uint32_t block = find_index_block(hash ? index_hash : index_sorted, key_of(a.name));
      ASSERT_NE(block, 0u) << a.name;
      const auto& mine = held[a.name];
      auto order = [&](const std::string& x, const std::string& y) {
        return a.nocase ? compare_values_nocase(x.data(), x.size(), y.data(), y.size())
                        : compare_values(x.data(), x.size(), y.data(), y.size());
      };
      // The records with some value for which pred holds.
      auto holders = [&](auto pred) {
        records out;
        for (uint32_t i = 0; i < count; ++i) {
          if (std::any_of(mine[i].begin(), mine[i].end(), pred)) out.push_back(i);
        }
        return out;
      };
      auto contains = [](const records& big, const records& small) {
        return std::includes(big.begin(), big.end(), small.begin(), small.end());
      };

      for (int round = 0; round < 150; ++round) {
        std::string key = random_value();
        if (round % 3 == 0) {
          // A prefix of a held value, so that prefix runs are long.
          const auto& vs = mine[rng() % count];
          if (!vs.empty()) {
            const std::string& v = vs[rng() % vs.size()];
            key = v.substr(0, rng() % (v.size() + 1));
          }
        }
        if (a.nocase && rng() % 2) {
          for (char& c : key) {
            if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 32);
          }
        }
        const records equal = holders([&](const std::string& v) { return order(key, v) == 0; });
        std::string errors;
        if (hash) {
          errors = capture_stderr([&] {
            const records got = probe(block, key, a.nocase);
            EXPECT_TRUE(contains(got, equal)) << a.name << " key '" << key << "'";
            // Every candidate has a value in the key's bucket.
            const uint32_t buckets = data_word(block + 12);
            auto bucket = [&](const std::string& v) {
              return (a.nocase ? string_hash_nocase(v.data(), v.size()) : string_hash(v.data(), v.size())) %
                     buckets;
            };
            const records same_bucket =
                holders([&](const std::string& v) { return bucket(v) == bucket(key); });
            EXPECT_TRUE(contains(same_bucket, got)) << a.name << " key '" << key << "'";
          });
        } else {
          const value_cmp_fn cmp = a.nocase ? cmp_value_nocase : cmp_value;
          const value_cmp_fn prefix = a.nocase ? cmp_prefix_nocase : cmp_prefix;
          const std::string k = a.nocase ? folded(key) : key;
          const records begins = holders([&](const std::string& v) {
            return (a.nocase ? folded(v) : v).compare(0, k.size(), k) == 0;
          });
          const records at_least = holders([&](const std::string& v) { return order(v, key) >= 0; });
          const records at_most = holders([&](const std::string& v) { return order(v, key) <= 0; });
          errors = capture_stderr([&] {
            EXPECT_EQ(search(block, key, cmp, search_equal), equal) << a.name << " key '" << key << "'";
            EXPECT_EQ(search(block, key, prefix, search_equal), begins)
                << a.name << " prefix '" << key << "'";
            EXPECT_TRUE(contains(search(block, key, cmp, search_at_least), at_least))
                << a.name << " at-least '" << key << "'";
            EXPECT_TRUE(contains(search(block, key, cmp, search_at_most), at_most))
                << a.name << " at-most '" << key << "'";
          });
        }
        EXPECT_EQ(errors, "") << a.name;
        if (HasFailure()) return;
      }
    }
    unmap_data_file();
  }
}

}  // namespace
