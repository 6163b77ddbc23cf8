// The data file writer, checked through the readers: every file it writes
// must pass check_data_file and answer record reads, findrec, sorted-table
// searches and hash probes for every value it was given.
#include "store/data_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "store/candidate_set.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/index.h"
#include "store/record.h"
#include "tests/data_fixture.h"

namespace {

using fixture::entry;
using pairs = std::vector<std::pair<std::string, std::string>>;

struct scratch_dir {
  std::string path;
  scratch_dir() {
    char t[] = "/tmp/data_writer_test.XXXXXX";
    path = mkdtemp(t);
  }
  ~scratch_dir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path))
      out.push_back(e.path().filename().string());
    return out;
  }
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Maps the file, insists that it passes the loader's check, and loads it
// into data_store.
void load(const std::string& path) {
  unmap_data_file();
  uint64_t size = 0;
  const char* base = map_file_readonly(path.c_str(), &size);
  ASSERT_NE(base, nullptr);
  const bool ok = check_data_file(base, size);
  munmap(const_cast<char*>(base), size);
  ASSERT_TRUE(ok) << "check_data_file refused " << path;
  load_data_file(path.c_str());
}

std::string content(uint32_t off) {
  const char* p = data_store.base + off;
  return std::string(stored_str_data(p), stored_str_len(p));
}

struct record_view {
  std::string dn;
  uint32_t dn_offset;
  uint32_t object_class_offset;
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (name offset, value offset)
};

record_view read_record(uint32_t i) {
  const uint32_t r = record_offset(i);
  record_view v{};
  const uint32_t n = data_word(r);
  v.dn_offset = data_word(r + 8);
  v.dn = content(v.dn_offset);
  v.object_class_offset = data_word(r + 12);
  for (uint32_t k = 0; k + 2 < n; ++k)
    v.pairs.emplace_back(data_word(r + 16 + 8 * k), data_word(r + 20 + 8 * k));
  return v;
}

struct attribute_row {
  uint32_t offset;
  std::string name;
  uint32_t flags;
};

std::vector<attribute_row> attribute_table() {
  std::vector<attribute_row> rows;
  const uint64_t t = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint32_t i = 0; i < data_store.attribute_count; ++i) {
    const uint32_t off = data_word(t + 4 * i);
    rows.push_back({off, content(off), data_word(t + 4 * data_store.attribute_count + 4 * i)});
  }
  return rows;
}

bool nocase(uint32_t name) {
  for (const attribute_row& a : attribute_table())
    if (a.offset == name) return (a.flags & attribute_flag_nocase) != 0;
  return false;
}

struct block_view {
  uint32_t at;
  uint32_t type;
  uint32_t next;
  uint32_t attribute;  // types 0, 1, 3
};

std::vector<block_view> blocks() {
  std::vector<block_view> out;
  uint64_t b = data_store.indices_offset + 4 * uint64_t{data_store.record_count};
  while (b < data_store.size) {
    block_view v{static_cast<uint32_t>(b), data_word(b), data_word(b + 4), 0};
    if (v.type != block_acl_data) v.attribute = data_word(b + 8);
    out.push_back(v);
    EXPECT_GT(v.next, b);
    if (v.next <= b) break;
    b = v.next;
  }
  EXPECT_EQ(b, data_store.size);
  return out;
}

// The (value offset, record) list of a sorted block, in table order.
std::vector<std::pair<uint32_t, int64_t>> sorted_entries(const block_view& b) {
  const uint32_t width = b.type == block_sorted_table ? 4 : 8;
  const uint32_t n = (b.next - b.at - 12) / width;
  std::vector<std::pair<uint32_t, int64_t>> out;
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t v = data_word(b.at + 12 + 4 * k);
    const int64_t r =
        b.type == block_sorted_table ? findrec(v) : data_word(b.at + 12 + 4 * n + 4 * k);
    out.emplace_back(v, r);
  }
  return out;
}

std::vector<uint32_t> members(candidate_set* set) {
  std::vector<uint32_t> out;
  for (int64_t i = set_next(set, set->lowest); i >= 0;
       i = set_next(set, static_cast<uint64_t>(i) + 1))
    out.push_back(static_cast<uint32_t>(i));
  return out;
}

