// The forking production server end to end: connections served at once
// by children of their own, what a child's end does (and does not) do to
// the server, what one connection leaves to the next, and a soak of
// concurrent clients mixing reads and writes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "journal/arena.h"
#include "journal/ldif_parser.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"
#include "tests/processes.h"

using namespace harness;

namespace {

constexpr int kPeople = 200;
const char* const kAdmin = "cn=admin,o=soak";

std::string person_dn(int i) { return "cn=p" + std::to_string(i) + ",o=soak"; }

std::string directory_ldif() {
  std::string ldif = "dn: o=soak\nobjectClass: organization\no: soak\n\n";
  ldif += std::string("dn: ") + kAdmin + "\nobjectClass: person\ncn: admin\nuserPassword: admin\n\n";
  for (int i = 0; i < kPeople; ++i) {
    ldif += "dn: " + person_dn(i) + "\nobjectClass: person\ncn: p" + std::to_string(i) +
            "\nuserPassword: pw" + std::to_string(i) + "\ndescription: start\n\n";
  }
  return ldif;
}

// The administrator may change everything, everyone else only read.
const char* const kAdminAcl = "(dn=cn=admin,o=soak) * * +rwad\n* * * +r\n";
// Everyone may do everything.
const char* const kOpenAcl = "* * * +rwad\n";

// Imports the directory with the ACLs given and starts ferrowyn on it.
bool start(server* s, const char* acl, bool stdin_closed = false) {
  write_file(s->dir.file("people.ldif"), directory_ldif());
  write_file(s->dir.file("people.acl"), acl);
  run_result imported = run_program(
      program_path("ldifimport"), {"-i", "cn", "-a", s->dir.file("people.acl"), s->data_path(), s->dir.file("people.ldif")});
  EXPECT_EQ(imported.status, 0) << imported.err;
  std::string why;
  if (imported.status != 0 || !start_server_on_data(s, program_path("ferrowyn"), {}, &why)) {
    ADD_FAILURE() << "ferrowyn did not start: " << why;
    return false;
  }
  if (stdin_closed) s->close_stdin();
  return true;
}

int bind_as(int fd, uint64_t id, const std::string& dn, const std::string& password) {
  if (!send_bytes(fd, bind_request(id, dn, password))) return -1;
  wire::result r = wire::read_result(fd);
  return r.id == static_cast<int64_t>(id) && r.op == 1 ? static_cast<int>(r.code) : -1;
}

int modify(int fd, uint64_t id, const std::string& dn, const std::string& description) {
  if (!send_bytes(fd, wire::modify_replace(id, dn, "description", {description}))) return -1;
  wire::result r = wire::read_result(fd);
  return r.id == static_cast<int64_t>(id) && r.op == 7 ? static_cast<int>(r.code) : -1;
}

wire::search_answer find_cn(int fd, uint64_t id, const std::string& cn) {
  wire::search_answer a;
  if (send_bytes(fd, wire::search_request(id, "o=soak", 2, wire::equal("cn", cn), {"description"})))
    a = wire::read_search(fd);
  return a;
}

// The children of process `parent` that have ended and wait to be reaped,
// with their exit statuses as waitpid reports them.
std::vector<int> zombie_statuses(pid_t parent) {
  std::vector<int> statuses;
  for (const procs::proc_entry& e : procs::children_of(parent))
    if (e.state == 'Z') statuses.push_back(e.exit_code);
  return statuses;
}

TEST(Ferrowyn, IdleClientDoesNotHoldUpAnother) {
  server s;
  ASSERT_TRUE(start(&s, kAdminAcl));
  int idle = connect_to(s.port);
  ASSERT_GE(idle, 0);
  // Half a message: its child waits for the rest.
  std::string bind = bind_request(1, kAdmin, "admin");
  ASSERT_TRUE(send_bytes(idle, bind.substr(0, 5)));

  int busy = connect_to(s.port);
  ASSERT_GE(busy, 0);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(bind_as(busy, 1, person_dn(3), "pw3"), 0);
  wire::search_answer a = find_cn(busy, 2, "p3");
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(a.entries.count(person_dn(3)), 1u);

  // The idle client's message completes and is answered after all.
  ASSERT_TRUE(send_bytes(idle, bind.substr(5)));
  wire::result r = wire::read_result(idle);
  EXPECT_EQ(r.id, 1);
  EXPECT_EQ(r.code, 0);
  close(idle);
  close(busy);
}

TEST(Ferrowyn, UndecodableMessageEndsOnlyItsOwnChild) {
  server s;
  ASSERT_TRUE(start(&s, kAdminAcl));
  int bad = connect_to(s.port);
  ASSERT_GE(bad, 0);
  // Only once the parent has gone on to serve another connection, and is
  // back waiting in accept, does the bad child end: else the parent could
  // reap it at once, before anyone sees its status.
  int other = connect_to(s.port);
  ASSERT_GE(other, 0);
  EXPECT_EQ(bind_as(other, 1, person_dn(2), "pw2"), 0);
  usleep(200000);
  // A SEQUENCE of three bytes whose messageID claims five.
  ASSERT_TRUE(send_bytes(bad, hex_bytes("30 03 02 05 01")));
  EXPECT_TRUE(wait_closed(bad, 5000));
  close(bad);

  // Its child waits as a zombie, having ended with status 2, until the
  // parent accepts the next connection. (The start-up probe's child ended
  // with 0 and waits too.)
  auto ended_with = [](const std::vector<int>& statuses, int code) {
    int n = 0;
    for (int st : statuses) n += WIFEXITED(st) && WEXITSTATUS(st) == code;
    return n;
  };
  std::vector<int> zombies;
  for (int i = 0; i < 200 && ended_with(zombies, 2) == 0; ++i) {
    zombies = zombie_statuses(s.pid);
    if (ended_with(zombies, 2) == 0) usleep(10000);
  }
  EXPECT_EQ(ended_with(zombies, 2), 1);
  EXPECT_EQ(ended_with(zombies, 2) + ended_with(zombies, 0), static_cast<int>(zombies.size()));

  int next = connect_to(s.port);
  ASSERT_GE(next, 0);
  EXPECT_EQ(bind_as(next, 1, person_dn(1), "pw1"), 0);
  EXPECT_EQ(find_cn(next, 2, "p1").entries.size(), 1u);
  // Reaped at that accept; the running child is not a zombie.
  EXPECT_TRUE(zombie_statuses(s.pid).empty());
  ASSERT_TRUE(send_bytes(next, unbind_request(3)));
  EXPECT_TRUE(wait_closed(next, 5000));
  close(next);
  close(other);
  EXPECT_FALSE(s.wait_exit(100));
}

TEST(Ferrowyn, ConnectionsStartAnonymousAndSeeEarlierChanges) {
  server s;
  ASSERT_TRUE(start(&s, kAdminAcl, /*stdin_closed=*/true));

  int admin = connect_to(s.port);
  ASSERT_GE(admin, 0);
  ASSERT_EQ(bind_as(admin, 1, kAdmin, "admin"), 0);
  EXPECT_EQ(modify(admin, 2, person_dn(7), "changed by admin"), 0);
  ASSERT_TRUE(send_bytes(admin, wire::add_request(3, "cn=new,o=soak",
                                                  {{"objectClass", {"person"}}, {"cn", {"new"}}})));
  EXPECT_EQ(wire::read_result(admin).code, 0);
  close(admin);

  // The next connection is anonymous: refused where the admin was allowed.
  int next = connect_to(s.port);
  ASSERT_GE(next, 0);
  EXPECT_EQ(modify(next, 1, person_dn(7), "anonymous"), 50);
  // And it sees what the admin's connection changed.
  wire::search_answer changed = find_cn(next, 2, "p7");
  ASSERT_EQ(changed.entries.count(person_dn(7)), 1u);
  EXPECT_EQ(changed.entries[person_dn(7)], std::vector<std::string>{"description: changed by admin"});
  EXPECT_EQ(find_cn(next, 3, "new").entries.count("cn=new,o=soak"), 1u);
  close(next);

  // Standard input at its end did not stop the server. No trace lines:
  // only the line every modify gets, and the added DN on standard output.
  EXPECT_FALSE(s.wait_exit(100));
  EXPECT_EQ(s.stderr_text(), "modifyrequest!\nmodifyrequest!\n");
  EXPECT_EQ(s.stdout_text(), "cn=new,o=soak\n");
}

// Eight clients for a bounded time mix searches, binds, modifies and adds,
// reconnecting every few dozen requests. Every answer is checked; every
// change answered with success must be in the journal, which must read
// back whole.
TEST(Ferrowyn, ConcurrentClientsSoak) {
  const char* env_seconds = getenv("FERROWYN_SOAK_SECONDS");
  const int seconds = env_seconds != nullptr ? std::atoi(env_seconds) : 30;
  constexpr int kClients = 8;
  constexpr int kMaxOpsPerClient = 200000;
  server s;
  ASSERT_TRUE(start(&s, kOpenAcl));

  struct tally {
    long searches = 0, binds = 0, modifies = 0, adds = 0, connections = 0, errors = 0;
    std::vector<std::string> changes;  // every description and added cn answered with success
  };
  std::vector<tally> tallies(kClients);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

  auto client = [&](int c) {
    tally& t = tallies[c];
    std::mt19937 rng(c + 1);
    int fd = -1;
    uint64_t id = 0;
    // This client's own people: the last description it set on each.
    std::vector<std::string> last(kPeople / kClients, "start");
    for (int n = 0; n < kMaxOpsPerClient && std::chrono::steady_clock::now() < deadline; ++n) {
      if (fd < 0 || rng() % 40 == 0) {
        if (fd >= 0) {
          send_bytes(fd, unbind_request(++id));
          close(fd);
        }
        fd = connect_to(s.port);
        if (fd < 0) {
          ++t.errors;
          continue;
        }
        ++t.connections;
        // A new connection sees every change this client made before.
        const int mine = static_cast<int>(rng() % last.size());
        const int who = c + mine * kClients;
        wire::search_answer a = find_cn(fd, ++id, "p" + std::to_string(who));
        if (a.code != 0 || a.entries[person_dn(who)] != std::vector<std::string>{"description: " + last[mine]})
          ++t.errors;
        ++t.searches;
      }
      const unsigned kind = rng() % 20;
      const int anyone = static_cast<int>(rng() % kPeople);
      if (kind < 10) {
        wire::search_answer a = find_cn(fd, ++id, "p" + std::to_string(anyone));
        if (a.code != 0 || a.entries.size() != 1 || a.entries.count(person_dn(anyone)) != 1) ++t.errors;
        ++t.searches;
      } else if (kind < 15) {
        if (bind_as(fd, ++id, person_dn(anyone), "pw" + std::to_string(anyone)) != 0) ++t.errors;
        ++t.binds;
      } else if (kind < 19) {
        const int mine = static_cast<int>(rng() % last.size());
        std::string value = "c" + std::to_string(c) + " n" + std::to_string(n);
        if (modify(fd, ++id, person_dn(c + mine * kClients), value) == 0) {
          last[mine] = value;
          t.changes.push_back("description: " + value);
        } else {
          ++t.errors;
        }
        ++t.modifies;
      } else {
        std::string cn = "added c" + std::to_string(c) + " n" + std::to_string(n);
        if (send_bytes(fd, wire::add_request(++id, "cn=" + cn + ",o=soak",
                                             {{"objectClass", {"person"}}, {"cn", {cn}}})) &&
            wire::read_result(fd).code == 0) {
          t.changes.push_back("cn: " + cn);
        } else {
          ++t.errors;
        }
        ++t.adds;
      }
    }
    if (fd >= 0) close(fd);
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(client, c);
  for (std::thread& th : threads) th.join();

  tally total;
  std::set<std::string> answered;
  for (const tally& t : tallies) {
    total.searches += t.searches;
    total.binds += t.binds;
    total.modifies += t.modifies;
    total.adds += t.adds;
    total.connections += t.connections;
    total.errors += t.errors;
    answered.insert(t.changes.begin(), t.changes.end());
  }
  std::printf("soak: %d s, %d clients: %ld connections, %ld searches, %ld binds, %ld modifies, "
              "%ld adds, %ld errors\n",
              seconds, kClients, total.connections, total.searches, total.binds, total.modifies,
              total.adds, total.errors);
  EXPECT_EQ(total.errors, 0);
  // Every child read the journal whole: no torn record ever looked like
  // an edit or failed to parse.
  std::string err = s.stderr_text();
  for (size_t at = 0; at < err.size();) {
    size_t nl = err.find('\n', at);
    std::string line = err.substr(at, nl - at);
    if (line != "modifyrequest!") {
      ADD_FAILURE() << "unexpected line on standard error: " << line;
      break;
    }
    at = nl == std::string::npos ? err.size() : nl + 1;
  }
  EXPECT_GT(total.modifies + total.adds, 0);

  // The journal reads back to its end, one record per change answered
  // with success, each holding that change.
  static std::set<std::string>* seen;
  static long records;
  std::set<std::string> found;
  seen = &found;
  records = 0;
  entry_callback = [](const ldif_record* r) {
    ++records;
    for (uint32_t i = 0; i < r->count; ++i) {
      const char* n = name_pool.strings.base + r->pairs[i].name;
      std::string name(stored_str_data(n), stored_str_len(n));
      if (name != "description" && name != "cn") continue;
      const char* v = value_arena.base + r->pairs[i].value;
      seen->insert(name + ": " + std::string(stored_str_data(v), stored_str_len(v)));
    }
    return 0;
  };
  struct stat status;
  ASSERT_EQ(parse_ldif(s.dir.file("journal").c_str(), 0, &status), 0);
  entry_callback = nullptr;
  EXPECT_EQ(status.st_size, static_cast<off_t>(read_file(s.dir.file("journal")).size()));
  EXPECT_EQ(records, static_cast<long>(answered.size()));
  for (const std::string& change : answered) EXPECT_EQ(found.count(change), 1u) << change;

  // And the server still answers.
  int fd = connect_to(s.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(bind_as(fd, 1, kAdmin, "admin"), 0);
  EXPECT_EQ(find_cn(fd, 2, "p5").code, 0);
  close(fd);
  EXPECT_FALSE(s.wait_exit(10));
}

}  // namespace
