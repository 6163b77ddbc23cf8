#include "core/out_buffer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// ---- writev seam ------------------------------------------------------------
//
// buf_put and buf_put_flush call writev(2) only when the buffer writes through
// sys_write, so their vectored path can only be watched at the system call.
// This definition takes the place of the C library's writev in this test
// program: it counts the calls and, when told to, fails or writes fewer bytes
// than offered; otherwise it performs the real system call.

namespace {

struct WritevSpy {
  bool active = false;
  std::vector<int> piece_counts;     // iovcnt of each call
  std::vector<uint64_t> offered;     // total bytes offered by each call
  // Outcome of the next calls: a value >= 0 writes at most that many bytes,
  // a negative value fails with errno = -value. Empty: write everything.
  std::deque<int64_t> script;
};

WritevSpy spy;

}  // namespace

extern "C" ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  if (spy.active) {
    uint64_t total = 0;
    for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
    spy.piece_counts.push_back(iovcnt);
    spy.offered.push_back(total);
    if (!spy.script.empty()) {
      int64_t step = spy.script.front();
      spy.script.pop_front();
      if (step < 0) {
        errno = static_cast<int>(-step);
        return -1;
      }
      std::vector<iovec> cut;
      uint64_t left = static_cast<uint64_t>(step);
      for (int i = 0; i < iovcnt && left > 0; ++i) {
        iovec piece = iov[i];
        piece.iov_len = std::min<uint64_t>(piece.iov_len, left);
        left -= piece.iov_len;
        cut.push_back(piece);
      }
      if (cut.empty()) return 0;
      return syscall(SYS_writev, fd, cut.data(), static_cast<int>(cut.size()));
    }
  }
  return syscall(SYS_writev, fd, iov, iovcnt);
}

namespace {

// ---- Helpers ----------------------------------------------------------------

struct Pipe {
  int r = -1;
  int w = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (r >= 0) close(r);
    r = -1;
  }
  void close_write() {
    if (w >= 0) close(w);
    w = -1;
  }
};

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int unread_in(int fd) {
  int n = -1;
  ioctl(fd, FIONREAD, &n);
  return n;
}

// Everything that can be read from fd right now.
std::string drain(int fd) {
  set_nonblocking(fd);
  std::string got;
  char chunk[4096];
  for (;;) {
    ssize_t r = read(fd, chunk, sizeof chunk);
    if (r <= 0) break;
    got.append(chunk, static_cast<size_t>(r));
  }
  return got;
}

// Bytes that differ from their neighbours, so that a lost, repeated or
// reordered stretch shows up in a comparison.
std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('!' + (seed + i * 7) % 90);
  return s;
}

// An output buffer over its own storage, which starts filled with a marker
// byte so that copies into it can be seen.
struct TestBuffer {
  std::vector<char> storage;
  out_buffer b;
  TestBuffer(uint64_t capacity, io_op_fn op, int fd) : storage(capacity, '#') {
    b = out_buffer{storage.data(), 0, 0, capacity, op, fd};
  }
  // Puts bytes in the buffer directly, without going through buf_put.
  void preload(const std::string& s) {
    memcpy(storage.data(), s.data(), s.size());
    b.pos = s.size();
  }
  std::string buffered() const { return std::string(storage.data(), b.pos); }
};

// An io_op that records what it is offered and follows a script.
struct OpStep {
  int64_t accept;  // >= 0: take at most this many bytes; < 0: fail
  int error;       // errno of a failure
};

struct OpRecorder {
  std::vector<std::string> calls;
  std::deque<OpStep> script;  // empty: take everything
  std::string accepted;
};

OpRecorder recorder;

int64_t recording_op(int, char* bytes, uint64_t count, out_buffer*) {
  recorder.calls.emplace_back(bytes, count);
  uint64_t take = count;
  if (!recorder.script.empty()) {
    OpStep step = recorder.script.front();
    recorder.script.pop_front();
    if (step.accept < 0) {
      errno = step.error;
      return -1;
    }
    take = std::min<uint64_t>(count, static_cast<uint64_t>(step.accept));
  }
  recorder.accepted.append(bytes, take);
  return static_cast<int64_t>(take);
}

// An input io_op that hands out scripted chunks; a step with an error fails,
// and the end of the script is the end of input.
struct ReadStep {
  std::string data;
  int error;
};

std::deque<ReadStep> reads;
int read_calls = 0;

int64_t scripted_read(int, char* bytes, uint64_t count, out_buffer*) {
  ++read_calls;
  if (reads.empty()) return 0;
  ReadStep& step = reads.front();
  if (step.error != 0) {
    errno = step.error;
    reads.pop_front();
    return -1;
  }
  uint64_t take = std::min<uint64_t>(count, step.data.size());
  memcpy(bytes, step.data.data(), take);
  if (take < step.data.size()) {
    step.data.erase(0, take);
  } else {
    reads.pop_front();
  }
  return static_cast<int64_t>(take);
}