struct set_storage {
  std::vector<uint64_t> words;
  candidate_set set{};
  set_storage() : words(data_store.set_words + 1) {
    set.words = words.data();
    set_clear(&set);
  }
};

// People with unique names and mail addresses, a few shared surnames and
// towns, and values that test the order's corners.
std::vector<entry> people(int n) {
  static const char* const surnames[] = {"Smith", "Jones", "Miller", "Brown", "Wilson"};
  static const char* const towns[] = {"Berlin", "Paris", "Oslo"};
  static const char* const odd[] = {"a", "a\x01", "a\x80", "A", "Jos", "Jos\xc3\xa9",
                                    "b", "ab",    "\xff",  "Z", "jos"};
  std::vector<entry> out;
  for (int i = 0; i < n; ++i) {
    entry e;
    e.dn = "uid=user" + std::to_string(i) + ", ou=People, dc=example,dc=com";
    e.values = {{"objectClass", "top"},
                {"objectClass", "person"},
                {"uid", "user" + std::to_string(i)},
                {"cn", "User " + std::to_string(i)},
                {"sn", surnames[i % 5]},
                {"objectClass", i % 2 ? "inetOrgPerson" : "organizationalPerson"},
                {"l", towns[i % 3]},
                {"mail", "User" + std::to_string(i) + "@Example.COM"},
                {"x", std::string(odd[i % 11]) + (i < 11 ? "" : std::to_string(i))},
                {"y", odd[(i * 7) % 11]},
                // Alike in the first 17 bytes, apart in the last.
                {"w", std::string(i % 2 ? "a" : "B") + std::string(16, 'm') +
                          static_cast<char>('a' + (i * 7) % 26)}};
    if (i % 4 == 0) e.values.push_back({"mail", "second" + std::to_string(i) + "@example.com"});
    out.push_back(e);
  }
  return out;
}

fixture::options people_options() {
  fixture::options o;
  o.nocase = {"MAIL", "cn", "y"};
  o.sorted = {{"dn", -1}, {"objectClass", -1}, {"cn", -1},  {"sn", -1},
              {"x", -1},  {"y", -1},           {"mail", -1}};
  o.hash = {{"dn", 0}, {"mail", 0}, {"sn", 7}, {"uid", 1}, {"objectClass", 0}};
  return o;
}

// ---- Layout ----------------------------------------------------------------

TEST(DataWriter, HeaderAndAttributeTable) {
  scratch_dir dir;
  std::vector<entry> entries = {
      {"cn=a,o=x", {{"objectclass", "top"}, {"CN", "a"}, {"mail", "a@x"}}},
      {"cn=b,o=x",
       {{"cn", "b"}, {"ObjectClass", "top"}, {"Mail", "b@x"}, {"telephoneNumber", "1"}}},
  };
  fixture::options o;
  o.nocase = {"cn", "objectClass", "TELEPHONENUMBER", "absent"};
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), entries, o), "");
  load(dir.file("data"));
  // "FWD1" as stored bytes.
  EXPECT_EQ(std::string(data_store.base, 4), "FWD1");
  EXPECT_EQ(data_store.record_count, 2u);
  // dn and objectClass first with fixed spellings, then names in order of
  // first appearance, first spelling winning; options for names no entry
  // has add nothing.
  const std::vector<attribute_row> table = attribute_table();
  std::vector<std::pair<std::string, uint32_t>> got;
  for (const attribute_row& a : table) got.emplace_back(a.name, a.flags);
  EXPECT_EQ(got,
            (std::vector<std::pair<std::string, uint32_t>>{
                {"dn", 0}, {"objectClass", 1}, {"CN", 1}, {"mail", 0}, {"telephoneNumber", 1}}));
  // Names lie at the start of the string table in the short form.
  EXPECT_EQ(table[0].offset, data_header_size);
  for (const attribute_row& a : table) EXPECT_NE(data_store.base[a.offset], '\0');
  // Read out before the check: inside EXPECT_EQ, cppcheck takes the member
  // pairs for the type of that name and cannot parse the line.
  const uint32_t first_name = read_record(1).pairs[0].first;
  EXPECT_EQ(first_name, table[2].offset);  // "cn" is "CN"'s entry
}

