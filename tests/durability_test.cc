// Nothing an answer promised is lost: concurrent writers through ferrowyn,
// a journal whose last append was cut short, answers sent only once the
// change is on stable storage, and the journal file itself (a symbolic
// link or another user's file is refused).
//
// Invariant under test: every change answered 0 is in the journal and in
// every later answer, on every connection, and nothing else is; a change
// answered otherwise left no trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

const char* const kAdmin = "cn=admin,o=d";
const char* const kStrace = "/usr/bin/strace";

std::string person_dn(int i) { return "cn=p" + std::to_string(i) + ",o=d"; }

std::string directory_ldif(int people) {
  std::string ldif = "dn: o=d\nobjectClass: organization\no: d\n\n";
  ldif += std::string("dn: ") + kAdmin + "\nobjectClass: person\ncn: admin\nuserPassword: admin\n\n";
  for (int i = 0; i < people; ++i) {
    ldif += "dn: " + person_dn(i) + "\nobjectClass: person\ncn: p" + std::to_string(i) +
            "\nuserPassword: pw" + std::to_string(i) + "\ndescription: start\n\n";
  }
  return ldif;
}

// Imports the directory (the administrator may do everything, everyone
// else read) into s's working directory.
void import(server* s, int people) {
  write_file(s->dir.file("d.ldif"), directory_ldif(people));
  write_file(s->dir.file("d.acl"), "(dn=cn=admin,o=d) * * +rwad\n* * * +r\n");
  const run_result r = run_program(program_path("ldifimport"),
                                   {"-a", s->dir.file("d.acl"), s->data_path(), s->dir.file("d.ldif")});
  ASSERT_EQ(r.status, 0) << r.err;
}

void start(server* s, const std::string& program = "ferrowyn",
           const std::vector<std::string>& args = {}) {
  std::string why;
  std::vector<std::string> all = args;
  all.push_back(s->data_path());
  ASSERT_TRUE(start_server(s, program_path(program), all, {}, &why)) << why;
}

// ModifyRequest with one modification (0 add, 1 delete, 2 replace).
std::string modify_request(uint64_t id, const std::string& dn, unsigned operation,
                           const std::string& type, const std::vector<std::string>& vals) {
  std::string set;
  for (const std::string& v : vals) set += wire::octets(v);
  const std::string change = wire::tlv(0x30, wire::tlv(0x0a, std::string(1, static_cast<char>(operation))) +
                                                 wire::tlv(0x30, wire::octets(type) + wire::tlv(0x31, set)));
  return ldap_message(id, 6, wire::octets(dn) + wire::tlv(0x30, change));
}

// Sends a request and returns the answer's result code (-1 for none).
int64_t ask(int fd, const std::string& request) {
  if (!send_bytes(fd, request)) return -1;
  return wire::read_result(fd).code;
}

