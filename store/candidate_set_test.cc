#include "store/candidate_set.h"

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "store/data_file.h"

namespace {

// The set reads only the record count of the loaded file; these tests give
// it one without a file.
class CandidateSet : public ::testing::Test {
 protected:
  void TearDown() override { data_store = loaded_data_file{}; }

  candidate_set make(uint32_t record_count) {
    data_store.record_count = record_count;
    data_store.set_words = (record_count + 63) / 64;
    // One spare word behind the set's own, filled with a pattern, shows any
    // write or read past the end.
    storage_.assign(data_store.set_words + 1, 0x5a5a5a5a5a5a5a5aull);
    return candidate_set{storage_.data(), 12345, 6789};
  }

  uint64_t guard() const { return storage_.back(); }

  std::vector<uint64_t> storage_;
};

std::vector<int64_t> members(const candidate_set& s) {
  std::vector<int64_t> out;
  for (int64_t i = set_next(&s, s.lowest); i >= 0; i = set_next(&s, static_cast<uint64_t>(i) + 1)) {
    out.push_back(i);
    if (out.size() > 100000) break;  // a stuck iteration
  }
  return out;
}

std::vector<int64_t> range(int64_t from, int64_t to) {  // [from, to)
  std::vector<int64_t> out;
  for (int64_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

TEST_F(CandidateSet, ClearIsEmptyWithItsBounds) {
  for (uint32_t count : {0u, 1u, 63u, 64u, 65u, 200u}) {
    candidate_set s = make(count);
    set_fill(&s);
    set_clear(&s);
    EXPECT_EQ(s.lowest, count);
    EXPECT_EQ(s.highest, 0u);
    for (uint32_t w = 0; w < data_store.set_words; ++w) EXPECT_EQ(s.words[w], 0u) << count;
    EXPECT_TRUE(members(s).empty()) << count;
    EXPECT_EQ(set_next(&s, 0), -1);
    EXPECT_EQ(guard(), 0x5a5a5a5a5a5a5a5aull) << count;
  }
}

TEST_F(CandidateSet, FillHoldsEveryRecordAndNoMore) {
  for (uint32_t count : {0u, 1u, 63u, 64u, 65u, 128u, 130u}) {
    candidate_set s = make(count);
    set_fill(&s);
    EXPECT_EQ(s.lowest, 0u);
    EXPECT_EQ(s.highest, count);
    EXPECT_EQ(members(s), range(0, count)) << count;
    EXPECT_EQ(guard(), 0x5a5a5a5a5a5a5a5aull) << count;
  }
}

TEST_F(CandidateSet, AddKeepsBoundsAndIgnoresRecordsBeyondTheFile) {
  candidate_set s = make(100);
  set_clear(&s);
  set_add(&s, 40);
  EXPECT_EQ(s.lowest, 40u);
  EXPECT_EQ(s.highest, 40u);
  set_add(&s, 99);
  set_add(&s, 0);
  set_add(&s, 40);  // twice is once
  EXPECT_EQ(s.lowest, 0u);
  EXPECT_EQ(s.highest, 99u);
  set_add(&s, 100);
  set_add(&s, 127);  // still inside the last word, but not a record
  set_add(&s, 1u << 20);
  EXPECT_EQ(s.highest, 99u);
  EXPECT_EQ(members(s), (std::vector<int64_t>{0, 40, 99}));
  EXPECT_EQ(s.words[1] >> 36, 0u);  // bits 100..127 untouched
  EXPECT_EQ(guard(), 0x5a5a5a5a5a5a5a5aull);
}

TEST_F(CandidateSet, NextSkipsEmptyWordsAndHonoursTheBounds) {
  candidate_set s = make(1000);
  set_clear(&s);
  for (uint64_t i : {3u, 64u, 127u, 128u, 640u, 999u}) set_add(&s, i);
  struct Case {
    uint64_t from;
    int64_t want;
  };
  const Case cases[] = {{0, 3},     {3, 3},     {4, 64},    {65, 127}, {128, 128},
                        {129, 640}, {641, 999}, {999, 999}, {1000, -1}, {5000, -1}};
  for (const Case& c : cases) EXPECT_EQ(set_next(&s, c.from), c.want) << c.from;

  // Bits outside [lowest, highest] are not members, whatever the words say.
  s.lowest = 64;
  s.highest = 640;
  EXPECT_EQ(set_next(&s, 0), 64);
  EXPECT_EQ(members(s), (std::vector<int64_t>{64, 127, 128, 640}));
  s.lowest = 65;
  s.highest = 639;
  EXPECT_EQ(members(s), (std::vector<int64_t>{127, 128}));
  s.lowest = 129;
  s.highest = 639;
  EXPECT_TRUE(members(s).empty());
  EXPECT_EQ(set_next(&s, 0), -1);
  s.lowest = 700;
  s.highest = 600;  // crossed bounds: empty
  EXPECT_EQ(set_next(&s, 0), -1);
}

TEST_F(CandidateSet, FilledWordsBeyondTheLastRecordAreNotVisited) {
  // A filled set has its spare bits set; a highest above the last record
  // must not let them through.
  candidate_set s = make(70);
  set_fill(&s);
  EXPECT_EQ(set_next(&s, 69), 69);
  EXPECT_EQ(set_next(&s, 70), -1);
  s.highest = 1000;
  EXPECT_EQ(set_next(&s, 70), -1);
  EXPECT_EQ(members(s).size(), 70u);
}

TEST_F(CandidateSet, RandomSetsIterateLikeAReferenceSet) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const uint32_t count = rng() % 700;
    candidate_set s = make(count);
    set_clear(&s);
    std::set<int64_t> want;
    const int adds = static_cast<int>(rng() % 40);
    for (int a = 0; a < adds; ++a) {
      // Clustered and scattered numbers, some beyond the file.
      const uint64_t i = rng() % 2 ? rng() % (count + 10) : (rng() % 3) * 64 + rng() % 3;
      set_add(&s, i);
      if (i < count) want.insert(static_cast<int64_t>(i));
    }
    ASSERT_EQ(members(s), std::vector<int64_t>(want.begin(), want.end())) << round;
    if (!want.empty()) {
      EXPECT_EQ(s.lowest, static_cast<uint64_t>(*want.begin()));
      EXPECT_EQ(s.highest, static_cast<uint64_t>(*want.rbegin()));
    }
    ASSERT_EQ(guard(), 0x5a5a5a5a5a5a5a5aull);
  }
}

}  // namespace
