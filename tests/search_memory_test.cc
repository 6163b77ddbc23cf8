// What a search costs a connection's process in memory of its own. Each
// connection of ferrowyn is served by a child that shares the listening
// process's pages, the journal's entries among them, until it writes to
// them; a search must not write to what it only reads, or every
// connection copies the whole journal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/data_fixture.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"
#include "tests/processes.h"

using namespace harness;

namespace {

constexpr int kJournalEntries = 100'000;

// The sum of fields of /proc/PID/smaps_rollup in KiB, read at one moment
// ("Private_Dirty", pages the process has written and shares with no
// other; "Shared_Dirty", written pages it shares, as with its children
// after a fork); -1 when it cannot be read.
long rollup_kib(pid_t pid, const std::vector<std::string>& fields) {
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long sum = 0;
  for (const std::string& field : fields) {
    const size_t at = text.find("\n" + field + ":");
    if (at == std::string::npos) return -1;
    sum += std::atol(text.c_str() + at + field.size() + 2);
  }
  return sum;
}
long private_dirty_kib(pid_t pid) { return rollup_kib(pid, {"Private_Dirty"}); }

// The child serving the connection: once it is the only one of the
// server's children that has not ended. The start-up probe's child may
// still be ending (under the leak checker that takes a while, and its scan
// writes to the heap), or not have been forked yet when the test
// connected; waiting for one running child keeps it from being measured.
pid_t connection_child(pid_t server) {
  for (int waited = 0; waited < 10000; waited += 5) {
    pid_t only = -1;
    int running = 0;
    for (const procs::proc_entry& e : procs::children_of(server)) {
      if (e.state != 'Z' && e.state != 'X') {
        only = e.pid;
        ++running;
      }
    }
    if (running == 1) return only;
    usleep(5000);
  }
  return -1;
}

std::string journal_of(int entries) {
  std::string text;
  text.reserve(static_cast<size_t>(entries) * 110);
  for (int i = 0; i < entries; ++i) {
    const std::string n = std::to_string(i);
    text += "dn: cn=p" + n + ",o=example\nobjectClass: person\ncn: p" + n + "\nsn: S" + n +
            "\ndescription: entry " + n + " of the journal\n\n";
  }
  return text;
}

// One search on the connection, to its SearchResultDone; its entries.
size_t entries_found(int fd, uint64_t id, const std::string& filter) {
  EXPECT_TRUE(send_bytes(fd, wire::search_request(id, "o=example", 2, filter, {"cn"})));
  const wire::search_answer a = wire::read_search(fd);
  EXPECT_EQ(a.code, 0);
  return a.entries.size();
}

// A search that no index answers walks every journal entry; the memory the
// connection's process makes its own by it stays far below what the
// journal occupies, and does not grow with a second such search.
TEST(SearchMemory, AnUnindexedSearchDoesNotCopyTheJournal) {
  if (private_dirty_kib(getpid()) < 0) GTEST_SKIP() << "no /proc/PID/smaps_rollup";
  server s;
  const fixture::entry base{"o=example", {{"objectClass", "organization"}, {"o", "example"}}};
  ASSERT_EQ(fixture::write_data_file(s.data_path(), {base}), "");
  write_file(s.dir.file("journal"), journal_of(kJournalEntries));
  std::string why;
  ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn"), {}, &why)) << why;
  // The listening process built the journal's entries: every page it has
  // written, whether a child shares it at the moment or not.
  const long journal_kib = rollup_kib(s.pid, {"Private_Dirty", "Shared_Dirty"});
  ASSERT_GT(journal_kib, 0);

  const int fd = connect_to(s.port);
  ASSERT_GE(fd, 0);
  // A search of one entry first: the child is there and has done what
  // every request does.
  EXPECT_EQ(entries_found(fd, 1, wire::equal("cn", "p7")), 1u);
  const pid_t child = connection_child(s.pid);
  ASSERT_GT(child, 0);
  const long before = private_dirty_kib(child);
  // (description>=~) selects nothing and is answered by no index.
  const std::string beyond_every_value =
      wire::tlv(0xa5, wire::octets("description") + wire::octets("~"));
  EXPECT_EQ(entries_found(fd, 2, beyond_every_value), 0u);
  const long after_one = private_dirty_kib(child);
  EXPECT_EQ(entries_found(fd, 3, wire::present("mail")), 0u);
  const long after_two = private_dirty_kib(child);
  close(fd);
  ASSERT_GE(before, 0);
  ASSERT_GE(after_one, 0);
  std::printf("journal of %d entries: listening process %ld KiB dirty; connection's "
              "child %ld KiB before the unindexed searches, %ld KiB after one, %ld KiB after two\n",
              kJournalEntries, journal_kib, before, after_one, after_two);
  EXPECT_LT(after_one - before, journal_kib / 10);
  EXPECT_LT(after_two - before, journal_kib / 10);
}

}  // namespace
