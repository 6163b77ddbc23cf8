#include "store/record.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "store/data_file.h"
#include "tests/capture_stderr.h"
#include "tests/data_fixture.h"

namespace {

// Builds a data file from entries in a temporary directory and loads it.
class Records : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ferrowyn-record-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/data";
  }

  void TearDown() override {
    unmap_data_file();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  void load(const std::vector<fixture::entry>& entries, const fixture::options& opts = {}) {
    if (data_store.size != 0) unmap_data_file();
    ASSERT_EQ(fixture::write_data_file(path_, entries, opts), "");
    load_data_file(path_.c_str());
  }

  // The name offset of an attribute, as the loader resolves names.
  static uint32_t attribute(const char* name) {
    const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
    for (uint32_t i = 0; i < data_store.attribute_count; ++i) {
      const uint32_t off = data_word(table + 4 * i);
      if (compare_text_nocase(data_store.base + off, name) == 0) return off;
    }
    return 0;
  }

  static std::string text(uint32_t off) {
    const char* p = data_store.base + off;
    return std::string(stored_str_data(p), stored_str_len(p));
  }

  // Every (attribute, value offset) pair of record i in record order.
  static std::vector<std::pair<uint32_t, uint32_t>> pairs(uint32_t i) {
    const uint32_t r = record_offset(i);
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t k = 0; k + 2 < data_word(r); ++k) {
      out.emplace_back(data_word(r + 16 + 8 * k), data_word(r + 20 + 8 * k));
    }
    return out;
  }

  std::string dir_, path_;
};

const std::vector<fixture::entry> kPeople = {
    {"cn=ann,o=test",
     {{"objectClass", "top"},
      {"cn", "ann"},
      {"objectClass", "person"},
      {"mail", "ann@test"},
      {"cn", "annie"},
      {"objectClass", "inetOrgPerson"}}},
    {"cn=bare,o=test", {{"objectClass", "top"}}},
    {"cn=cid,o=test", {{"objectClass", "person"}, {"mail", "cid@test"}, {"sn", "Cid"}}},
};

TEST_F(Records, OffsetsLeadToRecordsInFileOrder) {
  load(kPeople);
  ASSERT_EQ(data_store.record_count, 3u);
  uint32_t previous = 0;
  for (uint32_t i = 0; i < 3; ++i) {
    const uint32_t r = record_offset(i);
    EXPECT_GT(r, previous);
    previous = r;
    EXPECT_EQ(text(record_value(r, data_store.dn_name)), kPeople[i].dn);
  }
  // Records lie back to back: each is 8 bytes per pair count.
  EXPECT_EQ(record_offset(1), record_offset(0) + 8 * data_word(record_offset(0)));
  EXPECT_EQ(record_offset(2), record_offset(1) + 8 * data_word(record_offset(1)));
}

TEST_F(Records, ValueGivesTheFirstValueOfEachAttribute) {
  load(kPeople);
  const uint32_t cn = attribute("cn");
  const uint32_t mail = attribute("mail");
  const uint32_t sn = attribute("sn");
  const uint32_t oc = data_store.object_class_name;
  ASSERT_NE(cn, 0u);
  ASSERT_NE(mail, 0u);
  ASSERT_NE(sn, 0u);
  struct Case {
    uint32_t record;
    uint32_t attribute;
    const char* want;  // null: no value
  };
  const Case cases[] = {
      {0, oc, "top"},  // only the first, though more objectClass pairs follow
      {0, cn, "ann"},  // the first of two
      {0, mail, "ann@test"},
      {0, sn, nullptr},
      {1, oc, "top"},
      {1, cn, nullptr},  // a record without pairs
      {1, mail, nullptr},
      {2, oc, "person"},
      {2, sn, "Cid"},
      {2, mail, "cid@test"},
      {2, cn, nullptr},
  };
  for (const Case& c : cases) {
    const uint32_t v = record_value(record_offset(c.record), c.attribute);
    if (c.want == nullptr) {
      EXPECT_EQ(v, 0u) << c.record << " " << text(c.attribute);
    } else {
      ASSERT_NE(v, 0u) << c.record << " " << text(c.attribute);
      EXPECT_EQ(text(v), c.want) << c.record << " " << text(c.attribute);
    }
  }
  // The further objectClass values are ordinary pairs of record 0.
  std::vector<std::string> more;
  for (const auto& [a, v] : pairs(0)) {
    if (a == oc) more.push_back(text(v));
  }
  EXPECT_EQ(more, (std::vector<std::string>{"person", "inetOrgPerson"}));
}

