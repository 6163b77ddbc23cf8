#include "query/dn_lookup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "journal/journal_store.h"
#include "query/set_pool.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "store/record.h"
#include "tests/capture_stderr.h"
#include "tests/data_fixture.h"

namespace {

counted_str key(const std::string& s) { return counted_str{s.size(), s.data()}; }

std::string content(const char* s) { return std::string(stored_str_data(s), stored_str_len(s)); }

std::string dn_of(uint64_t i) {
  return content(data_store.base +
                 record_value(record_offset(static_cast<uint32_t>(i)), data_store.dn_name));
}

std::string folded(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// The lowest-numbered record whose DN equals dn (ignoring ASCII case when
// nocase is set), or -1.
int64_t record_of(const std::string& dn, bool nocase = false) {
  for (uint32_t i = 0; i < data_store.record_count; ++i) {
    if (nocase ? folded(dn_of(i)) == folded(dn) : dn_of(i) == dn) return i;
  }
  return -1;
}

// Sentinels that show whether lookupdn wrote its outputs.
constexpr uint64_t kUntouchedRecord = 12345;
journal_entry* const kUntouchedEntry = reinterpret_cast<journal_entry*>(uintptr_t{0x10});

struct answer {
  int result;
  uint64_t record;
  journal_entry* entry;
  std::string err;
};

answer lookup(counted_str dn) {
  answer a{0, kUntouchedRecord, kUntouchedEntry, ""};
  a.err = capture_stderr([&] { a.result = lookupdn(dn, &a.record, &a.entry); });
  return a;
}

answer lookup(const std::string& dn) { return lookup(key(dn)); }

std::vector<fixture::entry> directory() {
  std::vector<fixture::entry> out;
  for (const char* cn : {"a", "b", "c", "d", "e", "f", "g", "h", "ba", "ab"}) {
    out.push_back({std::string("cn=") + cn + ",o=t", {{"objectClass", "person"}, {"cn", cn}}});
  }
  out.push_back({"o=t", {{"objectClass", "organization"}}});
  return out;
}

class DnLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/dn_lookup_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir), 0);
  }
  void TearDown() override {
    journal_store_release();
    if (data_store.size != 0) unmap_data_file();
    data_store.size = 0;
    set_pool_release();
    EXPECT_EQ(chdir(cwd_), 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // Loads the data file and the journal (absent when journal is empty).
  void load(const fixture::options& opts, const std::string& journal = "") {
    journal_store_release();
    if (data_store.size != 0) unmap_data_file();
    ASSERT_EQ(fixture::write_data_file("data", directory(), opts), "");
    load_data_file("data");
    unlink(journal_path);
    if (!journal.empty()) {
      const int fd = open(journal_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, journal.data(), journal.size()), static_cast<ssize_t>(journal.size()));
      close(fd);
    }
    load_journal();
  }

  std::string dir_;
  char cwd_[4096];
};

TEST_F(DnLookup, AbsentOrEmptyDnFails) {
  load({{}, {}, {{"dn", 0}}, {}});
  const counted_str dns[] = {{0, nullptr}, {0, "cn=a,o=t"}, {8, nullptr}};
  for (const counted_str& dn : dns) {
    const answer a = lookup(dn);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.err, "lookupdn called for NULL dn!\n");
    EXPECT_EQ(a.record, kUntouchedRecord);
    EXPECT_EQ(a.entry, kUntouchedEntry);
  }
}

// The journal is asked first and its answer is final; the data file only
// for DNs that the journal does not mention.
TEST_F(DnLookup, JournalFirst) {
  const std::string journal =
      "dn: cn=a,o=t\ncn: changed\n\n"   // shadows a record
      "dn: cn=b,o=t\n\n"                // deletes a record
      "dn: cn=new,o=t\ncn: new\n\n"     // exists in the journal only
      "dn: cn=gone,o=t\ncn: x\n\n"
      "dn: cn=gone,o=t\n\n";            // added, then deleted
  struct journal_case {
    const char* dn;
    int result;
    bool in_journal;
  };
  const journal_case cases[] = {
      {"cn=a,o=t", 1, true},   {"cn=b,o=t", 0, true},   {"cn=new,o=t", 1, true},
      {"cn=gone,o=t", 0, true}, {"cn=c,o=t", 1, false}, {"cn=zz,o=t", 0, false},
  };
  const fixture::options with_index{{}, {}, {{"dn", 0}}, {}};
  const fixture::options without_index{{}, {{"cn", -1}}, {}, {}};
  for (const fixture::options* opts : {&with_index, &without_index}) {
    load(*opts, journal);
    for (const journal_case& c : cases) {
      SCOPED_TRACE(c.dn);
      const answer a = lookup(std::string(c.dn));
      if (c.in_journal) {
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.record, dn_in_journal);
        ASSERT_NE(a.entry, nullptr);
        ASSERT_NE(a.entry, kUntouchedEntry);
        EXPECT_EQ(content(a.entry->dn), c.dn);
        EXPECT_EQ(a.entry->attribute_count == 0, c.result == 0);
      } else if (opts == &without_index) {
        EXPECT_EQ(a.result, -1);
        EXPECT_EQ(a.err, "no index for dn, lookup failed!\n");
        EXPECT_EQ(a.entry, nullptr);
        EXPECT_EQ(a.record, kUntouchedRecord);
      } else {
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.entry, nullptr);
        if (c.result == 1) {
          EXPECT_EQ(a.record, static_cast<uint64_t>(record_of(c.dn)));
        }
      }
    }
  }
}