// Restores std_out after a test has pointed it at a pipe.
struct StdOutGuard {
  out_buffer saved = std_out;
  ~StdOutGuard() { std_out = saved; }
};

class OutBufferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
  void SetUp() override {
    spy = WritevSpy{};
    recorder = OpRecorder{};
    reads.clear();
    read_calls = 0;
  }
  void TearDown() override { spy.active = false; }
};

// ---- Standard buffers -------------------------------------------------------

TEST_F(OutBufferTest, StandardBuffersAreSetUpForTheirDescriptors) {
  struct Case {
    const out_buffer* b;
    int fd;
    io_op_fn op;
  } cases[] = {{&std_in, 0, std_in_read}, {&std_out, 1, sys_write}, {&std_err, 2, sys_write}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fd);
    EXPECT_EQ(c.b->fd, c.fd);
    EXPECT_TRUE(c.b->io_op == c.op);
    EXPECT_EQ(c.b->capacity, 8192u);
    EXPECT_EQ(c.b->pos, 0u);
    EXPECT_EQ(c.b->end, 0u);
    ASSERT_NE(c.b->storage, nullptr);
  }
  EXPECT_NE(std_in.storage, std_out.storage);
  EXPECT_NE(std_out.storage, std_err.storage);
}

// ---- Transfer loops ---------------------------------------------------------

TEST_F(OutBufferTest, WriteAllFollowsTheIoOpUntilEverythingIsAccepted) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<OpStep> script;
    int result;
    size_t calls;
    std::string accepted;
  } cases[] = {
      {"count 0 makes no call", "", {}, 0, 0, ""},
      {"one call takes all", "abcdefghij", {}, 0, 1, "abcdefghij"},
      {"partial writes continue", "abcdefghij", {{3, 0}, {3, 0}, {3, 0}}, 0, 4, "abcdefghij"},
      {"EINTR is retried", "abcdefghij", {{-1, EINTR}, {-1, EINTR}}, 0, 3, "abcdefghij"},
      {"EAGAIN is a failure", "abcdefghij", {{-1, EAGAIN}}, -1, 1, ""},
      {"failure after progress", "abcdefghij", {{4, 0}, {-1, EIO}}, -1, 2, "abcd"},
      {"no progress is a failure", "abcdefghij", {{0, 0}}, -1, 1, ""},
      {"no progress after EINTR is a failure", "abcdefghij", {{-1, EINTR}, {0, 0}}, -1, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder = OpRecorder{};
    recorder.script.assign(c.script.begin(), c.script.end());
    errno = EBADF;
    EXPECT_EQ(write_all(recording_op, 7, c.input.data(), c.input.size(), nullptr), c.result);
    EXPECT_EQ(recorder.calls.size(), c.calls);
    EXPECT_EQ(recorder.accepted, c.accepted);
    if (c.input.empty()) {
      EXPECT_EQ(errno, 0);
    }
  }
}

TEST_F(OutBufferTest, WriteAllOffersOnlyTheBytesNotYetAccepted) {
  recorder.script = {{4, 0}, {4, 0}};
  ASSERT_EQ(write_all(recording_op, 7, "abcdefghij", 10, nullptr), 0);
  ASSERT_EQ(recorder.calls.size(), 3u);
  EXPECT_EQ(recorder.calls[0], "abcdefghij");
  EXPECT_EQ(recorder.calls[1], "efghij");
  EXPECT_EQ(recorder.calls[2], "ij");
}