TEST(DataWriter, RecordsHoldEveryValueWithTheFirstObjectClassInItsField) {
  scratch_dir dir;
  std::vector<entry> entries = people(30);
  entries.push_back({"CN=Odd, O=X",
                     {{"description", ""},
                      {"objectClass", "device"},
                      {"description", std::string("a\0b", 3)},
                      {"objectClass", "top"},
                      {"seeAlso", "cn=odd"}}});
  entries.push_back({"cn=only,o=x", {{"objectClass", "top"}}});
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), entries, people_options()), "");
  load(dir.file("data"));
  ASSERT_EQ(data_store.record_count, entries.size());
  const uint32_t oc = data_store.object_class_name;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    const record_view v = read_record(i);
    // The first objectClass value sits in the fixed field; every other value
    // is a pair, in input order.
    pairs expected;
    std::string first_oc;
    bool first_seen = false;
    for (const auto& [name, value] : entries[i].values) {
      if (name == "objectClass" && !first_seen) {
        first_seen = true;
        first_oc = value;
        continue;
      }
      expected.emplace_back(name, value);
    }
    EXPECT_EQ(content(v.object_class_offset), first_oc);
    pairs got;
    for (const auto& [name, value] : v.pairs) got.emplace_back(content(name), content(value));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(record_value(record_offset(i), oc), v.object_class_offset);
  }
  EXPECT_EQ(read_record(30).dn, "cn=Odd,o=X");
  // DNs in the short form; the empty value and a value with a NUL in the
  // long form, whole.
  const record_view odd = read_record(30);
  EXPECT_NE(data_store.base[odd.dn_offset], '\0');
  EXPECT_EQ(std::string(data_store.base + odd.pairs[0].second, 5), std::string(5, '\0'));
  EXPECT_EQ(data_store.base[odd.pairs[1].second], '\0');
  EXPECT_EQ(content(odd.pairs[1].second), std::string("a\0b", 3));
  EXPECT_EQ(data_word(record_offset(31)), 2u);
}

TEST(DataWriter, EmptyWriterGivesAValidFileWithoutRecords) {
  scratch_dir dir;
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), {}, {}), "");
  load(dir.file("data"));
  EXPECT_EQ(data_store.record_count, 0u);
  EXPECT_EQ(data_store.attribute_count, 2u);
  EXPECT_TRUE(blocks().empty());
}

// ---- findrec and the string placement -----------------------------------

TEST(DataWriter, FindrecFindsTheOwnerOfEveryDnAndTypeZeroValue) {
  scratch_dir dir;
  fixture::options o = people_options();
  o.sorted.push_back({"uid", 0});
  o.sorted.push_back({"l", 0});  // shared by nature, forced per-record
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(200), o), "");
  load(dir.file("data"));
  for (uint32_t i = 0; i < data_store.record_count; ++i)
    EXPECT_EQ(findrec(read_record(i).dn_offset), i);
  int type0 = 0;
  for (const block_view& b : blocks()) {
    if (b.type != block_sorted_table) continue;
    ++type0;
    for (const auto& [value, record] : sorted_entries(b)) {
      ASSERT_GE(record, 0) << content(value);
      const record_view r = read_record(static_cast<uint32_t>(record));
      bool owned = r.dn_offset == value;
      for (const auto& p : r.pairs) owned = owned || (p.first == b.attribute && p.second == value);
      EXPECT_TRUE(owned) << content(b.attribute) << " " << content(value);
    }
  }
  EXPECT_GE(type0, 5);  // dn, cn, x, y, uid, l (mail too when unshared)
}

// ---- Sorted tables ---------------------------------------------------------