// A journal DN in the same journal bucket as the one asked for is not it.
TEST_F(DnLookup, JournalBucketNeighboursAreNotConfused) {
  const std::string asked = "cn=c,o=t";
  const uint32_t bucket = string_hash(asked.data(), asked.size()) % journal_buckets;
  std::string neighbour;
  for (uint32_t n = 0; neighbour.empty(); ++n) {
    const std::string dn = "cn=x" + std::to_string(n) + ",o=t";
    if (string_hash(dn.data(), dn.size()) % journal_buckets == bucket) neighbour = dn;
  }
  load({{}, {}, {{"dn", 0}}, {}}, "dn: " + neighbour + "\ncn: n\n\n");
  const answer a = lookup(asked);
  EXPECT_EQ(a.result, 1);
  EXPECT_EQ(a.entry, nullptr);
  EXPECT_EQ(a.record, static_cast<uint64_t>(record_of(asked)));
  EXPECT_EQ(lookup(neighbour).result, 1);
  EXPECT_EQ(lookup(neighbour).record, dn_in_journal);
}

// Nor is one with the very same hash.
TEST_F(DnLookup, JournalDnsThatHashAlikeAreNotConfused) {
  const std::string in_journal = "cn=aaaa2,o=t";
  const std::string asked = "cn=aaacp,o=t";
  ASSERT_EQ(string_hash(in_journal.data(), in_journal.size()),
            string_hash(asked.data(), asked.size()));
  load({{}, {}, {{"dn", 0}}, {}}, "dn: " + in_journal + "\ncn: n\n\n");
  const answer a = lookup(asked);
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.entry, nullptr);
  const answer b = lookup(in_journal);
  EXPECT_EQ(b.result, 1);
  ASSERT_NE(b.entry, nullptr);
  EXPECT_EQ(content(b.entry->dn), in_journal);
}

// Every DN finds its own record (or, when dn compares without case, the
// first record whose DN equals it so), whatever the index and however many
// DNs share its hash bucket; DNs that are not there are not found, also
// when they share a bucket with ones that are.
TEST_F(DnLookup, EveryIndexFindsExactlyTheDn) {
  struct index_case {
    const char* what;
    fixture::options opts;
    uint32_t buckets;  // of the hash table; 0 for a sorted one
    bool nocase;
  };
  const index_case cases[] = {
      {"hash, one bucket", {{}, {}, {{"dn", 1}}, {}}, 1, false},
      {"hash, two buckets", {{}, {}, {{"dn", 2}}, {}}, 2, false},
      {"hash, chosen by the writer", {{}, {}, {{"dn", 0}}, {}}, 0, false},
      {"hash, one bucket, no case", {{"dn"}, {}, {{"dn", 1}}, {}}, 1, true},
      {"sorted", {{}, {{"dn", -1}}, {}, {}}, 0, false},
      {"sorted with record numbers", {{}, {{"dn", 1}}, {}, {}}, 0, false},
      {"sorted, no case", {{"dn"}, {{"dn", 0}}, {}, {}}, 0, true},
      {"sorted and hash", {{}, {{"dn", 0}}, {{"dn", 1}}, {}}, 1, false},
  };
  const std::vector<std::string> absent = {"cn=zz,o=t", "cn=a,o=tt", "cn=a", "cn=a,o=t,o=t",
                                           "cn=ab,o=", "o=tt", "cn=b,o=t "};
  for (const index_case& c : cases) {
    SCOPED_TRACE(c.what);
    load(c.opts);
    for (uint32_t i = 0; i < data_store.record_count; ++i) {
      const answer a = lookup(dn_of(i));
      EXPECT_EQ(a.result, 1) << dn_of(i);
      EXPECT_EQ(a.record, static_cast<uint64_t>(record_of(dn_of(i), c.nocase))) << dn_of(i);
      EXPECT_EQ(a.entry, nullptr);
      EXPECT_EQ(a.err, "");
    }
    for (const std::string& dn : absent) {
      const answer a = lookup(dn);
      EXPECT_EQ(a.result, 0) << dn;
      EXPECT_EQ(a.entry, nullptr);
      EXPECT_EQ(a.record, kUntouchedRecord) << dn;
    }
    if (c.buckets == 2) {
      // At least one absent DN shares a bucket with a record.
      uint32_t shared = 0;
      for (const std::string& dn : absent) shared |= 1u << (string_hash(dn.data(), dn.size()) % 2);
      uint32_t used = 0;
      for (uint32_t i = 0; i < data_store.record_count; ++i) {
        const std::string d = dn_of(i);
        used |= 1u << (string_hash(d.data(), d.size()) % 2);
      }
      EXPECT_NE(shared & used, 0u);
    }
    // A DN in another letter case is the same DN only when dn compares
    // without case.
    const answer other_case = lookup(std::string("cn=A,o=t"));
    EXPECT_EQ(other_case.result, c.nocase ? 1 : 0);
    if (c.nocase) {
      EXPECT_EQ(other_case.record, static_cast<uint64_t>(record_of("cn=a,o=t")));
    }
  }
}

// Lookups reuse the pool's result set: repeating them holds no more memory.
TEST_F(DnLookup, RepeatedLookupsHoldOneSet) {
  load({{}, {}, {{"dn", 1}}, {}});
  ASSERT_EQ(lookup(std::string("cn=c,o=t")).result, 1);
  const uint64_t bytes = set_pool_bytes();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(lookup(std::string("cn=c,o=t")).result, 1);
  EXPECT_EQ(set_pool_bytes(), bytes);
}

}  // namespace