TEST_F(OutBufferTest, ReadRetryRepeatsOnlyInterruptedCalls) {
  struct Case {
    const char* name;
    std::vector<ReadStep> script;
    int64_t result;
    int calls;
  } cases[] = {
      {"data", {{"hello", 0}}, 5, 1},
      {"interrupted twice", {{"", EINTR}, {"", EINTR}, {"hello", 0}}, 5, 3},
      {"end of input", {}, 0, 1},
      {"failure", {{"", EIO}, {"hello", 0}}, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reads.assign(c.script.begin(), c.script.end());
    read_calls = 0;
    char storage[16];
    EXPECT_EQ(read_retry(scripted_read, 0, storage, sizeof storage, nullptr), c.result);
    EXPECT_EQ(read_calls, c.calls);
  }
}

// ---- buf_flush --------------------------------------------------------------

TEST_F(OutBufferTest, FlushOfAnEmptyBufferMakesNoCall) {
  TestBuffer t(16, recording_op, 7);
  EXPECT_EQ(buf_flush(&t.b), 0);
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(OutBufferTest, FlushWritesTheBufferedBytesOnce) {
  TestBuffer t(16, recording_op, 7);
  t.preload("hello");
  EXPECT_EQ(buf_flush(&t.b), 0);
  EXPECT_EQ(t.b.pos, 0u);
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_EQ(recorder.calls[0], "hello");
}

TEST_F(OutBufferTest, FailedFlushDropsTheBufferedBytes) {
  TestBuffer t(16, recording_op, 7);
  t.preload("hello");
  recorder.script = {{-1, EIO}};
  EXPECT_EQ(buf_flush(&t.b), -1);
  EXPECT_EQ(t.b.pos, 0u);
  // Nothing is left to be retried by a later flush.
  EXPECT_EQ(buf_flush(&t.b), 0);
  EXPECT_EQ(recorder.calls.size(), 1u);
}

TEST_F(OutBufferTest, FailedFlushOnAClosedPipeLeavesTheBufferEmpty) {
  Pipe p;
  p.close_read();
  TestBuffer t(16, sys_write, p.w);
  t.preload("hello");
  EXPECT_EQ(buf_flush(&t.b), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(t.b.pos, 0u);
}

// ---- buf_put through another io_op (no vectored write) -----------------------

TEST_F(OutBufferTest, PutThroughAnotherIoOpFlushesThenCopiesOrWritesDirectly) {
  struct Case {
    const char* name;
    size_t buffered;
    size_t piece;
    std::vector<size_t> call_sizes;  // sizes of the io_op calls, in order
    size_t pos_after;
  } cases[] = {
      {"fits exactly", 10, 6, {}, 16},
      {"one byte more", 10, 7, {10}, 7},
      {"a full buffer's worth", 10, 16, {10}, 16},
      {"more than the capacity", 10, 17, {10, 17}, 0},
      {"empty buffer, fits", 0, 16, {}, 16},
      {"empty buffer, too large", 0, 17, {17}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder = OpRecorder{};
    TestBuffer t(16, recording_op, 7);
    std::string old_bytes = pattern(c.buffered, 1);
    std::string piece = pattern(c.piece, 50);
    t.preload(old_bytes);
    EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), 0);
    ASSERT_EQ(recorder.calls.size(), c.call_sizes.size());
    for (size_t i = 0; i < c.call_sizes.size(); ++i) EXPECT_EQ(recorder.calls[i].size(), c.call_sizes[i]);
    EXPECT_EQ(t.b.pos, c.pos_after);
    // Nothing lost, nothing repeated, order kept.
    EXPECT_EQ(recorder.accepted + t.buffered(), old_bytes + piece);
  }
}

TEST_F(OutBufferTest, PutWhoseFlushFailsDoesNotTakeTheNewBytes) {
  TestBuffer t(16, recording_op, 7);
  t.preload("0123456789");
  recorder.script = {{-1, EIO}};
  EXPECT_EQ(buf_put(&t.b, "abcdefghij", 10), -1);
  EXPECT_EQ(t.b.pos, 0u);
  EXPECT_EQ(recorder.calls.size(), 1u);
}

TEST_F(OutBufferTest, PutOfALargePieceReportsItsWriteFailure) {
  TestBuffer t(16, recording_op, 7);
  t.preload("0123456789");
  recorder.script = {{10, 0}, {-1, EIO}};
  std::string piece = pattern(20, 3);
  EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), -1);
  EXPECT_EQ(t.b.pos, 0u);
}

// ---- buf_put through the system write ---------------------------------------

TEST_F(OutBufferTest, PutOfExactlyTheRoomLeftOnlyCopies) {
  Pipe p;
  TestBuffer t(64, sys_write, p.w);
  t.preload(pattern(40, 1));
  spy.active = true;
  std::string piece = pattern(24, 2);
  EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), 0);
  EXPECT_EQ(t.b.pos, 64u);
  EXPECT_TRUE(spy.piece_counts.empty());
  EXPECT_EQ(unread_in(p.r), 0);
  EXPECT_EQ(t.buffered(), pattern(40, 1) + piece);
}

TEST_F(OutBufferTest, PutOfOneByteMoreWritesBothInOneVectoredWrite) {
  Pipe p;
  TestBuffer t(64, sys_write, p.w);
  t.preload(pattern(40, 1));
  spy.active = true;
  std::string piece = pattern(25, 2);
  EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), 0);
  EXPECT_EQ(t.b.pos, 0u);
  ASSERT_EQ(spy.piece_counts.size(), 1u);
  EXPECT_EQ(spy.piece_counts[0], 2);
  EXPECT_EQ(spy.offered[0], 65u);
  EXPECT_EQ(drain(p.r), pattern(40, 1) + piece);
}

TEST_F(OutBufferTest, PutOfALargePieceIntoEmptyStdOutWritesItWithoutCopying) {
  StdOutGuard guard;
  Pipe p;
  std_out.fd = p.w;
  std_out.pos = 0;
  memset(std_out.storage, '#', std_out.capacity);
  spy.active = true;
  std::string piece = pattern(10000, 4);
  EXPECT_EQ(buf_put(&std_out, piece.data(), piece.size()), 0);
  EXPECT_EQ(std_out.pos, 0u);
  EXPECT_EQ(spy.piece_counts.size(), 1u);
  EXPECT_EQ(drain(p.r), piece);
  // The storage was never used.
  EXPECT_EQ(std::count(std_out.storage, std_out.storage + std_out.capacity, '#'), 8192);
}

