// The data file: bounded views, the structure check, the mapping and the
// loader, on files laid out byte by byte here and on files from the writer.
#include "store/data_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/data_fixture.h"

namespace {

// ---- Byte helpers ---------------------------------------------------------

std::string le32(uint32_t w) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(w >> (8 * i)));
  return out;
}

uint32_t get32(const std::string& s, uint64_t off) {
  uint32_t w = 0;
  for (int i = 3; i >= 0; --i) w = w << 8 | static_cast<unsigned char>(s[off + i]);
  return w;
}

void put32(std::string* s, uint64_t off, uint32_t w) { s->replace(off, 4, le32(w)); }

// The bytes in a heap block of exactly their size, so that AddressSanitizer
// reports any read past the end (a std::string would have its NUL there).
struct exact_copy {
  std::unique_ptr<char[]> bytes;
  uint64_t size;
  explicit exact_copy(const std::string& s) : bytes(new char[s.size() + (s.empty() ? 1 : 0)]), size(s.size()) {
    std::memcpy(bytes.get(), s.data(), s.size());
  }
};

bool check(const std::string& file) {
  exact_copy c(file);
  return check_data_file(c.bytes.get(), c.size);
}

// ---- A data file laid out by hand -----------------------------------------
//
// Strings, attributes and records are added first; blocks last, since their
// offsets depend on everything before them.
struct hand_file {
  uint32_t magic = 0x31445746;
  std::string strings;
  std::vector<uint32_t> names, flags;
  struct rec {
    uint32_t dn, object_class;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
  };
  std::vector<rec> records;
  std::string chain;

  uint32_t text(const std::string& s) {
    auto at = static_cast<uint32_t>(data_header_size + strings.size());
    strings += s + '\0';
    return at;
  }
  uint32_t long_form(const std::string& s) {
    auto at = static_cast<uint32_t>(data_header_size + strings.size());
    strings += '\0' + le32(static_cast<uint32_t>(s.size())) + s;
    return at;
  }
  uint32_t attribute(const std::string& name, uint32_t flag = 0) {
    uint32_t at = text(name);
    names.push_back(at);
    flags.push_back(flag);
    return at;
  }
  void record(uint32_t dn, uint32_t object_class,
              std::vector<std::pair<uint32_t, uint32_t>> pairs = {}) {
    records.push_back({dn, object_class, std::move(pairs)});
  }

  uint64_t attributes_at() const { return data_header_size + strings.size(); }
  uint64_t records_at() const { return attributes_at() + 8 * names.size(); }
  uint64_t record_at(size_t i) const {
    uint64_t r = records_at();
    for (size_t k = 0; k < i; ++k) r += 8 * (2 + records[k].pairs.size());
    return r;
  }
  uint64_t indices_offset() const { return record_at(records.size()); }
  uint64_t chain_at() const { return indices_offset() + 4 * records.size(); }
  // Where the next block goes.
  uint32_t next_block() const { return static_cast<uint32_t>(chain_at() + chain.size()); }

  // A block whose next word points right behind it.
  uint32_t block(uint32_t type, const std::string& payload) {
    uint32_t at = next_block();
    chain += le32(type) + le32(static_cast<uint32_t>(at + 8 + payload.size())) + payload;
    return at;
  }

  std::string bytes() const {
    std::string out = le32(magic) + le32(static_cast<uint32_t>(names.size())) +
                      le32(static_cast<uint32_t>(records.size())) +
                      le32(static_cast<uint32_t>(indices_offset())) +
                      le32(static_cast<uint32_t>(strings.size())) + strings;
    for (uint32_t n : names) out += le32(n);
    for (uint32_t f : flags) out += le32(f);
    for (const rec& r : records) {
      out += le32(static_cast<uint32_t>(2 + r.pairs.size())) + le32(0) + le32(r.dn) +
             le32(r.object_class);
      for (auto [a, v] : r.pairs) out += le32(a) + le32(v);
    }
    for (size_t i = 0; i < records.size(); ++i) out += le32(static_cast<uint32_t>(record_at(i)));
    return out + chain;
  }
};

std::string words(std::initializer_list<uint32_t> ws) {
  std::string out;
  for (uint32_t w : ws) out += le32(w);
  return out;
}

