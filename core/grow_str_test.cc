#include "core/grow_str.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/out_buffer.h"

// The overflow tests ask realloc for sizes near 2^64; under AddressSanitizer
// that must fail with a null pointer like the system allocator, not abort.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

std::string content(const grow_str& gs) {
  return std::string(gs.bytes, gs.len);
}

// A string holding text, built with the operation under test.
grow_str make(const std::string& text) {
  grow_str gs{};
  EXPECT_EQ(grow_str_copy(&gs, text.data(), text.size()), 1);
  return gs;
}

// ---- Reserving --------------------------------------------------------------

TEST(GrowStr, ZeroInitialisedIsEmpty) {
  grow_str gs{};
  EXPECT_EQ(grow_str_starts_with(&gs, ""), 1);
  EXPECT_EQ(grow_str_starts_with(&gs, "a"), 0);
  grow_str_free(&gs);
  EXPECT_EQ(gs.bytes, nullptr);
}

TEST(GrowStr, ReserveOnAnEmptyStringAddsAnEighthAndThirty) {
  const struct {
    uint64_t n;
    uint64_t cap;
  } cases[] = {{0, 30}, {1, 31}, {7, 37}, {8, 39}, {100, 142}, {1000, 1155}, {65536, 73758}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    grow_str gs{};
    EXPECT_EQ(grow_str_reserve(&gs, c.n), 1);
    ASSERT_NE(gs.bytes, nullptr);
    EXPECT_EQ(gs.cap, c.cap);
    EXPECT_EQ(gs.len, 0u);
    memset(gs.bytes, 'x', gs.cap);  // the whole capacity is usable
    grow_str_free(&gs);
  }
}

TEST(GrowStr, ReserveWithinTheCapacityKeepsTheStorage) {
  grow_str gs = make("hello");
  ASSERT_EQ(gs.cap, 35u);
  char* before = gs.bytes;
  for (uint64_t n : {0, 5, 35}) {
    EXPECT_EQ(grow_str_reserve(&gs, n), 1);
    EXPECT_EQ(gs.bytes, before);
    EXPECT_EQ(gs.cap, 35u);
  }
  EXPECT_EQ(grow_str_reserve(&gs, 36), 1);
  EXPECT_EQ(gs.cap, 70u);
  EXPECT_EQ(content(gs), "hello");
  grow_str_free(&gs);
}

TEST(GrowStr, ReserveMoreCountsFromTheLength) {
  grow_str gs = make(std::string(100, 'a'));
  ASSERT_EQ(gs.cap, 142u);
  EXPECT_EQ(grow_str_reserve_more(&gs, 42), 1);
  EXPECT_EQ(gs.cap, 142u);
  EXPECT_EQ(grow_str_reserve_more(&gs, 43), 1);
  EXPECT_EQ(gs.cap, 143u + 17 + 30);
  EXPECT_EQ(content(gs), std::string(100, 'a'));
  grow_str_free(&gs);

  // Without storage it is a plain reserve of n.
  grow_str empty{};
  EXPECT_EQ(grow_str_reserve_more(&empty, 100), 1);
  EXPECT_EQ(empty.cap, 142u);
  grow_str_free(&empty);
}

// Sizes whose growth overflows: each must fail and leave the string alone.
TEST(GrowStr, SizesThatCannotBeHadLeaveTheStringUnchanged) {
  // Sizes whose growth, computed without the overflow check, would wrap
  // around to a few bytes that realloc gladly provides.
  // n + n/8 stays below 2^64 but adding 30 wraps to 24:
  const uint64_t plus_thirty_overflows = 16397105843297379209u;
  // n + n/8 is 2^64 + 2, so the sum wraps to 32:
  const uint64_t eighth_overflows = 16397105843297379216u;
  uint64_t sum;
  ASSERT_FALSE(__builtin_add_overflow(plus_thirty_overflows, plus_thirty_overflows / 8, &sum));
  ASSERT_TRUE(__builtin_add_overflow(sum, uint64_t{30}, &sum));
  ASSERT_EQ(sum, 24u);
  ASSERT_TRUE(__builtin_add_overflow(eighth_overflows, eighth_overflows / 8, &sum));
  ASSERT_EQ(sum + 30, 32u);

  const uint64_t sizes[] = {UINT64_MAX, UINT64_MAX - 10, UINT64_MAX / 8 * 7 + 1000,
                            plus_thirty_overflows, eighth_overflows};
  for (uint64_t n : sizes) {
    SCOPED_TRACE(n);
    grow_str gs = make("keep");
    char* bytes = gs.bytes;
    uint64_t cap = gs.cap;
    EXPECT_EQ(grow_str_reserve(&gs, n), 0);
    EXPECT_EQ(gs.bytes, bytes);
    EXPECT_EQ(gs.cap, cap);
    EXPECT_EQ(grow_str_reserve_more(&gs, n), 0);
    EXPECT_EQ(grow_str_append(&gs, "x", n), 0);
    EXPECT_EQ(grow_str_copy(&gs, "x", n), 0);
    EXPECT_EQ(content(gs), "keep");
    EXPECT_EQ(gs.cap, cap);
    grow_str_free(&gs);

    grow_str empty{};
    EXPECT_EQ(grow_str_reserve(&empty, n), 0);
    EXPECT_EQ(empty.bytes, nullptr);
    EXPECT_EQ(empty.cap, 0u);
  }
}