TEST_F(OutBufferTest, PutWhoseVectoredWriteFailsLeavesTheBufferAsItWas) {
  struct Case {
    const char* name;
    bool close_reader;
    int64_t scripted;  // spy step, or 0 for none
    int error;
  } cases[] = {
      {"closed pipe", true, 0, EPIPE},
      {"interrupted, not retried", false, -EINTR, EINTR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    if (c.close_reader) p.close_read();
    TestBuffer t(64, sys_write, p.w);
    t.preload(pattern(40, 1));
    spy = WritevSpy{};
    spy.active = true;
    if (c.scripted != 0) spy.script = {c.scripted};
    std::string piece = pattern(30, 2);
    EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(spy.piece_counts.size(), 1u);
    EXPECT_EQ(t.buffered(), pattern(40, 1));
    if (!c.close_reader) {
      EXPECT_EQ(unread_in(p.r), 0);
    }
  }
}

TEST_F(OutBufferTest, PutAfterAPartialVectoredWriteLosesAndRepeatsNothing) {
  struct Case {
    const char* name;
    size_t buffered;
    size_t piece;
    int64_t written;  // what the vectored write takes
    size_t pos_after;
  } cases[] = {
      {"all buffered and some new bytes out, rest copied", 40, 30, 43, 27},
      {"exactly the buffered bytes out, rest copied", 40, 30, 40, 30},
      {"buffered bytes out, rest too large to copy", 40, 100, 45, 0},
      {"part of the buffered bytes out, piece copied", 40, 30, 12, 30},
      {"nothing out, piece copied", 40, 30, 0, 30},
      {"part of the buffered bytes out, piece too large", 40, 100, 12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    TestBuffer t(64, sys_write, p.w);
    std::string old_bytes = pattern(c.buffered, 1);
    std::string piece = pattern(c.piece, 60);
    t.preload(old_bytes);
    spy = WritevSpy{};
    spy.active = true;
    spy.script = {c.written};
    EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), 0);
    EXPECT_EQ(spy.piece_counts.size(), 1u);  // the rest goes out with write(2)
    EXPECT_EQ(t.b.pos, c.pos_after);
    EXPECT_EQ(drain(p.r) + t.buffered(), old_bytes + piece);
  }
}

// A pipe of two pages with one page already taken accepts exactly one more
// page from a non-blocking write; the kernel fills whole pages.
bool make_pipe_with_one_free_page(const Pipe& p) {
  long page = sysconf(_SC_PAGESIZE);
  if (fcntl(p.w, F_SETPIPE_SZ, 2 * page) != 2 * page) return false;
  set_nonblocking(p.w);
  std::string fill(static_cast<size_t>(page), 'f');
  return write(p.w, fill.data(), fill.size()) == page;
}

TEST_F(OutBufferTest, PutIntoANearlyFullPipeKeepsTheUnwrittenTail) {
  Pipe p;
  if (!make_pipe_with_one_free_page(p)) GTEST_SKIP() << "pipe size cannot be set";
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  TestBuffer t(2 * page, sys_write, p.w);
  std::string old_bytes = pattern(100, 1);
  std::string piece = pattern(2 * page - 50, 2);  // does not fit behind old_bytes
  t.preload(old_bytes);
  EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), 0);
  // One page went out; the rest of the piece is small enough to keep.
  EXPECT_EQ(t.b.pos, 100 + piece.size() - page);
  std::string out = drain(p.r);
  ASSERT_EQ(out.size(), 2 * page);
  EXPECT_EQ(out.substr(page) + t.buffered(), old_bytes + piece);
}

TEST_F(OutBufferTest, PutIntoANearlyFullPipeFailsWhenTheBufferedRestCannotGo) {
  Pipe p;
  if (!make_pipe_with_one_free_page(p)) GTEST_SKIP() << "pipe size cannot be set";
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  TestBuffer t(2 * page, sys_write, p.w);
  std::string old_bytes = pattern(page + 100, 1);  // more than the pipe takes
  std::string piece = pattern(page, 2);
  t.preload(old_bytes);
  EXPECT_EQ(buf_put(&t.b, piece.data(), piece.size()), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(t.b.pos, 0u);
  std::string out = drain(p.r);
  EXPECT_EQ(out.substr(page), old_bytes.substr(0, page));
}

// ---- buf_put_flush ----------------------------------------------------------

TEST_F(OutBufferTest, PutFlushOnAnEmptyBufferWritesTheBytesDirectly) {
  for (io_op_fn op : {recording_op, sys_write}) {
    recorder = OpRecorder{};
    spy = WritevSpy{};
    spy.active = true;
    Pipe p;
    TestBuffer t(16, op, p.w);
    std::string piece = pattern(40, 5);
    EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), 0);
    EXPECT_EQ(t.b.pos, 0u);
    EXPECT_TRUE(spy.piece_counts.empty());
    EXPECT_EQ(std::count(t.storage.begin(), t.storage.end(), '#'), 16);
    if (op == recording_op) {
      ASSERT_EQ(recorder.calls.size(), 1u);
      EXPECT_EQ(recorder.calls[0], piece);
    } else {
      EXPECT_EQ(drain(p.r), piece);
    }
  }
}