// The lengths at which a well-formed file can be cut and stay well formed:
// where its index chain starts and where each block ends (a chain ends where
// the file does).
std::vector<size_t> chain_boundaries(const std::string& b) {
  std::vector<size_t> out{uint64_t{get32(b, 12)} + 4 * uint64_t{get32(b, 8)}};
  while (out.back() < b.size()) out.push_back(get32(b, out.back() + 4));
  return out;
}

bool is_boundary(const std::vector<size_t>& v, size_t n) {
  return std::find(v.begin(), v.end(), n) != v.end();
}

// Two records with every kind of string and one block of each type:
//   record 0: dn "o=x", objectClass "top", cn "x"
//   record 1: dn "cn=a,o=x", objectClass "person", cn "" (long form),
//             description "a\0b" (long form)
struct sample {
  hand_file f;
  uint32_t dn, object_class, cn, description;
  uint32_t dn0, cn0, dn1, cn1, desc1, top, person;
  uint32_t sorted_at, pointer_at, acl_at, hash_at, unknown_at;

  sample() {
    dn = f.attribute("dn");
    object_class = f.attribute("objectClass", attribute_flag_nocase);
    cn = f.attribute("cn", attribute_flag_nocase);
    description = f.attribute("description");
    dn0 = f.text("o=x");
    cn0 = f.text("x");
    dn1 = f.text("cn=a,o=x");
    cn1 = f.long_form("");
    desc1 = f.long_form(std::string("a\0b", 3));
    top = f.text("top");
    person = f.text("person");
    f.record(dn0, top, {{cn, cn0}});
    f.record(dn1, person, {{cn, cn1}, {description, desc1}});
    sorted_at = f.block(block_sorted_table, words({cn, cn1, cn0}));
    pointer_at = f.block(block_sorted_table_with_records, words({object_class, person, top, 1, 0}));
    acl_at = f.block(block_acl_data, "any ACL bytes");
    // Two buckets: record 1 alone, and a list of records 0 and 1.
    hash_at = f.next_block();
    f.block(block_hash_table, words({dn, 2, 1, hash_at + 24, 2, 0, 1}));
    unknown_at = f.block(7, "x");
  }
};

// ---- Bounded views ----------------------------------------------------------

TEST(DataView, WordsTextsAndStoredStringsMustEndInsideTheView) {
  const std::string bytes = std::string("ab\0", 3) + '\0' + le32(2) + "xy" + '\0' + le32(3) + "zz";
  exact_copy c(bytes);
  const data_view v{c.bytes.get(), c.size};
  // 0: "ab" NUL; 3: long form "xy" (to 10); 10: long form of length 3
  // with only "zz" behind its header (the view ends at 17).
  struct {
    uint64_t off;
    bool word, text, stored;
  } cases[] = {
      {0, true, true, true},
      {2, true, true, false},   // a NUL: the empty text; as a long form, too long
      {3, true, true, true},    // long form "xy", whole
      {10, true, true, false},  // long form whose length runs past the end
      {13, true, true, false},  // a word fits exactly; the long header does not
      {14, false, true, false},
      {15, false, false, false},  // "zz": no NUL before the end
      {16, false, false, false},
      {17, false, false, false},  // at the end
      {UINT64_MAX - 1, false, false, false},
  };
  for (const auto& tc : cases) {
    uint32_t w = 0;
    uint64_t len = 0;
    EXPECT_EQ(view_word(&v, tc.off, &w), tc.word) << tc.off;
    EXPECT_EQ(view_text(&v, tc.off, &len), tc.text) << tc.off;
    EXPECT_EQ(view_stored_str(&v, tc.off), tc.stored) << tc.off;
  }
  uint32_t w = 0;
  ASSERT_TRUE(view_word(&v, 4, &w));
  EXPECT_EQ(w, 2u);
  uint64_t len = 0;
  ASSERT_TRUE(view_text(&v, 0, &len));
  EXPECT_EQ(len, 2u);
  ASSERT_TRUE(view_text(&v, 2, &len));  // the empty text right at a NUL
  EXPECT_EQ(len, 0u);
}

