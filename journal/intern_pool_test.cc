#include "journal/intern_pool.h"

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"

using namespace std::string_literals;

namespace {

std::string content_at(const intern_pool& p, int64_t offset) {
  const char* s = p.strings.base + offset;
  return std::string(stored_str_data(s), stored_str_len(s));
}

uint64_t interned_count(const intern_pool& p) { return p.offsets.used / sizeof(uint64_t); }

TEST(InternText, FirstStringOfAnEmptyPoolIsAtZero) {
  intern_pool p;
  intern_pool_init(&p);
  EXPECT_EQ(intern_text(&p, "dn"), 0);
  EXPECT_EQ(intern_text(&p, "dn"), 0);
  const int64_t oc = intern_text(&p, "objectClass");
  EXPECT_GT(oc, 0);
  // The text's terminator is not part of the string: the same bytes given
  // with a length find it.
  EXPECT_EQ(intern_bytes(&p, "objectClass", 11), oc);
  EXPECT_EQ(content_at(p, oc), "objectClass");
  intern_pool_release(&p);
  EXPECT_EQ(p.strings.base, nullptr);
  EXPECT_EQ(p.offsets.base, nullptr);
}

TEST(InternBytes, EqualStringsShareAnOffsetDistinctOnesDoNot) {
  struct Case {
    const char* what;
    std::vector<std::string> sequence;
  };
  const Case cases[] = {
      {"case matters", {"cn", "CN", "cn", "Cn", "CN"}},
      {"empty strings", {"", "a", "", ""}},
      {"strings that differ after a 0 byte", {"a\0b"s, "a\0c"s, "a\0b"s, "a\0"s, "a"s, "a\0"s}},
      {"a trailing 0 byte is content", {"abc", "abc\0"s, "abc\0\0"s, "abc", "abc\0"s}},
      {"lone 0 bytes", {"\0"s, ""s, "\0\0"s, "\0"s}},
      {"prefixes", {"objectClass", "object", "objectClasses", "object", "objectClass"}},
  };
  for (const Case& c : cases) {
    intern_pool p = {};
    std::map<std::string, int64_t> first_offset;
    std::set<int64_t> offsets;
    for (const std::string& s : c.sequence) {
      const int64_t o = intern_bytes(&p, s.data(), s.size());
      ASSERT_GE(o, 0) << c.what;
      const auto [it, is_new] = first_offset.emplace(s, o);
      if (is_new) {
        EXPECT_TRUE(offsets.insert(o).second) << c.what << ": a new string reused an offset";
      } else {
        EXPECT_EQ(o, it->second) << c.what;
      }
      EXPECT_EQ(content_at(p, o), s) << c.what;
    }
    // Each distinct string is stored once.
    EXPECT_EQ(interned_count(p), first_offset.size()) << c.what;
    intern_pool_release(&p);
  }
}

TEST(InternBytes, OffsetsSurviveGrowthOfTheStrings) {
  intern_pool p = {};
  std::vector<std::pair<std::string, int64_t>> seen;
  for (int i = 0; i < 600; ++i) {
    std::string s = "attribute-name-" + std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'z');
    const int64_t o = intern_bytes(&p, s.data(), s.size());
    ASSERT_GE(o, 0);
    seen.emplace_back(std::move(s), o);
  }
  ASSERT_GT(p.strings.capacity, 4096u);
  for (const auto& [s, o] : seen) {
    EXPECT_EQ(intern_bytes(&p, s.data(), s.size()), o);
    EXPECT_EQ(content_at(p, o), s);
  }
  EXPECT_EQ(interned_count(p), seen.size());
  intern_pool_release(&p);
}

// ----------------------------------------------------------------- failure

// Caps the address space at what the process maps now plus `spare` bytes,
// so that larger allocations fail. Only for a forked child.
bool cap_address_space(uint64_t spare) {
  FILE* f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return false;
  unsigned long pages = 0;
  const bool read = fscanf(f, "%lu", &pages) == 1;
  fclose(f);
  if (!read) return false;
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + spare;
  const rlimit r = {limit, limit};
  return setrlimit(RLIMIT_AS, &r) == 0;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Exit status of the children below: 0 when every expectation held.
enum : int { kPassed = 0, kNoCap = 2, kWrongResult = 3, kPoolChanged = 4 };

// Interns a string too big for the capped address space; exits with kPassed
// when that fails and leaves the pool as it was.
void intern_too_big(const std::string& big) {
  intern_pool p = {};
  const int64_t a = intern_text(&p, "a");
  const uint64_t strings_used = p.strings.used;
  const uint64_t offsets_used = p.offsets.used;
  if (!cap_address_space(0)) _exit(kNoCap);
  if (intern_bytes(&p, big.data(), big.size()) != -1) _exit(kWrongResult);
  if (p.strings.used != strings_used || p.offsets.used != offsets_used) _exit(kPoolChanged);
  if (intern_text(&p, "a") != a || interned_count(p) != 1) _exit(kPoolChanged);
  _exit(kPassed);
}

// Interns a string that fits in the strings arena while its offset cannot
// be recorded; exits with kPassed when the string is dropped again.
void intern_without_room_for_the_offset() {
  intern_pool p = {};
  if (intern_text(&p, "a") != 0) _exit(kWrongResult);
  // Leave room for the next string, but let the offset table be full and
  // large, so that recording one more offset needs a big regrowth. Its
  // entries all name "a", which is what the scan compares with.
  // A fixed mmap threshold keeps the table in a mapping of its own, which
  // cannot grow in place into heap space reserved before the cap.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const uint64_t entries = uint64_t{1} << 20;
  auto* table = static_cast<char*>(calloc(entries, sizeof(uint64_t)));
  if (table == nullptr) _exit(kNoCap);
  arena_release(&p.offsets);
  p.offsets = {table, entries * sizeof(uint64_t), entries * sizeof(uint64_t)};
  const uint64_t strings_used = p.strings.used;
  if (!cap_address_space(0)) _exit(kNoCap);
  if (intern_text(&p, "b") != -1) _exit(kWrongResult);
  if (p.strings.used != strings_used) _exit(kPoolChanged);
  if (p.offsets.used != entries * sizeof(uint64_t)) _exit(kPoolChanged);
  _exit(kPassed);
}

TEST(InternBytesDeathTest, AStringThatCannotBeStoredLeavesThePool) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer's own mappings defeat an address-space cap";
  const std::string big(16 << 20, 'x');
  EXPECT_EXIT(intern_too_big(big), testing::ExitedWithCode(kPassed), "");
}

TEST(InternBytesDeathTest, AnOffsetThatCannotBeRecordedDropsTheString) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer's own mappings defeat an address-space cap";
  EXPECT_EXIT(intern_without_room_for_the_offset(), testing::ExitedWithCode(kPassed), "");
}

}  // namespace
