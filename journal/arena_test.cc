#include "journal/arena.h"

#include <malloc.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"

// Failing allocations are part of what is tested; under AddressSanitizer an
// impossible request must come back as null instead of ending the program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

using namespace std::string_literals;

namespace {

std::string contents(const arena& a) { return std::string(a.base, a.used); }

// The long stored_str form of the bytes, built independently of the writer.
std::string long_form(std::string_view bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  std::string s(1, '\0');
  for (int shift = 0; shift < 32; shift += 8) s.push_back(static_cast<char>((n >> shift) & 0xff));
  s.append(bytes);
  return s;
}

// ------------------------------------------------------------------ growth

TEST(ArenaAppend, GrowthFollowsTheGrainAndSpareRules) {
  struct Step {
    uint64_t n;
    uint64_t offset;    // expected result
    uint64_t capacity;  // expected capacity afterwards
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"small first append takes one grain", {{10, 0, 4096}}},
      {"first append just under a grain", {{4095, 0, 4096}}},
      {"first append of exactly a grain takes two", {{4096, 0, 8192}}},
      {"first append above a grain", {{5000, 0, 8192}}},
      {"regrowth adds the spare", {{4000, 0, 4096}, {200, 4000, 24576}}},
      {"an append that fits exactly does not grow", {{4096, 0, 8192}, {4096, 4096, 8192}}},
      {"regrowth rounds used + n up", {{4096, 0, 8192}, {4097, 4096, 28672}}},
      {"zero bytes on an empty arena allocate nothing", {{0, 0, 0}, {1, 0, 4096}}},
      {"zero bytes after content", {{7, 0, 4096}, {0, 7, 4096}, {3, 7, 4096}}},
  };
  for (const Case& c : cases) {
    arena a = {};
    std::string want;
    for (const Step& s : c.steps) {
      const std::string bytes(s.n, static_cast<char>('a' + want.size() % 26));
      EXPECT_EQ(arena_append(&a, bytes.data(), s.n), static_cast<int64_t>(s.offset)) << c.what;
      EXPECT_EQ(a.capacity, s.capacity) << c.what;
      want += bytes;
      EXPECT_EQ(a.used, want.size()) << c.what;
    }
    if (a.base != nullptr) {
      EXPECT_EQ(contents(a), want) << c.what;
    }
    arena_release(&a);
  }
}

TEST(ArenaAppend, OffsetsStayValidAcrossReallocations) {
  arena a = {};
  std::vector<std::pair<int64_t, std::string>> pieces;
  int reallocations = 0;
  uint64_t capacity = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string piece = "piece-" + std::to_string(i) + std::string(static_cast<size_t>(i % 97), 'x');
    const int64_t at = arena_append(&a, piece.data(), piece.size());
    ASSERT_GE(at, 0);
    if (a.capacity != capacity) ++reallocations;
    capacity = a.capacity;
    pieces.emplace_back(at, std::move(piece));
  }
  EXPECT_GT(reallocations, 3);  // the block really moved around
  for (const auto& [at, piece] : pieces) {
    EXPECT_EQ(std::string_view(a.base + at, piece.size()), piece);
  }
  arena_release(&a);
}

// ------------------------------------------------------- clear and release

TEST(ArenaLifecycle, ClearKeepsTheBlockReleaseFreesIt) {
  arena a;
  arena_init(&a);
  EXPECT_EQ(a.base, nullptr);
  EXPECT_EQ(a.capacity, 0u);
  EXPECT_EQ(a.used, 0u);

  ASSERT_EQ(arena_append(&a, "hello", 5), 0);
  const char* block = a.base;
  arena_clear(&a);
  EXPECT_EQ(a.used, 0u);
  EXPECT_EQ(a.base, block);
  EXPECT_EQ(a.capacity, 4096u);
  // Reuse starts at offset 0 in the same block.
  EXPECT_EQ(arena_append(&a, "xy", 2), 0);
  EXPECT_EQ(a.base, block);
  EXPECT_EQ(contents(a), "xy");

  arena_release(&a);
  EXPECT_EQ(a.base, nullptr);
  EXPECT_EQ(a.capacity, 0u);
  EXPECT_EQ(a.used, 0u);
  arena_release(&a);  // releasing an empty arena is harmless
  EXPECT_EQ(arena_append(&a, "z", 1), 0);
  EXPECT_EQ(a.capacity, 4096u);
  arena_release(&a);
}

// ----------------------------------------------------------------- failure

TEST(ArenaAppend, FailureLeavesTheArenaAsItWas) {
  const uint64_t sizes[] = {
      uint64_t{1} << 62,       // an allocation no system grants
      UINT64_MAX / 2,          // the largest size a signed offset allows
      UINT64_MAX - 10,         // used + n overflows
      UINT64_MAX,
  };
  for (const bool with_content : {false, true}) {
    for (const uint64_t n : sizes) {
      arena a = {};
      if (with_content) {
        ASSERT_EQ(arena_append(&a, "keep", 4), 0);
      }
      const arena before = a;
      // The size is refused before any byte is read, so a short source will do.
      EXPECT_EQ(arena_append(&a, "x", n), -1) << n;
      EXPECT_EQ(a.base, before.base);
      EXPECT_EQ(a.capacity, before.capacity);
      EXPECT_EQ(a.used, before.used);
      if (with_content) {
        EXPECT_EQ(contents(a), "keep");
      }
      arena_release(&a);
    }
  }
}