TEST(GrowStr, ReserveMoreFailsWhenLengthPlusCountOverflows) {
  grow_str gs = make("0123456789");
  uint64_t cap = gs.cap;
  EXPECT_EQ(grow_str_reserve_more(&gs, UINT64_MAX - 9), 0);
  EXPECT_EQ(grow_str_append(&gs, "x", UINT64_MAX - 5), 0);
  char c = 'x';
  gs.len = UINT64_MAX;  // pretend: no room for one more byte can exist
  EXPECT_EQ(grow_str_append_byte(&gs, &c), 0);
  EXPECT_EQ(gs.len, UINT64_MAX);
  gs.len = 10;
  EXPECT_EQ(gs.cap, cap);
  EXPECT_EQ(content(gs), "0123456789");
  grow_str_free(&gs);
}

// ---- Appending and copying --------------------------------------------------

TEST(GrowStr, AppendsAccumulateAcrossGrowth) {
  grow_str gs{};
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(grow_str_append_byte(&gs, &c), 1);
    expected.push_back(c);
    if (i % 7 == 0) {
      ASSERT_EQ(grow_str_append(&gs, "<>", 2), 1);
      expected += "<>";
    }
    ASSERT_LE(gs.len, gs.cap);
  }
  EXPECT_EQ(content(gs), expected);
  grow_str_free(&gs);
}

TEST(GrowStr, AppendKeepsEmbeddedZeroBytes) {
  grow_str gs{};
  ASSERT_EQ(grow_str_append(&gs, "a\0b", 3), 1);
  ASSERT_EQ(grow_str_append(&gs, "", 0), 1);
  ASSERT_EQ(grow_str_append(&gs, nullptr, 0), 1);
  char zero = '\0';
  ASSERT_EQ(grow_str_append_byte(&gs, &zero), 1);
  EXPECT_EQ(content(gs), std::string("a\0b\0", 4));
  grow_str_free(&gs);
}