TEST_F(Records, HasAttribute) {
  load(kPeople);
  const uint32_t cn = attribute("cn");
  const uint32_t mail = attribute("mail");
  const uint32_t sn = attribute("sn");
  const uint32_t dn = data_store.dn_name;
  const uint32_t oc = data_store.object_class_name;
  struct Case {
    uint32_t record;
    uint32_t attribute;
    int want;
  };
  const Case cases[] = {
      {0, dn, 1}, {1, dn, 1},   {2, dn, 1},   {0, oc, 1}, {1, oc, 1}, {2, oc, 1},
      {0, cn, 1}, {0, mail, 1}, {0, sn, 0},   {1, cn, 0}, {1, mail, 0}, {1, sn, 0},
      {2, cn, 0}, {2, sn, 1},   {2, mail, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(record_has_attribute(record_offset(c.record), c.attribute), c.want)
        << c.record << " " << text(c.attribute);
  }
}

// ---------------------------------------------------------------- findrec

TEST_F(Records, FindrecOwnsEveryDnAndListedValue) {
  // Sorted indexes of type 0 list their values, so the writer keeps those
  // strings inside their records' ranges.
  std::mt19937 rng(3);
  std::vector<fixture::entry> entries;
  for (int i = 0; i < 300; ++i) {
    fixture::entry e{"cn=r" + std::to_string(i) + ",o=test", {{"objectClass", "top"}}};
    const int values = static_cast<int>(rng() % 4);
    for (int k = 0; k < values; ++k) {
      std::string value = "v";
      value += std::to_string(rng() % 50);
      e.values.emplace_back(k % 2 ? "cn" : "mail", value);
    }
    entries.push_back(e);
  }
  fixture::options opts;
  opts.sorted = {{"cn", 0}, {"mail", 0}};
  load(entries, opts);
  const uint32_t cn = attribute("cn");
  const uint32_t mail = attribute("mail");
  std::string errors = capture_stderr([&] {
    for (uint32_t i = 0; i < data_store.record_count; ++i) {
      const uint32_t dn = record_value(record_offset(i), data_store.dn_name);
      ASSERT_EQ(findrec(dn), int64_t{i});
      ASSERT_EQ(findrec(dn + 1), int64_t{i});  // inside the DN text
      for (const auto& [a, v] : pairs(i)) {
        if (a == cn || a == mail) {
          ASSERT_EQ(findrec(v), int64_t{i}) << text(v);
        }
      }
    }
  });
  EXPECT_EQ(errors, "");
}

TEST_F(Records, FindrecAtTheEdgesOfTheRecordRanges) {
  load(kPeople);
  const uint32_t dn0 = record_value(record_offset(0), data_store.dn_name);
  const uint32_t dn1 = record_value(record_offset(1), data_store.dn_name);
  const uint32_t dn2 = record_value(record_offset(2), data_store.dn_name);
  // The last record's strings end where record 0's first objectClass value
  // (the first shared string) begins.
  const uint32_t shared = record_value(record_offset(0), data_store.object_class_name);
  ASSERT_GT(shared, dn2);
  struct Case {
    uint32_t v;
    int64_t want;
  };
  const Case cases[] = {
      {dn0, 0},        {dn1 - 1, 0},     {dn1, 1},          {dn2 - 1, 1},
      {dn2, 2},        {shared - 1, 2},  {shared, -1},      {shared + 1, -1},
      {dn0 - 1, -1},   {0, -1},          {0xffffffffu, -1},
  };
  for (const Case& c : cases) {
    int64_t got = 0;
    const std::string errors = capture_stderr([&] { got = findrec(c.v); });
    EXPECT_EQ(got, c.want) << c.v;
    EXPECT_EQ(errors, c.want < 0 ? "findrec failed!\n" : "") << c.v;
  }
}

TEST_F(Records, FindrecWithASingleRecord) {
  load({{"cn=only", {{"objectClass", "top"}}}});
  const uint32_t dn = record_value(record_offset(0), data_store.dn_name);
  const uint32_t shared = record_value(record_offset(0), data_store.object_class_name);
  int64_t below = 0;
  int64_t at = -1;
  int64_t end = -1;
  int64_t past = 0;
  const std::string errors = capture_stderr([&] {
    below = findrec(dn - 1);
    at = findrec(dn);
    end = findrec(shared - 1);
    past = findrec(shared);
  });
  EXPECT_EQ(below, -1);
  EXPECT_EQ(at, 0);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(past, -1);
  EXPECT_EQ(errors, "findrec failed!\nfindrec failed!\n");
}

TEST_F(Records, FindrecWithoutRecordsFails) {
  load({});
  ASSERT_EQ(data_store.record_count, 0u);
  int64_t got = 0;
  const std::string errors = capture_stderr([&] { got = findrec(data_header_size); });
  EXPECT_EQ(got, -1);
  EXPECT_EQ(errors, "findrec failed!\n");
}

}  // namespace
