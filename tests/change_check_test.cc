// The server's journal and data file, end to end: the journal read at
// start-up, records appended while it runs, and a data file replaced or
// removed under it. Every request first checks both for changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/data_fixture.h"
#include "tests/harness.h"

using namespace harness;

namespace {

const std::vector<fixture::entry> kEntries = {
    {"o=example", {{"objectClass", "organization"}, {"o", "example"}}},
    {"cn=a,o=example", {{"objectClass", "person"}, {"cn", "a"}}}};

const char kJournal[] =
    "dn: cn=b,o=example\n"
    "objectClass: person\n"
    "cn: b\n"
    "\n";

class ChangeCheck : public ::testing::Test {
 protected:
  // Starts ferrowyn_trace with the data file and, when given, a journal.
  void start(const std::string& journal) {
    ASSERT_EQ(fixture::write_data_file(srv_.data_path(), kEntries), "");
    if (!journal.empty()) write_file(srv_.dir.file("journal"), journal);
    std::string why;
    started_ = start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why);
  }

  // One request (an unbind) on a new connection: the server runs its
  // change check after the accept and again before the request.
  void request() {
    int fd = connect_to(srv_.port);
    ASSERT_GE(fd, 0);
    send_bytes(fd, unbind_request(1));
    wait_closed(fd, 5000);
    close(fd);
  }

  void append_journal(const std::string& text) {
    write_file(srv_.dir.file("journal"), read_file(srv_.dir.file("journal")) + text);
  }

  server srv_;
  bool started_ = false;
};

TEST_F(ChangeCheck, JournalReadAtStartUpAndAppendedRecordsParsedLater) {
  start(kJournal);
  ASSERT_TRUE(started_) << srv_.stderr_text();
  request();
  // A well-formed record appended while the server runs is taken quietly.
  append_journal("dn: cn=c,o=example\nobjectClass: person\n\n");
  request();
  EXPECT_FALSE(srv_.wait_exit(100));
  // An appended record without a DN cannot be parsed: it is read at the
  // next request, and the server stops rather than serve a wrong journal.
  append_journal("cn: nobody\n\n");
  request();
  ASSERT_TRUE(srv_.wait_exit(5000));
  EXPECT_EQ(srv_.exit_status, 1);
  EXPECT_NE(srv_.stderr_text().find("Failed to parse journal!\n"), std::string::npos)
      << srv_.stderr_text();
}

TEST_F(ChangeCheck, UnparsableJournalStopsTheStart) {
  start("cn: no dn here\n\n");
  EXPECT_FALSE(started_);
  EXPECT_EQ(srv_.exit_status, 1);
  EXPECT_EQ(srv_.stderr_text(), "Failed to parse journal!\n");
}

TEST_F(ChangeCheck, EditedJournalIsReadAgainWhole) {
  start(kJournal);
  ASSERT_TRUE(started_) << srv_.stderr_text();
  // The old end no longer follows the empty line that ends every record.
  std::string edited = kJournal;
  edited.back() = 'x';
  write_file(srv_.dir.file("journal"), edited + "\ndn: cn=d,o=example\nobjectClass: person\n\n");
  request();
  EXPECT_TRUE(srv_.wait_stderr("Unsanctioned journal editing detected!  Re-reading journal.\n", 5000))
      << srv_.stderr_text();
  EXPECT_FALSE(srv_.wait_exit(100));
}

TEST_F(ChangeCheck, ReplacedDataFileIsReloaded) {
  start("");
  ASSERT_TRUE(started_) << srv_.stderr_text();
  std::vector<fixture::entry> more = kEntries;
  more.push_back({"cn=z,o=example", {{"objectClass", "person"}}});
  // The writer renames a new file into place: a new inode.
  ASSERT_EQ(fixture::write_data_file(srv_.data_path(), more), "");
  request();
  EXPECT_TRUE(srv_.wait_stderr("Data file changed, reloading.\n", 5000)) << srv_.stderr_text();
  request();  // and it keeps serving
  EXPECT_FALSE(srv_.wait_exit(100));
  EXPECT_EQ(srv_.stderr_text().find("Data file changed") ,
            srv_.stderr_text().rfind("Data file changed"));  // reloaded once only
}

TEST_F(ChangeCheck, RemovedDataFileEndsTheServer) {
  start("");
  ASSERT_TRUE(started_) << srv_.stderr_text();
  ASSERT_EQ(unlink(srv_.data_path().c_str()), 0);
  request();
  ASSERT_TRUE(srv_.wait_exit(5000));
  EXPECT_EQ(srv_.exit_status, 1);
  EXPECT_NE(srv_.stderr_text().find("ABEND: data file suddenly gone.\n"), std::string::npos)
      << srv_.stderr_text();
}

}  // namespace