TEST(GrowStr, CopyReplacesTheContent) {
  const struct {
    const char* name;
    std::string before;
    std::string copied;
  } cases[] = {
      {"into empty", "", "uid=admin"},
      {"shorter", "a much longer value than the next", "short"},
      {"longer than the capacity", "x", std::string(300, 'y')},
      {"empty", "something", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    grow_str gs{};
    if (!c.before.empty()) {
      ASSERT_EQ(grow_str_append(&gs, c.before.data(), c.before.size()), 1);
    }
    EXPECT_EQ(grow_str_copy(&gs, c.copied.data(), c.copied.size()), 1);
    EXPECT_EQ(content(gs), c.copied);
    EXPECT_GE(gs.cap, c.copied.size());
    grow_str_free(&gs);
  }
}

TEST(GrowStr, CopyTextTakesTheBytesBeforeTheNul) {
  grow_str gs = make("old content");
  EXPECT_EQ(grow_str_copy_text(&gs, "cn=Foo"), 1);
  EXPECT_EQ(content(gs), "cn=Foo");
  EXPECT_EQ(grow_str_copy_text(&gs, ""), 1);
  EXPECT_EQ(gs.len, 0u);
  grow_str_free(&gs);
}

TEST(GrowStr, StartsWith) {
  const struct {
    std::string content;
    const char* text;
    int result;
  } cases[] = {
      {"hello", "", 1},         {"hello", "h", 1},        {"hello", "hello", 1},
      {"hello", "hello!", 0},   {"hello", "help", 0},     {"hello", "Hello", 0},
      {"", "", 1},              {"", "x", 0},             {std::string("ab\0cd", 5), "ab", 1},
      {"{MD5}abc", "{MD5}", 1}, {"{md5}abc", "{MD5}", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    grow_str gs = make(c.content);
    EXPECT_EQ(grow_str_starts_with(&gs, c.text), c.result);
    grow_str_free(&gs);
  }
}

TEST(GrowStr, FreeLeavesAReusableEmptyString) {
  grow_str gs = make("abc");
  grow_str_free(&gs);
  EXPECT_EQ(gs.bytes, nullptr);
  EXPECT_EQ(gs.len, 0u);
  EXPECT_EQ(gs.cap, 0u);
  grow_str_free(&gs);  // a second free is harmless
  EXPECT_EQ(grow_str_append(&gs, "xyz", 3), 1);
  EXPECT_EQ(content(gs), "xyz");
  grow_str_free(&gs);
}

// ---- Reading from a buffer --------------------------------------------------

struct PipeInput {
  int fds[2] = {-1, -1};
  char storage[4];  // small, so that reads cross refills
  out_buffer b;
  explicit PipeInput(const std::string& data) {
    if (pipe(fds) == 0) {
      EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
      close(fds[1]);
      fds[1] = -1;
    }
    buf_init(&b, sys_read, fds[0], storage, sizeof storage);
  }
  ~PipeInput() {
    if (fds[0] >= 0) close(fds[0]);
  }
};

TEST(GrowStrRead, ReadLineKeepsTheNewlineAndStartsAfresh) {
  PipeInput in("dn: cn=a\n\nobjectClass: top\nlast");
  grow_str gs{};
  const struct {
    int result;
    std::string line;
  } expected[] = {{1, "dn: cn=a\n"}, {1, "\n"}, {1, "objectClass: top\n"}, {0, "last"}, {0, ""}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.line);
    EXPECT_EQ(grow_str_read_line(&in.b, &gs), e.result);
    EXPECT_EQ(content(gs), e.line);
  }
  grow_str_free(&gs);
}

TEST(GrowStrRead, ReadUntilAppendsUpToAnyDelimiter) {
  PipeInput in("a,b;c");
  grow_str gs = make(">");
  EXPECT_EQ(grow_str_read_until(&in.b, &gs, ",;", 2), 1);
  EXPECT_EQ(content(gs), ">a,");
  EXPECT_EQ(grow_str_read_until(&in.b, &gs, ",;", 2), 1);
  EXPECT_EQ(content(gs), ">a,b;");
  EXPECT_EQ(grow_str_read_until(&in.b, &gs, ",;", 2), 0);
  EXPECT_EQ(content(gs), ">a,b;c");
  grow_str_free(&gs);
}

TEST(GrowStrRead, ReadUntilWithoutDelimitersReadsEverything) {
  std::string data(1000, 'z');
  data[500] = '\n';
  PipeInput in(data);
  grow_str gs{};
  EXPECT_EQ(grow_str_read_until(&in.b, &gs, "", 0), 0);
  EXPECT_EQ(content(gs), data);
  grow_str_free(&gs);
}

// Hands out "ab", then fails.
int64_t ab_then_eio(int, char* bytes, uint64_t count, out_buffer*) {
  static int calls = 0;
  if (calls++ % 2 == 0 && count >= 2) {
    memcpy(bytes, "ab", 2);
    return 2;
  }
  errno = EIO;
  return -1;
}

TEST(GrowStrRead, ReadFailureIsMinusOneAndKeepsWhatWasRead) {
  char storage[8];
  out_buffer b;
  buf_init(&b, ab_then_eio, 0, storage, sizeof storage);
  grow_str gs = make(">");
  EXPECT_EQ(grow_str_read_until(&b, &gs, "\n", 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(content(gs), ">ab");
  grow_str_free(&gs);
}

TEST(GrowStrRead, ReadLineFromAnUnreadableDescriptorFails) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  char storage[4];
  out_buffer b;
  buf_init(&b, sys_read, fds[1], storage, sizeof storage);  // the write end
  grow_str gs = make("old line\n");
  EXPECT_EQ(grow_str_read_line(&b, &gs), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(gs.len, 0u);  // emptied before reading
  close(fds[0]);
  close(fds[1]);
  grow_str_free(&gs);
}

TEST(GrowStrRead, NoRoomForAByteIsENOMEMAndReadsNothing) {
  PipeInput in("abc\n");
  grow_str gs = make("x");
  uint64_t real_len = gs.len;
  gs.len = UINT64_MAX;  // pretend: one more byte can never be reserved
  errno = 0;
  EXPECT_EQ(grow_str_read_until(&in.b, &gs, "\n", 1), -1);
  EXPECT_EQ(errno, ENOMEM);
  gs.len = real_len;
  // The input was not touched.
  EXPECT_EQ(grow_str_read_line(&in.b, &gs), 1);
  EXPECT_EQ(content(gs), "abc\n");
  grow_str_free(&gs);
}

}  // namespace