TEST(DataWriter, SortedTablesFollowTheValueOrderWithTiesByRecord) {
  // The default choice (shared values in type-1 tables, sorted by their
  // distinct strings) and forced tables over repeated values (sorted item
  // by item), with and without case.
  fixture::options forced;
  forced.nocase = {"y", "l", "mail"};
  forced.nocase.push_back("w");
  forced.sorted = {{"x", 0},   {"y", 0},    {"l", 0},  {"sn", 0},
                   {"uid", 1}, {"mail", 1}, {"cn", 1}, {"w", 0}};
  struct order_case {
    fixture::options options;
    int tables;
  };
  const order_case cases[] = {{people_options(), 7}, {forced, 8}};
  for (const order_case& c : cases) {
    scratch_dir dir;
    ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(150), c.options), "");
    load(dir.file("data"));
    int sorted = 0;
    for (const block_view& b : blocks()) {
      if (b.type != block_sorted_table && b.type != block_sorted_table_with_records) continue;
      ++sorted;
      SCOPED_TRACE(content(b.attribute));
      const bool fold = nocase(b.attribute);
      const auto table = sorted_entries(b);
      // Every value of the attribute is listed once.
      uint64_t expected = 0;
      for (uint32_t i = 0; i < data_store.record_count; ++i) {
        const record_view r = read_record(i);
        if (b.attribute == data_store.dn_name) ++expected;
        if (b.attribute == data_store.object_class_name) ++expected;
        for (const auto& p : r.pairs) expected += p.first == b.attribute;
      }
      EXPECT_EQ(table.size(), expected);
      for (size_t k = 1; k < table.size(); ++k) {
        const std::string a = content(table[k - 1].first);
        const std::string d = content(table[k].first);
        const int32_t order = fold ? compare_values_nocase(a.data(), a.size(), d.data(), d.size())
                                   : compare_values(a.data(), a.size(), d.data(), d.size());
        EXPECT_LE(order, 0) << a << " / " << d;
        if (order == 0) {
          EXPECT_LT(table[k - 1].second, table[k].second) << a;
        }
      }
    }
    EXPECT_EQ(sorted, c.tables);
  }
}

TEST(DataWriter, SortedSearchFindsEveryValue) {
  scratch_dir dir;
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(120), people_options()), "");
  load(dir.file("data"));
  set_storage s;
  for (const char* attr : {"dn", "objectClass", "cn", "sn", "x", "y", "mail"}) {
    SCOPED_TRACE(attr);
    const counted_str name{strlen(attr), attr};
    const uint32_t block = find_index_block(index_sorted, name);
    ASSERT_NE(block, 0u);
    const uint32_t a = data_word(block + 8);
    const value_cmp_fn cmp = nocase(a) ? cmp_value_nocase : cmp_value;
    for (uint32_t i = 0; i < data_store.record_count; ++i) {
      const record_view r = read_record(i);
      std::vector<uint32_t> values;
      if (a == data_store.dn_name) values.push_back(r.dn_offset);
      if (a == data_store.object_class_name) values.push_back(r.object_class_offset);
      for (const auto& p : r.pairs)
        if (p.first == a) values.push_back(p.second);
      for (uint32_t v : values) {
        const std::string key = content(v);
        search_sorted_table(block, counted_str{key.size(), key.data()}, cmp, search_equal, &s.set);
        const std::vector<uint32_t> found = members(&s.set);
        EXPECT_NE(std::find(found.begin(), found.end(), i), found.end()) << key;
      }
    }
  }
}

TEST(DataWriter, TableTypeFollowsSharingUnlessForced) {
  struct type_case {
    const char* attribute;
    int forced;
    uint32_t expected;
  };
  const type_case cases[] = {
      {"dn", -1, block_sorted_table},                        // DNs are per record
      {"objectClass", -1, block_sorted_table_with_records},  // always shared
      {"objectClass", 1, block_sorted_table_with_records},
      {"sn", -1, block_sorted_table_with_records},  // 5 surnames among 100 people
      {"l", -1, block_sorted_table_with_records},
      {"uid", -1, block_sorted_table},  // every value distinct
      {"uid", 1, block_sorted_table_with_records},
      {"sn", 0, block_sorted_table},
      {"dn", 1, block_sorted_table_with_records},
  };
  for (const type_case& c : cases) {
    SCOPED_TRACE(std::string(c.attribute) + " " + std::to_string(c.forced));
    scratch_dir dir;
    fixture::options o;
    o.sorted = {{c.attribute, c.forced}};
    ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(100), o), "");
    load(dir.file("data"));
    const std::vector<block_view> b = blocks();
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].type, c.expected);
    EXPECT_EQ(content(b[0].attribute), c.attribute);
    const std::string file = read_all(dir.file("data"));
    if (std::string(c.attribute) == "sn") {
      // Shared: one string for all twenty Smiths; forced type 0: one each.
      size_t count = 0;
      for (size_t p = file.find(std::string("Smith\0", 6)); p != std::string::npos;
           p = file.find(std::string("Smith\0", 6), p + 1))
        ++count;
      EXPECT_EQ(count, c.forced == 0 ? 20u : 1u);
    }
  }
}