TEST(DataView, LongFormHeaderCutShortIsNotAString) {
  // A 0 byte with fewer than four length bytes behind it.
  for (size_t n = 1; n < 5; ++n) {
    exact_copy c(std::string(n, '\0'));
    const data_view v{c.bytes.get(), c.size};
    EXPECT_FALSE(view_stored_str(&v, 0)) << n;
  }
  exact_copy empty(std::string(5, '\0'));  // the empty string
  const data_view v{empty.bytes.get(), empty.size};
  EXPECT_TRUE(view_stored_str(&v, 0));
}

// ---- The structure check on hand-made files ---------------------------------

TEST(CheckDataFile, WellFormedFilesPass) {
  sample s;
  EXPECT_TRUE(check(s.f.bytes()));

  hand_file bare;  // attribute table only: no records, no index chain
  bare.attribute("dn");
  bare.attribute("objectClass");
  EXPECT_TRUE(check(bare.bytes()));

  hand_file slack;  // unused bytes between the records and their offset table
  slack.attribute("dn");
  uint32_t oc = slack.attribute("objectClass");
  slack.record(slack.text("o=x"), slack.text("top"), {{oc, slack.text("extra")}});
  std::string bytes = slack.bytes();
  const uint64_t io = slack.indices_offset();
  bytes.insert(io, 8, '\x55');
  put32(&bytes, 12, static_cast<uint32_t>(io + 8));
  EXPECT_TRUE(check(bytes));

  // Record numbers of a type-1 table at or beyond record_count are never
  // used, and a hash list may be empty.
  hand_file odd;
  uint32_t dn = odd.attribute("dn");
  uint32_t o = odd.attribute("objectClass");
  uint32_t top = odd.text("top");
  odd.record(odd.text("o=x"), top);
  odd.block(block_sorted_table_with_records, words({o, top, 99}));
  uint32_t h = odd.next_block();
  odd.block(block_hash_table, words({dn, 1, h + 20, 0}));
  EXPECT_TRUE(check(odd.bytes()));
}

TEST(CheckDataFile, EveryTruncationIsCheckedWithoutReadingPastIt) {
  // A prefix is well formed only where it ends the index chain between two
  // blocks; cut anywhere else, something refers past the end.
  sample s;
  const std::string bytes = s.f.bytes();
  const std::vector<size_t> boundaries = chain_boundaries(bytes);
  ASSERT_EQ(boundaries.size(), 6u);
  for (size_t n = 0; n <= bytes.size(); ++n) {
    EXPECT_EQ(check(bytes.substr(0, n)), is_boundary(boundaries, n)) << n;
  }
}