TEST_F(OutBufferTest, PutFlushChoosesCopyingOrOneVectoredWriteByPieceSize) {
  struct Case {
    size_t piece;
    size_t vectored_writes;
  } cases[] = {{1, 0}, {32, 0}, {33, 1}, {500, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.piece);
    Pipe p;
    TestBuffer t(256, sys_write, p.w);
    t.preload(pattern(10, 1));
    spy = WritevSpy{};
    spy.active = true;
    std::string piece = pattern(c.piece, 7);
    EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), 0);
    EXPECT_EQ(t.b.pos, 0u);
    EXPECT_EQ(spy.piece_counts.size(), c.vectored_writes);
    EXPECT_EQ(drain(p.r), pattern(10, 1) + piece);
  }
}

TEST_F(OutBufferTest, PutFlushOfASmallPieceLeavesInOneWrite) {
  TestBuffer t(64, recording_op, 7);
  t.preload("head ");
  EXPECT_EQ(buf_put_flush(&t.b, "tail", 4), 0);
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_EQ(recorder.calls[0], "head tail");
  EXPECT_EQ(t.b.pos, 0u);
}

TEST_F(OutBufferTest, PutFlushThroughAnotherIoOpNeverWritesVectored) {
  TestBuffer t(64, recording_op, 7);
  t.preload("head ");
  spy.active = true;
  std::string piece = pattern(100, 3);
  EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), 0);
  EXPECT_TRUE(spy.piece_counts.empty());
  EXPECT_EQ(recorder.accepted, "head " + piece);
  EXPECT_EQ(t.b.pos, 0u);
}

TEST_F(OutBufferTest, PutFlushThroughAnotherIoOpReportsFailures) {
  struct Case {
    const char* name;
    size_t buffered;
    size_t piece;
  } cases[] = {
      {"empty buffer, the direct write fails", 0, 5},
      {"small piece, the flush fails", 10, 5},
      {"piece that does not fit, the first flush fails", 10, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder = OpRecorder{};
    recorder.script = {{-1, EIO}};
    TestBuffer t(64, recording_op, 7);
    t.preload(pattern(c.buffered, 1));
    std::string piece = pattern(c.piece, 2);
    EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), -1);
    EXPECT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(t.b.pos, 0u);
  }
}

TEST_F(OutBufferTest, PutFlushRetriesAnInterruptedVectoredWrite) {
  Pipe p;
  TestBuffer t(64, sys_write, p.w);
  t.preload(pattern(10, 1));
  spy.active = true;
  spy.script = {-EINTR, -EINTR};
  std::string piece = pattern(40, 2);
  EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), 0);
  EXPECT_EQ(spy.piece_counts.size(), 3u);
  EXPECT_EQ(t.b.pos, 0u);
  EXPECT_EQ(drain(p.r), pattern(10, 1) + piece);
}

TEST_F(OutBufferTest, PutFlushWhoseVectoredWriteFailsKeepsTheBuffer) {
  Pipe p;
  p.close_read();
  TestBuffer t(64, sys_write, p.w);
  t.preload(pattern(10, 1));
  spy.active = true;
  std::string piece = pattern(40, 2);
  EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), -1);
  EXPECT_EQ(spy.piece_counts.size(), 1u);
  EXPECT_EQ(t.buffered(), pattern(10, 1));
}

TEST_F(OutBufferTest, PutFlushAfterAPartialVectoredWriteSendsTheRestOnce) {
  struct Case {
    const char* name;
    int64_t written;
  } cases[] = {
      {"nothing", 0},
      {"part of the buffered bytes", 4},
      {"exactly the buffered bytes", 10},
      {"buffered and some new bytes", 25},
      {"all but the last byte", 49},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    TestBuffer t(64, sys_write, p.w);
    t.preload(pattern(10, 1));
    spy = WritevSpy{};
    spy.active = true;
    spy.script = {c.written};
    std::string piece = pattern(40, 2);
    EXPECT_EQ(buf_put_flush(&t.b, piece.data(), piece.size()), 0);
    EXPECT_EQ(spy.piece_counts.size(), 1u);
    EXPECT_EQ(t.b.pos, 0u);
    EXPECT_EQ(drain(p.r), pattern(10, 1) + piece);
  }
}

