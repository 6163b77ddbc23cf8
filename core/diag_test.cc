#include "core/diag.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/out_buffer.h"

namespace {

// Puts a datagram socket in place of fd 2 for the lifetime of the object.
// Every write(2) or writev(2) on a datagram socket becomes one datagram, so
// the datagrams show both what diag_line wrote and in how many writes.
class StderrCapture {
 public:
  StderrCapture() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    reader_ = fds[0];
    saved_ = dup(2);
    dup2(fds[1], 2);
    close(fds[1]);
  }
  ~StderrCapture() {
    restore();
    if (reader_ >= 0) close(reader_);
  }
  bool ok() const { return reader_ >= 0 && saved_ >= 0; }

  // Puts the real fd 2 back and returns every datagram written meanwhile.
  std::vector<std::string> writes() {
    restore();
    std::vector<std::string> got;
    char chunk[65536];
    for (;;) {
      ssize_t n = recv(reader_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n < 0) break;
      got.emplace_back(chunk, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  int reader_ = -1;
  int saved_ = -1;
};

class DiagTest : public ::testing::Test {
 protected:
  void TearDown() override { set_program_name(nullptr); }
};

TEST_F(DiagTest, TraceIsOffUnlessAServerTurnsItOn) {
  EXPECT_FALSE(trace_enabled);
}

TEST_F(DiagTest, LineWithProgramName) {
  set_program_name("ferrowyn");
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line("out of memory!", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "ferrowyn: out of memory!\n");
}

TEST_F(DiagTest, LineWithoutProgramNameHasNoPrefix) {
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line("out of memory!", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "out of memory!\n");
}

TEST_F(DiagTest, PiecesAreJoinedWithoutSeparators) {
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line("cannot open ", "journal", ": ", "", "No such file or directory", nullptr);
  diag_line("", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], "cannot open journal: No such file or directory\n");
  EXPECT_EQ(writes[1], "\n");
}

TEST_F(DiagTest, ProgramNameIsNotCopied) {
  char name[] = "ferrowyn";
  set_program_name(name);
  name[0] = 'F';
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line("x", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "Ferrowyn: x\n");
}

// A line leaves in writes of at most 25 pieces: a full vector is written as
// soon as its 25th piece is stored, the rest when the line ends.
TEST_F(DiagTest, LongLinesLeaveInWritesOfTwentyFivePieces) {
  const struct {
    bool named;
    int pieces;                 // pieces passed to diag_line
    std::vector<int> writes;    // pieces in each write, in order
  } cases[] = {
      {true, 1, {4}},
      {true, 22, {25}},           // name, ": ", 22 pieces, "\n"
      {true, 23, {25, 1}},        // the "\n" alone in a second write
      {true, 30, {25, 8}},        // 33 entries
      {false, 24, {25}},
      {false, 25, {25, 1}},
      {false, 49, {25, 25}},
      {false, 50, {25, 25, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces);
    set_program_name(c.named ? "srv" : nullptr);
    // Each piece has its own text, so the write boundaries can be found.
    std::vector<std::string> texts;
    for (int i = 0; i < c.pieces; ++i) texts.push_back("<" + std::to_string(i) + ">");
    std::vector<const char*> p(60, nullptr);
    for (int i = 0; i < c.pieces; ++i) p[i] = texts[i].c_str();
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    // diag_line takes a fixed argument list; the unused tail is all nullptr.
    diag_line(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12],
              p[13], p[14], p[15], p[16], p[17], p[18], p[19], p[20], p[21], p[22], p[23], p[24],
              p[25], p[26], p[27], p[28], p[29], p[30], p[31], p[32], p[33], p[34], p[35], p[36],
              p[37], p[38], p[39], p[40], p[41], p[42], p[43], p[44], p[45], p[46], p[47], p[48],
              p[49], p[50], nullptr);
    std::vector<std::string> writes = capture.writes();

    // The entries of the line in order, and what each write should hold.
    std::vector<std::string> entries;
    if (c.named) {
      entries.push_back("srv");
      entries.push_back(": ");
    }
    entries.insert(entries.end(), texts.begin(), texts.end());
    entries.push_back("\n");
    ASSERT_EQ(writes.size(), c.writes.size());
    size_t next = 0;
    for (size_t w = 0; w < writes.size(); ++w) {
      std::string expected;
      for (int k = 0; k < c.writes[w]; ++k) expected += entries[next++];
      EXPECT_EQ(writes[w], expected) << "write " << w;
    }
    EXPECT_EQ(next, entries.size());
  }
}

TEST_F(DiagTest, LinesAfterALongLineStartWithAnEmptyVector) {
  std::vector<std::string> texts;
  for (int i = 0; i < 23; ++i) texts.push_back(std::string(1, static_cast<char>('a' + i)));
  std::vector<const char*> p;
  for (const std::string& t : texts) p.push_back(t.c_str());
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13],
            p[14], p[15], p[16], p[17], p[18], p[19], p[20], p[21], p[22], nullptr);  // 24 entries
  diag_line("next", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], "abcdefghijklmnopqrstuvw\n");
  EXPECT_EQ(writes[1], "next\n");
}

TEST_F(DiagTest, BypassesStdErr) {
  out_buffer saved = std_err;
  ASSERT_EQ(buf_put_str(&std_err, "pending "), 0);
  uint64_t pending = std_err.pos;
  set_program_name("ferrowyn");
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  diag_line("bind failed", nullptr);
  std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], "ferrowyn: bind failed\n");
  EXPECT_EQ(std_err.pos, pending);
  std_err = saved;  // drop the pending text instead of printing it
}

}  // namespace