TEST(CheckDataFile, CorruptFilesAreRejected) {
  const sample s;
  const std::string good = s.f.bytes();
  const uint64_t size = good.size();
  const uint64_t r0 = s.f.record_at(0), r1 = s.f.record_at(1);
  const uint64_t io = s.f.indices_offset();
  const uint32_t outside = static_cast<uint32_t>(size);
  // A text without a NUL before the end: the unknown block's payload "x" is
  // the file's last byte.
  const uint32_t unterminated = static_cast<uint32_t>(size - 1);
  // A string that is not an attribute name.
  const uint32_t not_a_name = s.dn0;

  struct Case {
    const char* name;
    std::function<void(std::string*)> mutate;
  };
  const Case cases[] = {
      {"shorter than the header", [](std::string* b) { b->resize(19); }},
      {"attribute_count beyond the file", [](std::string* b) { put32(b, 4, 0x10000000); }},
      {"attribute_count one too many", [&](std::string* b) { put32(b, 4, get32(*b, 4) + 1); }},
      {"record_count beyond the file", [](std::string* b) { put32(b, 8, 0x40000000); }},
      {"record_count one more than there are records",
       [&](std::string* b) { put32(b, 8, 3); }},
      {"indices_offset beyond the file", [&](std::string* b) { put32(b, 12, outside); }},
      {"indices_offset inside the attribute table",
       [&](std::string* b) { put32(b, 12, static_cast<uint32_t>(s.f.attributes_at())); }},
      {"indices_offset wraps a 32-bit sum", [](std::string* b) { put32(b, 12, 0xfffffffc); }},
      {"size_of_string_table beyond the file", [&](std::string* b) { put32(b, 16, outside); }},
      {"size_of_string_table wraps", [](std::string* b) { put32(b, 16, 0xffffffff); }},
      {"attribute name outside the file",
       [&](std::string* b) { put32(b, s.f.attributes_at(), outside); }},
      {"attribute name at offset 0", [&](std::string* b) { put32(b, s.f.attributes_at(), 0); }},
      {"attribute name in the long form",
       [&](std::string* b) { put32(b, s.f.attributes_at() + 4, s.cn1); }},
      {"attribute name without a NUL in the file",
       [&](std::string* b) { put32(b, s.f.attributes_at(), unterminated); }},
      {"pair_count 0", [&](std::string* b) { put32(b, r0, 0); }},
      {"pair_count 1", [&](std::string* b) { put32(b, r0, 1); }},
      {"pair_count overruns the records", [&](std::string* b) { put32(b, r1, 5); }},
      {"pair_count far beyond the file", [&](std::string* b) { put32(b, r0, 0xffffffff); }},
      {"record offset table entry off by 8", [&](std::string* b) { put32(b, io + 4, static_cast<uint32_t>(r1 + 8)); }},
      {"record offset table entries swapped",
       [&](std::string* b) {
         put32(b, io, static_cast<uint32_t>(r1));
         put32(b, io + 4, static_cast<uint32_t>(r0));
       }},
      {"DN outside the file", [&](std::string* b) { put32(b, r0 + 8, outside); }},
      {"DN at offset 0", [&](std::string* b) { put32(b, r0 + 8, 0); }},
      {"DN in the long form", [&](std::string* b) { put32(b, r1 + 8, s.cn1); }},
      {"DN without a NUL in the file", [&](std::string* b) { put32(b, r0 + 8, unterminated); }},
      {"objectClass value outside the file", [&](std::string* b) { put32(b, r0 + 12, outside + 100); }},
      {"objectClass value at offset 0", [&](std::string* b) { put32(b, r0 + 12, 0); }},
      {"value whose long-form length runs past the file",
       [&](std::string* b) { put32(b, s.desc1 + 1, outside); }},
      {"value outside the file", [&](std::string* b) { put32(b, r1 + 28, outside); }},
      {"pair attribute that is not an attribute name",
       [&](std::string* b) { put32(b, r0 + 16, not_a_name); }},
      {"pair attribute 0", [&](std::string* b) { put32(b, r0 + 16, 0); }},
      {"index chain cut inside a block header",
       [](std::string* b) { b->resize(b->size() - 6); }},
      {"first block's next is its own offset (loop)",
       [&](std::string* b) { put32(b, s.sorted_at + 4, s.sorted_at); }},
      {"next points backwards",
       [&](std::string* b) { put32(b, s.hash_at + 4, s.sorted_at); }},
      {"next beyond the file", [&](std::string* b) { put32(b, s.unknown_at + 4, outside + 1); }},
      {"block shorter than its own header",
       [&](std::string* b) { put32(b, s.unknown_at + 4, s.unknown_at + 4); }},
      {"sorted table without its attribute word",
       [&](std::string* b) {
         // A block of 8 bytes, and the rest of its bytes as an unknown block.
         put32(b, s.sorted_at + 4, s.sorted_at + 8);
         put32(b, s.sorted_at + 8, 7);
         put32(b, s.sorted_at + 12, s.pointer_at);
       }},
      {"sorted table attribute that is not a name",
       [&](std::string* b) { put32(b, s.sorted_at + 8, not_a_name); }},
      {"sorted table value outside the file",
       [&](std::string* b) { put32(b, s.sorted_at + 16, outside); }},
      {"sorted table value at offset 0", [&](std::string* b) { put32(b, s.sorted_at + 12, 0); }},
      {"hash table without buckets", [&](std::string* b) { put32(b, s.hash_at + 12, 0); }},
      {"hash table with more buckets than its block holds",
       [&](std::string* b) { put32(b, s.hash_at + 12, 6); }},
      {"hash table attribute that is not a name",
       [&](std::string* b) { put32(b, s.hash_at + 8, not_a_name); }},
      {"hash list among the bucket words",
       [&](std::string* b) { put32(b, s.hash_at + 20, s.hash_at + 16); }},
      {"hash list beyond its block", [&](std::string* b) { put32(b, s.hash_at + 20, s.unknown_at); }},
      {"hash list far outside the file", [&](std::string* b) { put32(b, s.hash_at + 20, 0xfffffff0); }},
      {"hash list count overruns its block", [&](std::string* b) { put32(b, s.hash_at + 24, 3); }},
      {"hash list count huge", [&](std::string* b) { put32(b, s.hash_at + 24, 0xffffffff); }},
  };
  ASSERT_TRUE(check(good));
  for (const Case& c : cases) {
    std::string bytes = good;
    c.mutate(&bytes);
    ASSERT_NE(bytes, good) << c.name;
    EXPECT_FALSE(check(bytes)) << c.name;
  }
}