TEST(DataWriter, ObjectClassCannotHaveATypeZeroTable) {
  data_writer* w = data_writer_new();
  EXPECT_EQ(data_writer_sorted_index(w, "objectclass", 0), -1);
  EXPECT_NE(std::string(data_writer_error(w)).find("objectClass"), std::string::npos);
  EXPECT_EQ(data_writer_sorted_index(w, "objectClass", 1), 0);
  data_writer_free(w);
}

// ---- Hash tables -----------------------------------------------------------

TEST(DataWriter, HashProbesFindEveryValueAndRecordZeroOnlyThroughALists) {
  struct hash_case {
    const char* attribute;
    uint32_t buckets;
  };
  const hash_case cases[] = {{"dn", 0},  {"mail", 0},        {"sn", 7},
                             {"uid", 1}, {"objectClass", 0}, {"cn", 2}};
  scratch_dir dir;
  fixture::options o;
  o.nocase = {"mail"};
  for (const hash_case& c : cases) o.hash.push_back({c.attribute, c.buckets});
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(97), o), "");
  load(dir.file("data"));
  set_storage s;
  for (const hash_case& c : cases) {
    SCOPED_TRACE(c.attribute);
    const uint32_t block =
        find_index_block(index_hash, counted_str{strlen(c.attribute), c.attribute});
    ASSERT_NE(block, 0u);
    const uint32_t a = data_word(block + 8);
    const uint32_t buckets = data_word(block + 12);
    uint64_t values = 0;
    for (uint32_t i = 0; i < data_store.record_count; ++i) {
      const record_view r = read_record(i);
      std::vector<uint32_t> mine;
      if (a == data_store.dn_name) mine.push_back(r.dn_offset);
      if (a == data_store.object_class_name) mine.push_back(r.object_class_offset);
      for (const auto& p : r.pairs)
        if (p.first == a) mine.push_back(p.second);
      values += mine.size();
      for (uint32_t v : mine) {
        std::string key = content(v);
        if (nocase(a))
          for (char& ch : key) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        set_clear(&s.set);
        probe_hash_table(block, counted_str{key.size(), key.data()}, nocase(a), &s.set);
        const std::vector<uint32_t> found = members(&s.set);
        EXPECT_NE(std::find(found.begin(), found.end(), i), found.end()) << key;
      }
    }
    if (c.buckets != 0) {
      EXPECT_EQ(buckets, c.buckets);
    } else {
      // Automatic: a prime no smaller than the number of values.
      EXPECT_GE(buckets, values);
      for (uint32_t d = 2; d * d <= buckets; ++d) EXPECT_NE(buckets % d, 0u) << buckets;
    }
    // Bucket words: 0, a record number other than 0 below the block, or a
    // list of distinct records in ascending order.
    bool zero_seen = false;
    for (uint32_t k = 0; k < buckets; ++k) {
      const uint32_t w = data_word(block + 16 + 4 * k);
      if (w == 0) continue;
      if (w < block) {
        EXPECT_LT(w, data_store.record_count);
        continue;
      }
      const uint32_t n = data_word(w);
      EXPECT_GE(n, 1u);
      for (uint32_t j = 0; j < n; ++j) {
        const uint32_t r = data_word(w + 4 + 4 * j);
        zero_seen = zero_seen || r == 0;
        if (j > 0) {
          EXPECT_LT(data_word(w + 4 * j), r);
        }
      }
    }
    EXPECT_TRUE(zero_seen);
  }
}

// ---- Block order and options ---------------------------------------------