// ------------------------------------------------------- stored_str writers

struct StoreCase {
  std::string input;
  std::string want;  // the bytes written
};

TEST(StoreStoredStr, ChoosesTheFormAndTheTerminator) {
  const std::string with_zero_300 = std::string(150, 'p') + '\0' + std::string(149, 'q');
  const StoreCase cases[] = {
      {"abc", "abc\0"s},
      {"abc\0"s, "abc\0"s},  // a text passed with its terminator keeps one
      {"", long_form("")},
      {"a\0b"s, long_form("a\0b"s)},
      {"\0"s, long_form("\0"s)},
      {"a\0"s, "a\0"s},
      {"\0a"s, long_form("\0a"s)},
      {"ab\0\0"s, long_form("ab\0\0"s)},  // a 0 before the last byte: all content
      {with_zero_300, long_form(with_zero_300)},
  };
  for (const StoreCase& c : cases) {
    arena a = {};
    ASSERT_EQ(arena_append(&a, "xyz", 3), 0);  // the result is the offset, not 0
    EXPECT_EQ(store_stored_str(&a, c.input.data(), c.input.size()), 3);
    EXPECT_EQ(contents(a).substr(3), c.want) << "input size " << c.input.size();
    arena_release(&a);
  }
}

TEST(StoreStoredStr, LongFormLengthIsLittleEndian) {
  const std::string bytes = std::string(300, 'm') + '\0' + "tail";  // 305 = 0x131
  arena a = {};
  ASSERT_EQ(store_stored_str(&a, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(contents(a).substr(0, 5), "\0\x31\x01\0\0"s);
  arena_release(&a);
}

TEST(StoreStoredExact, ContentIsExactlyTheBytes) {
  const std::string with_zero_300 = std::string(299, 'p') + '\0';
  const StoreCase cases[] = {
      {"abc", "abc\0"s},
      {"abc\0"s, long_form("abc\0"s)},  // the trailing 0 is content here
      {"", long_form("")},
      {"a\0b"s, long_form("a\0b"s)},
      {"\0"s, long_form("\0"s)},
      {with_zero_300, long_form(with_zero_300)},
      {std::string(5000, 'w'), std::string(5000, 'w') + '\0'},
  };
  for (const StoreCase& c : cases) {
    arena a = {};
    ASSERT_EQ(arena_append(&a, "xyz", 3), 0);
    const int64_t at = store_stored_exact(&a, c.input.data(), c.input.size());
    ASSERT_EQ(at, 3);
    EXPECT_EQ(contents(a).substr(3), c.want) << "input size " << c.input.size();
    // Read back through the accessors every reader uses.
    const char* p = a.base + at;
    EXPECT_EQ(std::string(stored_str_data(p), stored_str_len(p)), c.input);
    arena_release(&a);
  }
}

// ------------------------------------------- writers that fail half-way

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Caps the address space at what the process maps now, so that any growth
// of a mapping fails. Only for a forked child.
bool cap_address_space() {
  FILE* f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return false;
  unsigned long pages = 0;
  const bool read = fscanf(f, "%lu", &pages) == 1;
  fclose(f);
  if (!read) return false;
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  const rlimit r = {limit, limit};
  return setrlimit(RLIMIT_AS, &r) == 0;
}

// Exit status of the child below: 0 when every expectation held.
enum : int { kPassed = 0, kSetupFailed = 2, kStored = 3, kArenaChanged = 4 };

// Each writer gets an arena in which its first append fits and a later one
// needs a regrowth that the capped address space refuses; the arena must
// come back with the bytes it had. Blocks are kept in mappings of their
// own, which cannot grow in place.
void store_with_a_failing_second_append() {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const uint64_t block = 1 << 20;
  // Long form: the header fits, the content does not.
  arena long_arena = {};
  const std::string content = "\0"s + std::string(4 << 20, 'c');
  if (arena_append(&long_arena, "k", 1) != 0) _exit(kSetupFailed);
  // Short form: the bytes fill the block exactly, the terminator does not fit.
  arena short_arena = {};
  const std::string filler(block, 'f');
  if (arena_append(&short_arena, filler.data(), filler.size()) != 0) _exit(kSetupFailed);
  const std::string text(short_arena.capacity - short_arena.used, 't');

  if (!cap_address_space()) _exit(kSetupFailed);
  if (store_stored_str(&long_arena, content.data(), content.size()) != -1) _exit(kStored);
  if (long_arena.used != 1) _exit(kArenaChanged);
  if (store_stored_exact(&short_arena, text.data(), text.size()) != -1) _exit(kStored);
  if (short_arena.used != block) _exit(kArenaChanged);
  if (store_stored_str(&short_arena, text.data(), text.size()) != -1) _exit(kStored);
  if (short_arena.used != block) _exit(kArenaChanged);
  _exit(kPassed);
}

TEST(StoreStoredStrDeathTest, AFailedWriteLeavesNoBytesBehind) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer's own mappings defeat an address-space cap";
  EXPECT_EXIT(store_with_a_failing_second_append(), testing::ExitedWithCode(kPassed), "");
}

}  // namespace