// Blocks whose sizes do not fit their entries, each followed by a good block.
TEST(CheckDataFile, SortedTablesOfTheWrongSizeAreRejected) {
  struct Case {
    const char* name;
    uint32_t type;
    int extra;  // bytes behind the last whole entry
    bool good;
  };
  const Case cases[] = {
      {"sorted table", block_sorted_table, 0, true},
      {"sorted table with 2 bytes more", block_sorted_table, 2, false},
      {"sorted table with record pointers", block_sorted_table_with_records, 0, true},
      {"record pointers with one value word more", block_sorted_table_with_records, 4, false},
      {"record pointers with 6 bytes more", block_sorted_table_with_records, 6, false},
  };
  for (const Case& c : cases) {
    hand_file f;
    f.attribute("dn");
    uint32_t oc = f.attribute("objectClass");
    uint32_t top = f.text("top");
    f.record(f.text("o=x"), top);
    std::string payload = c.type == block_sorted_table ? words({oc, top}) : words({oc, top, 0});
    payload += std::string(static_cast<size_t>(c.extra), '\0');
    f.block(c.type, payload);
    f.block(7, "");
    EXPECT_EQ(check(f.bytes()), c.good) << c.name;
  }
}

// Defects that a file of one record or one block shows on its own, where no
// later structure would give them away.
TEST(CheckDataFile, LoneDefectsAreRejected) {
  // pair_count 0 and 1 of the only record: the walk ends after it, so only
  // the count itself is wrong.
  for (uint32_t pairs : {0u, 1u}) {
    hand_file f;
    f.attribute("dn");
    f.attribute("objectClass");
    f.record(f.text("o=x"), f.text("top"));
    std::string bytes = f.bytes();
    put32(&bytes, f.record_at(0), pairs);
    EXPECT_FALSE(check(bytes)) << pairs;
  }
  // A block whose next lies inside its own header: the chain would go on
  // from there, reading the rest of the header as a block.
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  const uint32_t b = f.next_block();
  f.block(7, words({b + 16, 0}));
  f.block(7, "");
  std::string bytes = f.bytes();
  ASSERT_TRUE(check(bytes));
  put32(&bytes, b + 4, b + 4);
  EXPECT_FALSE(check(bytes));
}

TEST(CheckDataFile, NullOrTinyMappingIsRejected) {
  EXPECT_FALSE(check_data_file(nullptr, 0));
  EXPECT_FALSE(check(""));
}

// ---- Files from the writer ----------------------------------------------------

// Files of these tests live in one temporary directory, removed by the
// test environment at the end of the run (not by a static destructor: the
// loader's children exit through exit(), which would run it).
std::string& temp_dir() {
  static std::string dir;
  if (dir.empty()) {
    char templ[] = "/tmp/data-file-test-XXXXXX";
    const char* p = mkdtemp(templ);
    dir = p != nullptr ? p : "";
  }
  return dir;
}

class TempDirCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ec;
    if (!temp_dir().empty()) std::filesystem::remove_all(temp_dir(), ec);
  }
};
::testing::Environment* const cleanup = ::testing::AddGlobalTestEnvironment(new TempDirCleanup);

std::string temp_path(const std::string& name) { return temp_dir() + "/" + name; }

