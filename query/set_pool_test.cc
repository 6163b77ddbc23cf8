#include "query/set_pool.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/data_file.h"
#include "tests/data_fixture.h"

namespace {

class SetPool : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/set_pool_testXXXXXX";
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
  // A data file of n records.
  void load(uint32_t n) {
    std::vector<fixture::entry> entries;
    for (uint32_t i = 0; i < n; ++i)
      entries.push_back({"cn=" + std::to_string(i), {{"objectClass", "person"}}});
    if (data_store.size != 0) unmap_data_file();
    const std::string path = dir_ + "/data";
    ASSERT_EQ(fixture::write_data_file(path, entries), "");
    load_data_file(path.c_str());
  }
  // Bytes of one array for the loaded file.
  static uint64_t array_bytes() { return uint64_t{8} * data_store.set_words; }

  std::string dir_;
};

TEST_F(SetPool, SlotsAreKeptAndDistinct) {
  load(130);  // three words
  uint64_t* a = set_pool_words(set_pool_result);
  uint64_t* b = set_pool_words(5);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  // Every word of both arrays is writable (the sanitizer build checks).
  for (uint32_t i = 0; i < data_store.set_words; ++i) a[i] = b[i] = ~uint64_t{0};
  const uint64_t bytes = set_pool_bytes();
  for (int round = 0; round < 10; ++round) {
    EXPECT_EQ(set_pool_words(set_pool_result), a);
    EXPECT_EQ(set_pool_words(5), b);
  }
  EXPECT_EQ(set_pool_bytes(), bytes);
  // A new slot adds one array; the slot table may grow with it.
  ASSERT_NE(set_pool_words(1000), nullptr);
  EXPECT_GE(set_pool_bytes(), bytes + array_bytes());
}

// A reload that changes the number of set words gives new arrays of the
// new size; one that keeps it keeps them.
TEST_F(SetPool, FollowsReloads) {
  load(3);
  ASSERT_NE(set_pool_words(3), nullptr);
  const uint64_t small_bytes = set_pool_bytes();
  const uint64_t small_array = array_bytes();

  load(200);
  ASSERT_EQ(data_store.set_words, 4u);
  uint64_t* words = set_pool_words(1);
  ASSERT_NE(words, nullptr);
  for (uint32_t i = 0; i < data_store.set_words; ++i) words[i] = ~uint64_t{0};
  // Slot 3's array went with the reload; slot 1's is of the new size.
  EXPECT_EQ(set_pool_bytes(), small_bytes - small_array + array_bytes());

  load(199);
  EXPECT_EQ(set_pool_words(1), words);
}

// An empty data file still gives usable (one-word) arrays.
TEST_F(SetPool, EmptyFile) {
  load(0);
  ASSERT_EQ(data_store.set_words, 0u);
  uint64_t* w = set_pool_words(set_pool_result);
  ASSERT_NE(w, nullptr);
  w[0] = 0;
}

TEST_F(SetPool, ReleaseFreesEverything) {
  load(70);
  ASSERT_NE(set_pool_words(7), nullptr);
  EXPECT_GT(set_pool_bytes(), 0u);
  set_pool_release();
  EXPECT_EQ(set_pool_bytes(), 0u);
  EXPECT_NE(set_pool_words(0), nullptr);
}

}  // namespace