// A connection bound as the administrator, or -1.
int admin_connection(uint16_t port) {
  const int fd = connect_to(port);
  if (fd < 0) return -1;
  if (ask(fd, bind_request(1, kAdmin, "admin")) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The values of one attribute of the entry dn, as an anonymous client
// reads them; empty when the entry is not found.
std::vector<std::string> values_of(uint16_t port, const std::string& dn, const std::string& type) {
  const int fd = connect_to(port);
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(send_bytes(fd, wire::search_request(2, dn, 0, wire::present("objectClass"), {type})));
  const wire::search_answer a = wire::read_search(fd);
  close(fd);
  EXPECT_EQ(a.code, 0);
  std::vector<std::string> out;
  const auto e = a.entries.find(dn);
  if (e == a.entries.end()) return out;
  const std::string head = type + ": ";
  for (const std::string& line : e->second) {
    if (line.compare(0, head.size(), head) == 0) out.push_back(line.substr(head.size()));
  }
  return out;
}

bool entry_exists(uint16_t port, const std::string& dn) {
  return !values_of(port, dn, "objectClass").empty();
}

// Runs `writers` threads at once (released together), each with a bound
// administrator connection, and collects every result code.
template <typename Work>
std::vector<int64_t> run_writers(uint16_t port, int writers, Work work) {
  std::vector<int64_t> codes(static_cast<size_t>(writers), -1);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      const int fd = admin_connection(port);
      ++ready;
      while (ready.load() < writers) std::this_thread::yield();
      if (fd >= 0) {
        codes[static_cast<size_t>(w)] = work(fd, w);
        close(fd);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  return codes;
}

}  // namespace

// ---- Concurrent writers -------------------------------------------------

// Each modify builds on the entry as the last answered change left it,
// whichever child made that change.
TEST(Durability, ConcurrentModifiesOfOneEntryKeepEveryValue) {
  constexpr int kWriters = 8;
  constexpr int kModifies = 200;
  server s;
  ASSERT_NO_FATAL_FAILURE(import(&s, 4));
  ASSERT_NO_FATAL_FAILURE(start(&s));
  std::atomic<int> answered_ok{0};
  const std::vector<int64_t> failed = run_writers(s.port, kWriters, [&](int fd, int w) -> int64_t {
    int64_t bad = 0;
    for (int i = 0; i < kModifies; ++i) {
      const std::string value = "w" + std::to_string(w) + "-" + std::to_string(i);
      const int64_t code = ask(fd, modify_request(10 + i, person_dn(0), 0, "description", {value}));
      if (code == 0) ++answered_ok; else ++bad;
    }
    return bad;
  });
  for (int64_t f : failed) EXPECT_EQ(f, 0);
  ASSERT_EQ(answered_ok.load(), kWriters * kModifies);
  const std::vector<std::string> kept = values_of(s.port, person_dn(0), "description");
  std::set<std::string> expected = {"start"};
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kModifies; ++i) expected.insert("w" + std::to_string(w) + "-" + std::to_string(i));
  EXPECT_EQ(std::set<std::string>(kept.begin(), kept.end()), expected);
  EXPECT_EQ(kept.size(), expected.size());
}

// Of several adds of one new DN at once exactly one succeeds; every other
// is told the entry exists.
TEST(Durability, ConcurrentAddsOfOneDnCreateItOnce) {
  constexpr int kWriters = 6;
  constexpr int kRounds = 15;
  server s;
  ASSERT_NO_FATAL_FAILURE(import(&s, 1));
  ASSERT_NO_FATAL_FAILURE(start(&s));
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::string dn = "cn=new" + std::to_string(round) + ",o=d";
    const std::vector<int64_t> codes = run_writers(s.port, kWriters, [&](int fd, int w) {
      return ask(fd, wire::add_request(5, dn, {{"objectClass", {"person"}},
                                               {"cn", {"new" + std::to_string(round)}},
                                               {"sn", {"writer" + std::to_string(w)}}}));
    });
    int created = 0, exists = 0;
    for (int64_t c : codes) {
      if (c == 0) ++created;
      if (c == 68) ++exists;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(exists, kWriters - 1);
    EXPECT_EQ(values_of(s.port, dn, "sn").size(), 1u);
  }
}

// A modify racing a delete either comes first (and the delete removes its
// result) or finds nothing (32): it never brings the entry back.
TEST(Durability, AModifyRacingADeleteNeverResurrectsTheEntry) {
  constexpr int kEntries = 30;
  server s;
  ASSERT_NO_FATAL_FAILURE(import(&s, kEntries));
  ASSERT_NO_FATAL_FAILURE(start(&s));
  for (int i = 0; i < kEntries; ++i) {
    SCOPED_TRACE(i);
    const std::vector<int64_t> codes = run_writers(s.port, 3, [&](int fd, int w) {
      if (w == 0) return ask(fd, wire::del_request(5, person_dn(i)));
      return ask(fd, modify_request(5, person_dn(i), 2, "description", {"writer" + std::to_string(w)}));
    });
    EXPECT_EQ(codes[0], 0);
    for (size_t w = 1; w < codes.size(); ++w) EXPECT_TRUE(codes[w] == 0 || codes[w] == 32) << codes[w];
    EXPECT_FALSE(entry_exists(s.port, person_dn(i)));
  }
}

// ---- A torn last record ----------------------------------------------------

// A journal whose last append was cut short (a crash half way through the
// write) ends without the empty line of a whole record. The incomplete
// record is cut off, at start-up and at the change check before a request,
// so the next record appended is read as its own and never as the rest of
// the torn one (which would hand the torn entry the next record's
// password).
TEST(Durability, AnIncompleteLastRecordIsCutOffNotJoinedToTheNext) {
  const std::string whole = "dn: cn=p0,o=d\nobjectClass: person\ncn: p0\ndescription: changed\n\n";
  const std::string torn = "dn: cn=p1,o=d\nobjectClass: person\ncn: p1\nuserPass";
  struct when_torn {
    const char* what;
    bool at_start;
  } cases[] = {{"found at start-up", true}, {"found by a running server", false}};
  for (const when_torn& c : cases) {
    SCOPED_TRACE(c.what);
    server s;
    ASSERT_NO_FATAL_FAILURE(import(&s, 3));
    if (c.at_start) write_file(s.dir.file("journal"), whole + torn);
    ASSERT_NO_FATAL_FAILURE(start(&s));
    if (!c.at_start) {
      write_file(s.dir.file("journal"), whole + torn);
      EXPECT_EQ(values_of(s.port, person_dn(0), "description"), std::vector<std::string>{"changed"});
    }
    const std::string line = "journal: dropped " + std::to_string(torn.size()) +
                             " bytes of an incomplete last record at offset " +
                             std::to_string(whole.size()) + "\n";
    EXPECT_TRUE(s.wait_stderr(line, 5000)) << s.stderr_text();
    EXPECT_EQ(read_file(s.dir.file("journal")), whole);

    // p2 sets a new password; the record must stay p2's alone.
    const int fd = admin_connection(s.port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, wire::modify_replace(3, person_dn(2), "userPassword", {"secret2"})), 0);
    close(fd);
    const std::string journal = read_file(s.dir.file("journal"));
    EXPECT_EQ(journal.compare(0, whole.size(), whole), 0);
    EXPECT_EQ(journal.find("cn=p1"), std::string::npos);
    EXPECT_EQ(journal.substr(journal.size() - 2), "\n\n");
    const struct {
      std::string dn, password;
      bool binds;
    } binds[] = {{person_dn(1), "pw1", true}, {person_dn(1), "secret2", false},
                 {person_dn(2), "secret2", true}};
    for (const auto& b : binds) {
      const int c = connect_to(s.port);
      EXPECT_EQ(ask(c, bind_request(1, b.dn, b.password)) == 0, b.binds) << b.dn << " " << b.password;
      close(c);
    }
    EXPECT_EQ(values_of(s.port, person_dn(1), "description"), std::vector<std::string>{"start"});
  }
}