TEST(DataWriter, BlocksFollowTheOptionOrderWithTheAclBlockLast) {
  scratch_dir dir;
  fixture::options o;
  o.nocase = {"SEEALSO"};
  o.hash = {{"mail", 0}, {"MAIL", 5}, {"seeAlso", 0}};  // the repeat updates the first
  o.sorted = {{"cn", -1}, {"objectClass", -1}};
  o.acl = std::string("acl\0bytes", 9);
  ASSERT_EQ(fixture::write_data_file(dir.file("data"), people(10), o), "");
  load(dir.file("data"));
  // The fixture declares sorted indexes before hash indexes.
  const std::vector<block_view> b = blocks();
  ASSERT_EQ(b.size(), 5u);
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {block_sorted_table, "cn"},
      {block_sorted_table_with_records, "objectClass"},
      {block_hash_table, "mail"},
      {block_hash_table, "seeAlso"}};
  for (size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(b[k].type, expected[k].first);
    EXPECT_EQ(content(b[k].attribute), expected[k].second);
  }
  EXPECT_EQ(data_word(b[2].at + 12), 5u);
  // An index for an attribute no entry has: the name joins the table, the
  // block is empty.
  EXPECT_EQ(attribute_table().back().name, "seeAlso");
  EXPECT_EQ(attribute_table().back().flags, attribute_flag_nocase);
  for (uint32_t k = 0; k < data_word(b[3].at + 12); ++k)
    EXPECT_EQ(data_word(b[3].at + 16 + 4 * k), 0u);
  EXPECT_EQ(b[4].type, block_acl_data);
  EXPECT_EQ(b[4].next, data_store.size);
  EXPECT_EQ(std::string(data_store.base + b[4].at + 8, 9), std::string("acl\0bytes", 9));
}

// ---- Refusals --------------------------------------------------------------

TEST(DataWriter, RefusesBadEntriesAndStaysUsable) {
  struct step {
    enum { begin, value, end } op;
    std::string a;  // DN or attribute
    std::string b;  // value
  };
  struct refusal {
    const char* name;
    std::vector<step> steps;  // the last one is refused
    const char* message;
  };
  const refusal cases[] = {
      {"empty DN", {{step::begin, "", ""}}, "empty DN"},
      {"NUL in DN", {{step::begin, std::string("cn=a\0b", 6), ""}}, "NUL"},
      {"duplicate DN after normalisation", {{step::begin, "CN=keep, O=x", ""}}, "duplicate DN"},
      {"dn attribute", {{step::begin, "cn=n,o=x", ""}, {step::value, "dn", "cn=n,o=x"}}, "\"dn\""},
      {"DN attribute", {{step::begin, "cn=n,o=x", ""}, {step::value, "DN", "x"}}, "\"dn\""},
      {"empty attribute name",
       {{step::begin, "cn=n,o=x", ""}, {step::value, "", "x"}},
       "invalid attribute name"},
      {"space in name",
       {{step::begin, "cn=n,o=x", ""}, {step::value, "c n", "x"}},
       "invalid attribute name"},
      {"colon in name",
       {{step::begin, "cn=n,o=x", ""}, {step::value, "cn:", "x"}},
       "invalid attribute name"},
      {"no objectClass",
       {{step::begin, "cn=n,o=x", ""}, {step::value, "cn", "n"}, {step::end, "", ""}},
       "no objectClass"},
      {"value outside an entry", {{step::value, "cn", "x"}}, "outside"},
      {"entry inside an entry",
       {{step::begin, "cn=n,o=x", ""}, {step::begin, "cn=m,o=x", ""}},
       "already open"},
      {"end without entry", {{step::end, "", ""}}, "no entry"},
  };
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir dir;
    data_writer* w = data_writer_new();
    ASSERT_EQ(data_writer_begin_entry(w, "cn=keep,o=x", 11), 0);
    ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "top", 3), 0);
    ASSERT_EQ(data_writer_end_entry(w), 0);
    for (size_t k = 0; k < c.steps.size(); ++k) {
      const step& s = c.steps[k];
      int r = 0;
      if (s.op == step::begin) r = data_writer_begin_entry(w, s.a.data(), s.a.size());
      if (s.op == step::value)
        r = data_writer_add_value(w, s.a.data(), s.a.size(), s.b.data(), s.b.size());
      if (s.op == step::end) r = data_writer_end_entry(w);
      if (k + 1 < c.steps.size()) {
        ASSERT_EQ(r, 0) << data_writer_error(w);
      } else {
        EXPECT_EQ(r, -1);
        EXPECT_NE(std::string(data_writer_error(w)).find(c.message), std::string::npos)
            << data_writer_error(w);
      }
    }
    // Whatever was open is closed or given up; the writer goes on.
    data_writer_end_entry(w);
    ASSERT_EQ(data_writer_begin_entry(w, "cn=later,o=x", 12), 0);
    ASSERT_EQ(data_writer_add_value(w, "objectClass", 11, "top", 3), 0);
    ASSERT_EQ(data_writer_end_entry(w), 0);
    ASSERT_EQ(data_writer_write(w, dir.file("data").c_str(), nullptr), 0) << data_writer_error(w);
    data_writer_free(w);
    load(dir.file("data"));
    std::vector<std::string> dns;
    for (uint32_t i = 0; i < data_store.record_count; ++i) dns.push_back(read_record(i).dn);
    // The entries left open after a refused value have no objectClass and
    // are dropped when ended; nothing refused reaches the file.
    EXPECT_EQ(dns, (std::vector<std::string>{"cn=keep,o=x", "cn=later,o=x"}));
  }
}