TEST_F(OutBufferTest, PutFlushIntoANearlyFullPipe) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  struct Case {
    const char* name;
    size_t buffered;
    size_t piece;
  } cases[] = {
      {"vectored write ends inside the piece", 100, page},
      {"vectored write ends inside the buffered bytes", page + 100, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    if (!make_pipe_with_one_free_page(p)) GTEST_SKIP() << "pipe size cannot be set";
    TestBuffer t(2 * page, sys_write, p.w);
    std::string all = pattern(c.buffered + c.piece, 9);
    t.preload(all.substr(0, c.buffered));
    EXPECT_EQ(buf_put_flush(&t.b, all.data() + c.buffered, c.piece), -1);
    EXPECT_EQ(errno, EAGAIN);
    // Whatever could not be written is not kept for a second attempt.
    EXPECT_EQ(t.b.pos, 0u);
    EXPECT_EQ(drain(p.r).substr(page), all.substr(0, page));
  }
}

// ---- Texts and numbers ------------------------------------------------------

TEST_F(OutBufferTest, PutStrsAppendsEachTextInOrder) {
  TestBuffer t(64, recording_op, 7);
  EXPECT_EQ(buf_put_strs(&t.b, "dn: ", "cn=a", "", ",o=b", nullptr), 0);
  EXPECT_EQ(t.buffered(), "dn: cn=a,o=b");
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(OutBufferTest, PutStrsStopsAtTheFirstFailure) {
  TestBuffer t(4, recording_op, 7);
  recorder.script = {{-1, EIO}};
  // "cdef" does not fit behind "ab" and the flush fails; "gh" would fit the
  // emptied buffer but must not be put.
  EXPECT_EQ(buf_put_strs(&t.b, "ab", "cdef", "gh", nullptr), -1);
  EXPECT_EQ(t.b.pos, 0u);
  EXPECT_EQ(recorder.calls.size(), 1u);
}

TEST_F(OutBufferTest, PutNumbersAndTexts) {
  struct Case {
    const char* name;
    int (*put)(out_buffer*);
    std::string expected;
  } cases[] = {
      {"decimal max", [](out_buffer* b) { return buf_put_decimal(b, UINT64_MAX); }, "18446744073709551615"},
      {"decimal 0", [](out_buffer* b) { return buf_put_decimal(b, 0); }, "0"},
      {"decimal 4096", [](out_buffer* b) { return buf_put_decimal(b, 4096); }, "4096"},
      {"hex 255", [](out_buffer* b) { return buf_put_hex(b, 255); }, "ff"},
      {"hex max", [](out_buffer* b) { return buf_put_hex(b, UINT64_MAX); }, "ffffffffffffffff"},
      {"text", [](out_buffer* b) { return buf_put_str(b, "objectClass"); }, "objectClass"},
      {"empty text", [](out_buffer* b) { return buf_put_str(b, ""); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestBuffer t(64, recording_op, 7);
    t.preload("<");
    EXPECT_EQ(c.put(&t.b), 0);
    EXPECT_EQ(t.buffered(), "<" + c.expected);
  }
}

TEST_F(OutBufferTest, PutErrnoTextUsesTheSystemMessage) {
  for (int e : {ENOENT, EACCES, EPIPE}) {
    TestBuffer t(256, recording_op, 7);
    errno = e;
    EXPECT_EQ(buf_put_errno_text(&t.b), 0);
    EXPECT_EQ(t.buffered(), strerror(e));
  }
}

TEST_F(OutBufferTest, PutNewlineFlushEndsTheLine) {
  Pipe p;
  TestBuffer t(64, sys_write, p.w);
  t.preload("no such file");
  EXPECT_EQ(buf_put_newline_flush(&t.b), 0);
  EXPECT_EQ(t.b.pos, 0u);
  EXPECT_EQ(drain(p.r), "no such file\n");
}

// ---- std_in_read ------------------------------------------------------------

TEST_F(OutBufferTest, StdInReadFlushesStdOutBeforeItReads) {
  StdOutGuard guard;
  // std_out writes into the very pipe that is read: the read can only find
  // the prompt if the flush happened first (the read end does not block).
  Pipe p;
  set_nonblocking(p.r);
  std_out.fd = p.w;
  std_out.pos = 0;
  ASSERT_EQ(buf_put_str(&std_out, "prompt> "), 0);
  ASSERT_EQ(unread_in(p.r), 0);
  char got[32];
  int64_t r = std_in_read(p.r, got, sizeof got, &std_in);
  ASSERT_EQ(r, 8);
  EXPECT_EQ(std::string(got, 8), "prompt> ");
  EXPECT_EQ(std_out.pos, 0u);
}

TEST_F(OutBufferTest, StdInReadDoesNotReadWhenTheFlushFails) {
  StdOutGuard guard;
  Pipe out;
  out.close_read();
  Pipe in;
  ASSERT_EQ(write(in.w, "xyz", 3), 3);
  std_out.fd = out.w;
  std_out.pos = 0;
  ASSERT_EQ(buf_put_str(&std_out, "prompt> "), 0);
  char got[32];
  EXPECT_EQ(std_in_read(in.r, got, sizeof got, &std_in), -1);
  EXPECT_EQ(unread_in(in.r), 3);
  EXPECT_EQ(std_out.pos, 0u);
}

// The real std_in and std_out on descriptors 0 and 1 of a child process: the
// child asks, then waits for the answer, which is only given once the question
// arrived. Without the flush the two would wait for each other.
TEST_F(OutBufferTest, StdInFlushesStdOutAcrossProcesses) {
  Pipe to_child;
  Pipe from_child;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(to_child.r, 0);
    dup2(from_child.w, 1);
    buf_put_str(&std_out, "name? ");
    char line[16];
    int64_t n = buf_get_until(&std_in, line, sizeof line, "\n", 1);
    buf_put_str(&std_out, "hello ");
    buf_put(&std_out, line, n > 0 ? static_cast<uint64_t>(n) : 0);
    buf_put_newline_flush(&std_out);
    _exit(n == 3 ? 0 : 1);
  }
  to_child.close_read();
  from_child.close_write();
  pollfd pfd = {from_child.r, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 5000), 1) << "the question never arrived";
  char question[16];
  ASSERT_EQ(read(from_child.r, question, sizeof question), 6);
  EXPECT_EQ(std::string(question, 6), "name? ");
  ASSERT_EQ(write(to_child.w, "bob\n", 4), 4);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(drain(from_child.r), "hello bob\n");
}

// ---- Input ------------------------------------------------------------------

TEST_F(OutBufferTest, InitSetsEveryField) {
  char storage[8];
  out_buffer b;
  memset(&b, 0x5a, sizeof b);
  buf_init(&b, sys_read, 9, storage, sizeof storage);
  EXPECT_EQ(b.storage, storage);
  EXPECT_EQ(b.pos, 0u);
  EXPECT_EQ(b.end, 0u);
  EXPECT_EQ(b.capacity, 8u);
  EXPECT_TRUE(b.io_op == sys_read);
  EXPECT_EQ(b.fd, 9);
}

TEST_F(OutBufferTest, RefillReadsOnlyWhenNothingIsUnread) {
  char storage[4];
  out_buffer b;
  buf_init(&b, scripted_read, 0, storage, sizeof storage);
  reads = {{"abcdef", 0}, {"", EINTR}, {"g", 0}, {"", EIO}};
  EXPECT_EQ(buf_refill(&b), 4);  // at most the capacity
  EXPECT_EQ(read_calls, 1);
  b.pos = 1;
  EXPECT_EQ(buf_refill(&b), 3);  // unread bytes, no read
  EXPECT_EQ(read_calls, 1);
  b.pos = 4;
  EXPECT_EQ(buf_refill(&b), 2);
  EXPECT_EQ(b.pos, 0u);
  EXPECT_EQ(b.end, 2u);
  EXPECT_EQ(std::string(storage, 2), "ef");
  b.pos = 2;
  EXPECT_EQ(buf_refill(&b), 1);  // after an interrupted read
  EXPECT_EQ(read_calls, 4);
  b.pos = 1;
  EXPECT_EQ(buf_refill(&b), -1);
  EXPECT_EQ(buf_refill(&b), 0);  // end of input
  EXPECT_EQ(b.pos, 0u);
  EXPECT_EQ(b.end, 0u);
}

TEST_F(OutBufferTest, GetByteWalksAPipeAcrossRefills) {
  Pipe p;
  ASSERT_EQ(write(p.w, "hello", 5), 5);
  p.close_write();
  char storage[3];
  out_buffer b;
  buf_init(&b, sys_read, p.r, storage, sizeof storage);
  std::string got;
  char c;
  int r;
  while ((r = buf_get_byte(&b, &c)) == 1) got.push_back(c);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(buf_get_byte(&b, &c), 0);
}

TEST_F(OutBufferTest, GetByteReportsAReadFailure) {
  Pipe p;
  char storage[3];
  out_buffer b;
  buf_init(&b, sys_read, p.w, storage, sizeof storage);  // not readable
  char c;
  EXPECT_EQ(buf_get_byte(&b, &c), -1);
  EXPECT_EQ(errno, EBADF);
}

struct UntilCase {
  const char* name;
  std::vector<ReadStep> input;
  uint64_t dest_len;
  std::string delimiters;
  int64_t result;
  std::string dest;  // the bytes expected at the start of dest
  std::string rest;  // what a later reader gets
};

void run_until_cases(const std::vector<UntilCase>& cases) {
  for (const UntilCase& c : cases) {
    SCOPED_TRACE(c.name);
    reads.assign(c.input.begin(), c.input.end());
    char storage[4];
    out_buffer b;
    buf_init(&b, scripted_read, 0, storage, sizeof storage);
    char dest[32];
    memset(dest, '~', sizeof dest);
    EXPECT_EQ(buf_get_until(&b, dest, c.dest_len, c.delimiters.data(), c.delimiters.size()), c.result);
    EXPECT_EQ(std::string(dest, c.dest.size()), c.dest);
    EXPECT_EQ(dest[c.dest.size()], '~') << "wrote past the expected bytes";
    std::string rest;
    char ch;
    while (buf_get_byte(&b, &ch) == 1) rest.push_back(ch);
    EXPECT_EQ(rest, c.rest);
  }
}

TEST_F(OutBufferTest, GetUntilWithOneDelimiterCopiesBlocks) {
  run_until_cases({
      {"delimiter found", {{"abc\ndef", 0}}, 32, "\n", 3, "abc\n", "def"},
      {"delimiter in a later read", {{"ab", 0}, {"c\nd", 0}}, 32, "\n", 3, "abc\n", "d"},
      {"delimiter first", {{"\nabc", 0}}, 32, "\n", 0, "\n", "abc"},
      {"end of input, no terminator", {{"abc", 0}}, 32, "\n", 3, "abc", ""},
      {"end of input at once", {}, 32, "\n", 0, "", ""},
      {"limit reached", {{"abcdef\n", 0}}, 4, "\n", 4, "abcd", "ef\n"},
      {"limit reached across reads", {{"ab", 0}, {"cdef", 0}}, 5, "\n", 5, "abcde", "f"},
      {"delimiter at the last place", {{"abc\nx", 0}}, 4, "\n", 3, "abc\n", "x"},
      {"delimiter just past the limit", {{"abcd\n", 0}}, 4, "\n", 4, "abcd", "\n"},
      {"read failure returns the count", {{"ab", 0}, {"", EIO}, {"cd", 0}}, 32, "\n", 2, "ab", "cd"},
      {"no room", {{"abc\n", 0}}, 0, "\n", 0, "", "abc\n"},
      {"NUL as the delimiter", {{std::string("ab\0cd", 5), 0}}, 32, std::string(1, '\0'), 2,
       std::string("ab\0", 3), "cd"},
  });
}

TEST_F(OutBufferTest, GetUntilWithOtherDelimiterCountsGoesByteByByte) {
  run_until_cases({
      {"first of two delimiters", {{"ab;c,d", 0}}, 32, ",;", 2, "ab;", "c,d"},
      {"second of two delimiters", {{"ab,c;d", 0}}, 32, ",;", 2, "ab,", "c;d"},
      {"across reads", {{"abc", 0}, {"de,f", 0}}, 32, ",;", 5, "abcde,", "f"},
      {"end of input stores a terminator", {{"ab", 0}}, 32, ",;", 2, std::string("ab\0", 3), ""},
      {"end of input at once", {}, 32, ",;", 0, std::string(1, '\0'), ""},
      {"read failure", {{"ab", 0}, {"", EIO}, {"cd", 0}}, 32, ",;", -1, "ab", "cd"},
      {"limit reached", {{"abcdef", 0}}, 3, ",;", 3, "abc", "def"},
      {"no delimiters reads to the end", {{"a,b;c", 0}}, 32, "", 5, std::string("a,b;c\0", 6), ""},
      {"no delimiters, limit", {{"a,b;c", 0}}, 2, "", 2, "a,", "b;c"},
      {"no room", {{"ab", 0}}, 0, ",;", 0, "", "ab"},
  });
}

TEST_F(OutBufferTest, GetUntilReadsLinesFromAPipe) {
  Pipe p;
  ASSERT_EQ(write(p.w, "dn: a\ncn: b\nsn", 14), 14);
  p.close_write();
  char storage[4];
  out_buffer b;
  buf_init(&b, sys_read, p.r, storage, sizeof storage);
  char line[32];
  EXPECT_EQ(buf_get_until(&b, line, sizeof line, "\n", 1), 5);
  EXPECT_EQ(std::string(line, 6), "dn: a\n");
  EXPECT_EQ(buf_get_until(&b, line, sizeof line, "\n", 1), 5);
  EXPECT_EQ(std::string(line, 6), "cn: b\n");
  EXPECT_EQ(buf_get_until(&b, line, sizeof line, "\n", 1), 2);
  EXPECT_EQ(std::string(line, 2), "sn");
  EXPECT_EQ(buf_get_until(&b, line, sizeof line, "\n", 1), 0);
}

TEST_F(OutBufferTest, GetUntilWithAHugeDestinationLengthStillStopsAtTheDelimiter) {
  reads = {{"ab\ncd", 0}};
  char storage[4];
  out_buffer b;
  buf_init(&b, scripted_read, 0, storage, sizeof storage);
  char dest[8];
  EXPECT_EQ(buf_get_until(&b, dest, UINT64_MAX, "\n", 1), 2);
  EXPECT_EQ(buf_get_until(&b, dest, UINT64_MAX, ",\n", 2), 2);
  EXPECT_EQ(std::string(dest, 3), std::string("cd\0", 3));
}

}  // namespace