// ---- Durable answers ----------------------------------------------------------

// The record is synced to stable storage before the answer leaves, unless
// the operator turned that off for a bulk load.
TEST(Durability, TheAnswerFollowsTheSyncOfTheRecord) {
  if (access(kStrace, X_OK) != 0) GTEST_SKIP() << "needs " << kStrace;
  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "default" : "--no-sync");
    server s;
    ASSERT_NO_FATAL_FAILURE(import(&s, 2));
    const std::string log = s.dir.file("strace.log");
    std::vector<std::string> args = {"-f", "-qq", "-o", log, "-e", "trace=fdatasync,write",
                                      program_path("ferrowyn")};
    if (!sync) args.push_back("--no-sync");
    args.push_back(s.data_path());
    std::string why;
    ASSERT_TRUE(start_server(&s, kStrace, args, {}, &why)) << why;
    const int fd = admin_connection(s.port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, modify_request(2, person_dn(0), 2, "description", {"synced"})), 0);
    // strace logs a call once it has returned: wait for the answer's.
    std::string trace;
    size_t record = std::string::npos, answer = std::string::npos;
    for (int tries = 0; tries < 500 && answer == std::string::npos; ++tries) {
      trace = read_file(log);
      record = trace.find("dn: cn=p0,o=d");
      if (record != std::string::npos) answer = trace.find("write(", trace.find('\n', record));
      if (answer == std::string::npos) usleep(10000);
    }
    close(fd);
    ASSERT_NE(answer, std::string::npos) << trace;
    const size_t synced = trace.find("fdatasync(", record);
    if (sync) {
      EXPECT_LT(synced, answer) << trace;
    } else {
      EXPECT_EQ(trace.find("fdatasync("), std::string::npos) << trace;
    }
  }
}

// ---- The journal file ---------------------------------------------------------

// A journal that is a symbolic link (whoever placed it would choose which
// file the server reads and writes) or that another user owns is refused
// at start.
TEST(Durability, AJournalThatIsALinkOrAnotherUsersFileIsRefused) {
  {
    server s;
    ASSERT_NO_FATAL_FAILURE(import(&s, 1));
    write_file(s.dir.file("elsewhere"), "");
    ASSERT_EQ(symlink("elsewhere", s.dir.file("journal").c_str()), 0);
    std::string why;
    EXPECT_FALSE(start_server_on_data(&s, program_path("ferrowyn"), {}, &why));
    EXPECT_TRUE(s.wait_exit(5000));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(s.stderr_text(), "journal is a symbolic link, refused!\n");
  }
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  {
    server s;
    ASSERT_NO_FATAL_FAILURE(import(&s, 1));
    write_file(s.dir.file("journal"), "");
    ASSERT_EQ(chown(s.dir.file("journal").c_str(), 65534, 65534), 0);
    std::string why;
    EXPECT_FALSE(start_server_on_data(&s, program_path("ferrowyn"), {}, &why));
    EXPECT_TRUE(s.wait_exit(5000));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(s.stderr_text(), "journal is not a file owned by the server's user, refused!\n");
  }
}