std::string read_all(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void write_all(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

std::vector<fixture::entry> people(int n) {
  std::vector<fixture::entry> out{{"o=example", {{"objectClass", "organization"}, {"o", "example"}}}};
  for (int i = 0; i < n; ++i) {
    std::string id = std::to_string(i);
    out.push_back({"uid=u" + id + ",o=example",
                   {{"objectClass", "person"},
                    {"objectClass", "inetOrgPerson"},
                    {"uid", "u" + id},
                    {"cn", "User " + id},
                    {"mail", "u" + id + "@example.org"},
                    {"userPassword", "secret" + id},
                    {"description", std::string("bin\0ary", 7)}}});
  }
  return out;
}

fixture::options indexed() {
  fixture::options o;
  o.nocase = {"cn", "mail", "uid"};
  o.sorted = {{"cn", 0}, {"objectClass", 1}, {"uid", -1}};
  o.hash = {{"dn", 0}, {"mail", 7}};
  return o;
}

// A writer-built file with sorted and hash indexes, as bytes.
std::string writer_file(int people_count, const fixture::options& opts = indexed()) {
  const std::string path = temp_path("writer");
  std::string err = fixture::write_data_file(path, people(people_count), opts);
  EXPECT_EQ(err, "");
  return read_all(path);
}

// The first block of the given type in a file's chain, or 0.
uint64_t find_block(const std::string& b, uint32_t type) {
  for (uint64_t at = static_cast<uint64_t>(get32(b, 12)) + 4 * static_cast<uint64_t>(get32(b, 8));
       at < b.size(); at = get32(b, at + 4)) {
    if (get32(b, at) == type) return at;
  }
  return 0;
}

TEST(CheckDataFileWriter, WriterFilesPass) {
  EXPECT_TRUE(check(writer_file(0)));
  EXPECT_TRUE(check(writer_file(1)));
  EXPECT_TRUE(check(writer_file(40)));
  EXPECT_TRUE(check(writer_file(40, {})));
}

TEST(CheckDataFileWriter, EveryTruncationIsCheckedWithoutReadingPastIt) {
  const std::string bytes = writer_file(3);
  ASSERT_GT(bytes.size(), 20u);
  const std::vector<size_t> boundaries = chain_boundaries(bytes);
  ASSERT_GE(boundaries.size(), 4u);
  for (size_t n = 0; n <= bytes.size(); ++n) {
    EXPECT_EQ(check(bytes.substr(0, n)), is_boundary(boundaries, n)) << n;
  }
}

TEST(CheckDataFileWriter, MutationsOfAWriterFileAreRejected) {
  const std::string good = writer_file(20);
  ASSERT_TRUE(check(good));
  const uint64_t io = get32(good, 12);
  const uint32_t rc = get32(good, 8);
  ASSERT_EQ(rc, 21u);
  const uint64_t r0 = get32(good, io), r1 = get32(good, io + 4);
  const uint64_t sorted = find_block(good, block_sorted_table);
  const uint64_t hash = find_block(good, block_hash_table);
  ASSERT_NE(sorted, 0u);
  ASSERT_NE(hash, 0u);
  // A bucket that holds a record list (record 0 always sits in one).
  uint64_t list_bucket = 0;
  for (uint64_t k = 0; k < get32(good, hash + 12); ++k) {
    if (get32(good, hash + 16 + 4 * k) >= hash) list_bucket = hash + 16 + 4 * k;
  }
  ASSERT_NE(list_bucket, 0u);
  const uint64_t list = get32(good, list_bucket);
  const auto size = static_cast<uint32_t>(good.size());

  struct Case {
    const char* name;
    std::function<void(std::string*)> mutate;
  };
  const Case cases[] = {
      {"truncated header", [](std::string* b) { b->resize(12); }},
      {"record_count beyond the file", [&](std::string* b) { put32(b, 8, size); }},
      {"attribute_count beyond the file", [&](std::string* b) { put32(b, 4, size); }},
      {"size_of_string_table beyond the file", [&](std::string* b) { put32(b, 16, size); }},
      {"pair count overruns the records", [&](std::string* b) { put32(b, r0, get32(*b, r0) + 1000); }},
      {"record offset table entry moved", [&](std::string* b) { put32(b, io + 4, static_cast<uint32_t>(r1 + 8)); }},
      {"DN outside the file", [&](std::string* b) { put32(b, r1 + 8, size + 3); }},
      {"chain that loops", [&](std::string* b) { put32(b, sorted + 4, static_cast<uint32_t>(sorted)); }},
      {"next beyond the file", [&](std::string* b) { put32(b, sorted + 4, size + 1); }},
      {"sorted table value outside the file", [&](std::string* b) { put32(b, sorted + 12, size); }},
      {"hash list outside its block", [&](std::string* b) { put32(b, list_bucket, get32(*b, hash + 4)); }},
      {"hash list count overruns", [&](std::string* b) { put32(b, list, 0x100000); }},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    c.mutate(&bytes);
    EXPECT_FALSE(check(bytes)) << c.name;
  }
}

// ---- Mapping ------------------------------------------------------------------

// A file large enough to be checked in two halves at once: a defect is
// found in either half and where the halves meet.
TEST(CheckDataFileWriter, LargeFilesAreCheckedInTwoHalves) {
  const std::string good = writer_file(120000, {});
  ASSERT_TRUE(check(good));
  const uint64_t offsets = get32(good, 12);
  const uint64_t records = get32(good, 8);
  const uint64_t half = records / 2;
  struct Case {
    const char* what;
    uint64_t at;  // the word to change
    uint32_t value;
  };
  const auto record = [&](uint64_t i) { return uint64_t{get32(good, offsets + 4 * i)}; };
  const Case cases[] = {
      {"a value outside the file, first half", record(10) + 20, 0xfffffff0u},
      {"a value outside the file, second half", record(records - 10) + 20, 0xfffffff0u},
      {"a pair count too large, last record of the first half", record(half - 1), 200},
      {"the second half's start moved", offsets + 4 * half, static_cast<uint32_t>(record(half) + 8)},
      {"the second half's start beyond the records", offsets + 4 * half, 0xfffffff0u},
  };
  for (const Case& c : cases) {
    std::string bad = good;
    put32(&bad, c.at, c.value);
    EXPECT_FALSE(check(bad)) << c.what;
  }
}

TEST(MapFileReadonly, MapsTheWholeFile) {
  const std::string path = temp_path("map");
  const std::string bytes = std::string("some\0bytes", 10);
  write_all(path, bytes);
  uint64_t size = 0;
  const char* p = map_file_readonly(path.c_str(), &size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(size, bytes.size());
  EXPECT_EQ(std::string(p, size), bytes);
  munmap(const_cast<char*>(p), size);
}

TEST(MapFileReadonly, MissingOrEmptyFilesGiveNothingAndLeaveTheSizeAlone) {
  const std::string empty = temp_path("empty");
  write_all(empty, "");
  for (const std::string& path : {temp_path("absent"), empty}) {
    uint64_t size = 77;
    EXPECT_EQ(map_file_readonly(path.c_str(), &size), nullptr) << path;
    EXPECT_EQ(size, 77u) << path;
  }
}

// ---- Loading ------------------------------------------------------------------

class LoadDataFile : public ::testing::Test {
 protected:
  void TearDown() override { unmap_data_file(); }
  // Loads the bytes from a file (kept alive: data_store.path points at it).
  void load(const std::string& bytes) {
    path_ = temp_path("load");
    write_all(path_, bytes);
    load_data_file(path_.c_str());
  }
  std::string name_at(uint32_t off) const { return std::string(data_store.base + off); }
  std::string path_;
};

TEST_F(LoadDataFile, CopiesTheHeaderAndFindsTheNamedAttributes) {
  const std::string bytes = writer_file(70);
  load(bytes);
  EXPECT_EQ(data_store.path, path_.c_str());
  EXPECT_EQ(data_store.size, bytes.size());
  EXPECT_EQ(std::string(data_store.base, data_store.size), bytes);
  EXPECT_EQ(data_store.magic, get32(bytes, 0));
  EXPECT_EQ(data_store.attribute_count, get32(bytes, 4));
  EXPECT_EQ(data_store.record_count, 71u);
  EXPECT_EQ(data_store.indices_offset, get32(bytes, 12));
  EXPECT_EQ(data_store.size_of_string_table, get32(bytes, 16));
  EXPECT_EQ(data_store.set_words, 2u);
  EXPECT_EQ(name_at(data_store.dn_name), "dn");
  EXPECT_EQ(name_at(data_store.object_class_name), "objectClass");
  EXPECT_EQ(name_at(data_store.user_password_name), "userPassword");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(data_store.identity.st_ino, st.st_ino);
  EXPECT_EQ(data_store.identity.st_size, st.st_size);
}

TEST_F(LoadDataFile, NamesMatchInAnyLetterCaseAndTheLastOfASpellingWins) {
  hand_file f;
  f.attribute("cn");
  uint32_t dn = f.attribute("DN");
  uint32_t oc = f.attribute("OBJECTCLASS");
  f.attribute("userpassword");
  uint32_t pw = f.attribute("UserPassword");
  load(f.bytes());
  EXPECT_EQ(data_store.dn_name, dn);
  EXPECT_EQ(data_store.object_class_name, oc);
  EXPECT_EQ(data_store.user_password_name, pw);
  EXPECT_EQ(data_store.record_count, 0u);
  EXPECT_EQ(data_store.set_words, 0u);
}

TEST_F(LoadDataFile, UserPasswordMayBeMissing) {
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  load(f.bytes());
  EXPECT_EQ(data_store.user_password_name, 0u);
}

TEST_F(LoadDataFile, ChainsWithoutIndexesOrWithOddBlocksLoad) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> blocks;
  };
  const Case cases[] = {
      {"no index chain", {}},
      {"a block of type 7 is skipped", {{7, "whatever"}, {7, ""}}},
      {"two ACL blocks", {{block_acl_data, "first"}, {block_acl_data, "second"}}},
  };
  for (const Case& c : cases) {
    hand_file f;
    f.attribute("dn");
    uint32_t oc = f.attribute("objectClass");
    f.record(f.text("o=x"), f.text("top"), {{oc, f.text("extra")}});
    for (const auto& [type, payload] : c.blocks) f.block(type, payload);
    load(f.bytes());
    EXPECT_EQ(data_store.record_count, 1u) << c.name;
    EXPECT_EQ(data_store.set_words, 1u) << c.name;
    unmap_data_file();
  }
}

// The loader ends the process on failure; each case runs in a child whose
// standard output goes to a file, since one message goes there.
struct failure_case {
  const char* name;
  bool exists;
  std::string bytes;
  int status;
  std::string out;
  std::string err;
};

TEST(LoadDataFileDeathTest, FailuresEndTheProcessWithTheirMessageAndStatus) {
  hand_file no_oc;
  no_oc.attribute("dn");
  no_oc.attribute("cn");
  hand_file no_dn;
  no_dn.attribute("objectClass");
  hand_file looping;
  looping.attribute("dn");
  looping.attribute("objectClass");
  std::string loop = looping.bytes() + words({7, static_cast<uint32_t>(looping.bytes().size())});
  hand_file backwards;
  backwards.attribute("dn");
  backwards.attribute("objectClass");
  const uint32_t first = backwards.block(7, "");
  backwards.block(7, "");
  std::string back = backwards.bytes();
  put32(&back, first + 12, first);  // the second block's next points at the first

  std::string bad_offsets = writer_file(3);
  put32(&bad_offsets, get32(bad_offsets, 12), 0);

  const std::string cant = "can't happen error: dn or objectClass not there\\?!";
  const failure_case cases[] = {
      {"missing file", false, "", 1, "", "could not open data!"},
      {"empty file", true, "", 1, "", "could not open data!"},
      {"no objectClass", true, no_oc.bytes(), 0, "", cant},
      {"no dn", true, no_dn.bytes(), 0, "", cant},
      {"truncated header", true, no_oc.bytes().substr(0, 10), 1, "broken data file!\n", ""},
      {"chain that loops", true, loop, 1, "broken data file!\n", ""},
      {"second block's next below its offset", true, back, 1, "broken data file!\n", ""},
      {"bad record offset", true, bad_offsets, 1, "broken data file!\n", ""},
  };
  for (const failure_case& c : cases) {
    const std::string path = temp_path("dying");
    const std::string out = temp_path("dying.out");
    unlink(path.c_str());
    if (c.exists) write_all(path, c.bytes);
    EXPECT_EXIT(
        {
          int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          dup2(fd, 1);
          load_data_file(path.c_str());
          exit(99);
        },
        ::testing::ExitedWithCode(c.status), c.err.empty() ? std::string("^$") : "^" + c.err + "\n$")
        << c.name;
    EXPECT_EQ(read_all(out), c.out) << c.name;
  }
}

TEST_F(LoadDataFile, UnmapForgetsTheMapping) {
  load(writer_file(1));
  EXPECT_NE(data_store.base, nullptr);
  unmap_data_file();
  EXPECT_EQ(data_store.base, nullptr);
  EXPECT_EQ(data_store.size, 0u);
  unmap_data_file();  // nothing mapped: nothing to do
  EXPECT_EQ(data_store.size, 0u);
}

}  // namespace