TEST(DataWriter, RefusesBadOptions) {
  data_writer* w = data_writer_new();
  EXPECT_EQ(data_writer_sorted_index(w, "cn", 2), -1);
  EXPECT_EQ(data_writer_sorted_index(w, "cn", -2), -1);
  EXPECT_EQ(data_writer_sorted_index(w, "c n", -1), -1);
  EXPECT_EQ(data_writer_hash_index(w, "", 0), -1);
  EXPECT_EQ(data_writer_case_insensitive(w, "a=b"), -1);
  data_writer_free(w);
}

TEST(DataWriter, RefusesAFileBeyondFourGibibytes) {
  // A bucket count this large makes the hash block alone exceed the 32-bit
  // offsets; the writer says so before it allocates or writes anything.
  scratch_dir dir;
  fixture::options o;
  o.hash = {{"dn", 0xffffffffu}};
  const std::string error = fixture::write_data_file(dir.file("data"), people(3), o);
  EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
  EXPECT_TRUE(dir.names().empty());
}

// ---- Writing the file ------------------------------------------------------

// The file holds every stored password: owner only, whatever the umask.
TEST(DataWriter, WritesOwnerOnlyWhateverTheUmaskAndLeavesNoTemporaryFile) {
  const mode_t masks[] = {022, 077, 0, 027};
  for (mode_t mask : masks) {
    SCOPED_TRACE(mask);
    scratch_dir dir;
    const mode_t old = umask(mask);
    // Replacing an existing file gives the new one the same treatment.
    { std::ofstream(dir.file("data")) << "old"; }
    const std::string error = fixture::write_data_file(dir.file("data"), people(5), {});
    umask(old);
    ASSERT_EQ(error, "");
    struct stat st {};
    ASSERT_EQ(stat(dir.file("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"data"});
    load(dir.file("data"));
    EXPECT_EQ(data_store.record_count, 5u);
  }
}

TEST(DataWriter, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  scratch_dir dir;
  const std::string target = dir.file("data");
  { std::ofstream(target) << "old contents"; }
  // The file size limit makes the write itself fail half-way.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    data_writer* w = data_writer_new();
    for (const entry& e : people(500)) {
      data_writer_begin_entry(w, e.dn.data(), e.dn.size());
      for (const auto& [n, v] : e.values)
        data_writer_add_value(w, n.data(), n.size(), v.data(), v.size());
      data_writer_end_entry(w);
    }
    const int r = data_writer_write(w, target.c_str(), nullptr);
    const bool told = strstr(data_writer_error(w), "cannot write") != nullptr;
    _exit(r == -1 && told ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_all(target), "old contents");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"data"});
}

TEST(DataWriter, ReportsTargetsThatCannotBeWritten) {
  scratch_dir dir;
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_directory(dir.file("target_is_dir"));
  struct target_case {
    std::string path;
    const char* message;
  };
  const target_case cases[] = {
      {dir.file("missing/data"), "cannot create a temporary file"},
      {dir.file("target_is_dir"), "cannot rename"},
  };
  for (const target_case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string error = fixture::write_data_file(c.path, people(3), {});
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  std::vector<std::string> names = dir.names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"sub", "target_is_dir"}));
  if (geteuid() != 0) {
    // Without write permission on the directory nothing can be created.
    chmod(dir.file("sub").c_str(), 0555);
    const std::string error = fixture::write_data_file(dir.file("sub/data"), people(3), {});
    EXPECT_NE(error.find("cannot create a temporary file"), std::string::npos) << error;
    chmod(dir.file("sub").c_str(), 0755);
  }
}

}  // namespace
