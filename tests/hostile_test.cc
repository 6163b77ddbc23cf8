// ferrowyn against hostile clients: garbage, truncated and oversized
// messages, filters nested far too deep, mutated requests, clients that
// trickle one byte at a time and clients that vanish or reset, with
// well-behaved clients in between whose answers are checked.
//
// What must hold: a request that does not decode is answered (a filter
// nested too deep gets protocolError) and an input that cannot be framed
// ends only the child that serves its connection, and that child ends by
// exit (status 0 or 2), never by a signal; the parent keeps answering correctly; and the parent
// holds no more descriptors or memory after thousands of such connections
// than before them.
//
// A child's exit status is seen in two ways. The sequential cases run the
// server on its own and read each child's status from /proc while it waits
// as a zombie (the parent reaps it only at its next accept, so a case that
// is the only connection has its child's status to itself; under the
// address sanitizer the leak check stays on there). The concurrent run
// starts the server under strace, which reports the end of every process
// it follows, so no child's end can slip between two samples.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/ldap_message.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"
#include "tests/processes.h"

using namespace harness;

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kPeople = 100;
constexpr size_t kBufferSize = 8192;  // the server's receive buffer
const char* const kStrace = "/usr/bin/strace";

std::string person_dn(int i) { return "cn=p" + std::to_string(i) + ",o=hostile"; }
std::string password_of(int i) { return "pw" + std::to_string(i); }
std::string description_of(int i) { return "person " + std::to_string(i); }

std::string directory_ldif() {
  std::string ldif = "dn: o=hostile\nobjectClass: organization\no: hostile\n\n";
  ldif += "dn: cn=admin,o=hostile\nobjectClass: person\ncn: admin\nuserPassword: admin\n\n";
  for (int i = 0; i < kPeople; ++i) {
    ldif += "dn: " + person_dn(i) + "\nobjectClass: person\ncn: p" + std::to_string(i) +
            "\nuserPassword: " + password_of(i) + "\ndescription: " + description_of(i) + "\n\n";
  }
  return ldif;
}

// Imports the directory, readable by everyone and changeable by no one, so
// that nothing a hostile client sends can change what the others see.
bool import_directory(server* s) {
  write_file(s->dir.file("people.ldif"), directory_ldif());
  write_file(s->dir.file("people.acl"), "* * * +r\n");
  run_result imported = run_program(program_path("ldifimport"),
                                    {"-i", "cn", "-a", s->dir.file("people.acl"), s->data_path(),
                                     s->dir.file("people.ldif")});
  EXPECT_EQ(imported.status, 0) << imported.err;
  return imported.status == 0;
}

// Sanitizer reports get exit codes of their own, so that none can pass for
// one of the statuses a child may legitimately end with.
const std::vector<std::string> kSanitizerEnv = {"ASAN_OPTIONS=exitcode=86",
                                                "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1"};

// ---- Processes --------------------------------------------------------------

using namespace procs;

// ---- Sockets ----------------------------------------------------------------

// A connection without time-outs of its own; every wait below is a poll.
int open_connection(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

// Ends the connection with a reset instead of an orderly close.
void reset_connection(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

// Sends bytes one at a time with a pause after each.
bool send_slowly(int fd, const std::string& bytes, int pause_us) {
  for (char c : bytes) {
    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return false;
    usleep(static_cast<useconds_t>(pause_us));
  }
  return true;
}

// What arrives until quiet_ms pass without a byte (or total_ms in all).
struct drained {
  std::string bytes;
  bool closed = false;  // orderly end or reset from the server
};

drained drain(int fd, int quiet_ms, int total_ms) {
  drained d;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(total_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return d;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long>(quiet_ms, left.count())));
    if (r == 0) return d;
    if (r < 0) {
      if (errno == EINTR) continue;
      return d;
    }
    char buf[16384];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      d.closed = true;
      return d;
    }
    d.bytes.append(buf, static_cast<size_t>(n));
    if (d.bytes.size() > (4u << 20)) return d;
  }
}

// Whether bytes the server sent are whole LDAP answers one after the other
// (a last one may be cut short when the reader stopped early).
bool whole_answers(const std::string& bytes, bool complete) {
  static const std::set<uint64_t> answers = {ldap_bind_response,    ldap_search_result_entry,
                                             ldap_search_result_done, ldap_modify_response,
                                             ldap_add_response,     ldap_del_response,
                                             ldap_compare_response, ldap_extended_response};
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end) {
    uint64_t size = 0;
    const int framed = ldap_message_size(p, end, &size);
    if (framed < 0) return false;
    if (framed == 0 || size > static_cast<uint64_t>(end - p)) return !complete;
    int64_t id;
    uint64_t op, len;
    if (ldap_decode_message(p, p + size, &id, &op, &len) == 0 || answers.count(op) == 0) return false;
    p += size;
  }
  return true;
}

// ---- Requests ---------------------------------------------------------------

std::string search_cn(uint64_t id, int i) {
  return wire::search_request(id, "o=hostile", 2, wire::equal("cn", "p" + std::to_string(i)),
                              {"description"});
}

// A search for cn=p<i> under `levels` nested operators of the given filter
// tag (0xa0 and, 0xa1 or, 0xa2 not), each with the one below as its only
// operand.
std::string nested_search(uint64_t id, unsigned char tag, int levels, int i) {
  std::string filter = wire::equal("cn", "p" + std::to_string(i));
  for (int k = 0; k < levels; ++k) filter = wire::tlv(tag, filter);
  return wire::search_request(id, "o=hostile", 2, filter, {"description"});
}

// The most levels of that nesting whose search still fits the receive
// buffer.
int deepest_fitting(unsigned char tag) {
  int levels = 0;
  std::string filter = wire::equal("cn", "p1");
  for (;;) {
    std::string deeper = wire::tlv(tag, filter);
    if (wire::search_request(1, "o=hostile", 2, deeper, {"description"}).size() > kBufferSize) break;
    filter = deeper;
    ++levels;
  }
  return levels;
}

// An OR of `operands` equality filters over cn=p0 .. p<kPeople-1>, round
// and round: flat, so it must be answered however many operands it has.
std::string wide_or_search(uint64_t id, int operands) {
  std::string list;
  for (int k = 0; k < operands; ++k) list += wire::equal("cn", "p" + std::to_string(k % kPeople));
  return wire::search_request(id, "o=hostile", 2, wire::tlv(0xa1, list), {"cn"});
}

std::string compare_request(uint64_t id) {
  return ldap_message(id, 14, wire::octets(person_dn(1)) +
                                  wire::tlv(0x30, wire::octets("cn") + wire::octets("p1")));
}

std::string modify_dn_request(uint64_t id) {
  return ldap_message(id, 12, wire::octets(person_dn(1)) + wire::octets("cn=moved") +
                                  wire::tlv(0x01, std::string(1, '\xff')));
}

// Valid requests of every kind the server knows and some it does not: the
// raw material for mutation.
std::vector<std::string> request_templates() {
  return {
      bind_request(1, person_dn(3), password_of(3)),
      bind_request(2, "", ""),
      search_cn(3, 5),
      wire::search_request(4, "o=hostile", 2, wire::prefix("cn", "p1"), {}),
      wire::search_request(5, "o=hostile", 1, wire::present("objectClass"), {"cn", "*"}),
      wire::search_request(6, person_dn(9), 0, wire::tlv(0xa0, wire::equal("cn", "p9") +
                                                                    wire::present("cn"))),
      nested_search(7, 0xa2, 6, 2),
      wire::modify_replace(8, person_dn(4), "description", {"changed", "twice"}),
      wire::add_request(9, "cn=new,o=hostile", {{"objectClass", {"person"}}, {"cn", {"new"}}}),
      wire::del_request(10, person_dn(6)),
      abandon_request(11, 3),
      unbind_request(12),
      compare_request(13),
      ldap_message(14, 23, wire::tlv(0x80, "1.3.6.1.4.1.1466.20037")),
  };
}

// 1 to 4 random changes: bytes overwritten or flipped, a length octet made
// huge, bytes inserted or cut, or the message repeated.
std::string mutate(std::string m, std::mt19937& rng) {
  const int changes = 1 + static_cast<int>(rng() % 4);
  for (int k = 0; k < changes && !m.empty(); ++k) {
    const size_t at = rng() % m.size();
    switch (rng() % 7) {
      case 0:
        m[at] = static_cast<char>(rng());
        break;
      case 1:
        m[at] = static_cast<char>(m[at] ^ (1 << (rng() % 8)));
        break;
      case 2: {
        static const char* const huge[] = {"\x84\xff\xff\xff\xff", "\x88\x7f\xff\xff\xff\xff\xff\xff\xff",
                                           "\x82\x20\x01", "\x80", "\xff"};
        const char* h = huge[rng() % 5];
        m.replace(at, 1, h, std::strlen(h));
        break;
      }
      case 3: {
        std::string junk(1 + rng() % 8, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        m.insert(at, junk);
        break;
      }
      case 4:
        m.erase(at, 1 + rng() % 4);
        break;
      case 5:
        m[at] = static_cast<char>(m[at] + 1);
        break;
      default:
        if (m.size() < kBufferSize / 2) m += m;
        break;
    }
  }
  return m;
}

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// ---- Checked answers -------------------------------------------------------

struct checker {
  std::mutex lock;
  long failures = 0;
  std::vector<std::string> first;  // the first few, for the report

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> g(lock);
    ++failures;
    if (first.size() < 12) first.push_back(what);
  }
};

// One search for cn=p<i>: exactly that person with its description.
bool search_ok(int fd, uint64_t id, int i, std::string* why) {
  if (!send_bytes(fd, search_cn(id, i))) {
    *why = "search not sent";
    return false;
  }
  wire::search_answer a = wire::read_search(fd);
  const std::map<std::string, std::vector<std::string>> want = {
      {person_dn(i), {"description: " + description_of(i)}}};
  if (a.code != 0 || a.entries != want) {
    *why = "search for p" + std::to_string(i) + ": code " + std::to_string(a.code) + ", " +
           std::to_string(a.entries.size()) + " entries";
    return false;
  }
  return true;
}

bool result_ok(int fd, const std::string& request, uint64_t id, uint64_t op, int64_t code,
               std::string* why) {
  if (!send_bytes(fd, request)) {
    *why = "request not sent";
    return false;
  }
  wire::result r = wire::read_result(fd);
  if (r.id != static_cast<int64_t>(id) || r.op != op || r.code != code) {
    *why = "op " + std::to_string(op) + " wanted code " + std::to_string(code) + ", got id " +
           std::to_string(r.id) + " op " + std::to_string(r.op) + " code " + std::to_string(r.code);
    return false;
  }
  return true;
}

// A well-behaved request on an open connection, its answer checked.
bool polite_request(int fd, uint64_t id, std::mt19937& rng, std::string* why) {
  const int i = static_cast<int>(rng() % kPeople);
  switch (rng() % 7) {
    case 0:
      return result_ok(fd, bind_request(id, person_dn(i), password_of(i)), id, ldap_bind_response, 0, why);
    case 1:
      return result_ok(fd, bind_request(id, person_dn(i), "wrong"), id, ldap_bind_response,
                       ldap_invalid_credentials, why);
    case 2:
      return result_ok(fd, wire::add_request(id, "cn=x" + std::to_string(i) + ",o=hostile",
                                             {{"objectClass", {"person"}}, {"cn", {"x"}}}),
                       id, ldap_add_response, ldap_insufficient_access_rights, why);
    case 3: {
      // 300 operands naming every person three times: each answered once.
      if (!send_bytes(fd, wide_or_search(id, 300))) {
        *why = "wide OR not sent";
        return false;
      }
      wire::search_answer a = wire::read_search(fd);
      if (a.code != 0 || a.entries.size() != static_cast<size_t>(kPeople)) {
        *why = "wide OR: code " + std::to_string(a.code) + ", " + std::to_string(a.entries.size()) +
               " entries";
        return false;
      }
      return true;
    }
    case 4: {
      // An even number of nested NOTs, within the nesting the server takes.
      const int levels = 2 * static_cast<int>(1 + rng() % 50);
      if (!send_bytes(fd, nested_search(id, 0xa2, levels, i))) {
        *why = "nested NOTs not sent";
        return false;
      }
      wire::search_answer a = wire::read_search(fd);
      if (a.code != 0 || a.entries.size() != 1 || a.entries.count(person_dn(i)) != 1) {
        *why = std::to_string(levels) + " NOTs: code " + std::to_string(a.code) + ", " +
               std::to_string(a.entries.size()) + " entries";
        return false;
      }
      return true;
    }
    default:
      return search_ok(fd, id, i, why);
  }
}

// ---- Sequential cases -------------------------------------------------------

enum class expect_kind {
  closes,   // the server closes the connection without an answer
  notice,   // the server sends a Notice of Disconnection, then closes
  waits,    // the server waits for more: nothing arrives, the connection stays open
  answers,  // the answers in `answers` arrive, then the server waits for more
};

// One awaited answer: a search (op 5) with the DNs it returns, or a result.
struct awaited {
  uint64_t op;
  int64_t code;
  std::vector<std::string> dns;
};

struct hostile_case {
  const char* name;
  std::string bytes;
  bool slow;       // sent one byte at a time
  expect_kind expect;
  std::vector<awaited> answers;
  bool reset;      // the client ends with a reset instead of a close
  int status;      // the child's exit status
  const char* line;  // what the child writes on standard error, "" for nothing
};

std::vector<hostile_case> hostile_cases() {
  const int not_levels = deepest_fitting(0xa2);
  const int and_levels = deepest_fitting(0xa0);
  const std::string bind = bind_request(1, person_dn(3), password_of(3));
  const std::string search = search_cn(2, 5);
  const awaited bound{ldap_bind_response, 0, {}};
  const awaited found5{ldap_search_result_done, 0, {person_dn(5)}};
  std::string big_search = wire::search_request(1, "o=hostile", 2, wire::present("objectClass"), {"*"});
  std::string pipelined;
  std::vector<awaited> pipelined_answers;
  for (int k = 0; k < 20; ++k) {
    pipelined += search_cn(static_cast<uint64_t>(k) + 1, k);
    pipelined_answers.push_back({ldap_search_result_done, 0, {person_dn(k)}});
  }
  // A search whose equality value claims 2^32 - 1 bytes, inside an
  // envelope of honest size.
  std::string huge_value = wire::search_request(
      1, "o=hostile", 2, hex_bytes("a3 0b 04 02") + "cn" + hex_bytes("04 84 ff ff ff ff") + "p",
      {});
  // A search the server cannot decode: answered protocolError, no entry.
  const awaited undecodable{ldap_search_result_done, 2, {}};
  // A protocolOp whose length runs past the end of its envelope.
  std::string op_past_envelope = hex_bytes("30 0a 02 01 01 63 84 ff ff ff ff 04");

  return {
      {"nothing sent, then closed", "", false, expect_kind::waits, {}, false, 0, ""},
      {"nothing sent, then reset", "", false, expect_kind::waits, {}, true, 0, ""},
      {"a first byte that is no SEQUENCE", hex_bytes("ff 00 01 02"), false, expect_kind::closes, {},
       false, 2, ""},
      {"text instead of BER", "GET / HTTP/1.0\r\n\r\n", false, expect_kind::closes, {}, false, 2, ""},
      {"a length of 2^32 - 1 (0x84 ff ff ff ff)", hex_bytes("30 84 ff ff ff ff 02 01 01"), false,
       expect_kind::closes, {}, false, 2, ""},
      {"a length in eight octets", hex_bytes("30 88 7f ff ff ff ff ff ff ff 02"), false,
       expect_kind::closes, {}, false, 2, ""},
      {"a length in nine octets", hex_bytes("30 89 01 00 00 00 00 00 00 00 00 02"), false,
       expect_kind::closes, {}, false, 2, ""},
      {"a message one byte longer than the buffer", hex_bytes("30 82 1f fd 02 01 01"), false,
       expect_kind::closes, {}, false, 2, ""},
      {"an indefinite length", hex_bytes("30 80 02 01 01 42 00 00 00"), false, expect_kind::closes, {},
       false, 2, ""},
      {"a messageID that is no INTEGER", hex_bytes("30 05 04 01 01 42 00"), false, expect_kind::closes,
       {}, false, 2, ""},
      {"a protocolOp of universal class", hex_bytes("30 05 02 01 01 30 00"), false,
       expect_kind::closes, {}, false, 2, ""},
      {"a protocolOp longer than its envelope", op_past_envelope, false, expect_kind::closes, {},
       false, 2, ""},
      {"a bind cut short, then closed", bind.substr(0, bind.size() - 3), false, expect_kind::waits, {},
       false, 0, ""},
      {"a bind cut short, then reset", bind.substr(0, 4), false, expect_kind::waits, {}, true, 0, ""},
      {"a bind sent one byte at a time", bind, true, expect_kind::answers, {bound}, false, 0, ""},
      {"a search sent one byte at a time, then reset", search, true, expect_kind::answers, {found5},
       true, 0, ""},
      {"twenty searches in one write", pipelined, false, expect_kind::answers, pipelined_answers, false,
       0, ""},
      {"100 nested NOTs (the most taken)", nested_search(1, 0xa2, 100, 5), false, expect_kind::answers,
       {found5}, false, 0, ""},
      {"101 nested NOTs", nested_search(1, 0xa2, 101, 5), false, expect_kind::answers,
       {undecodable}, false, 0, "couldn't parse search request!\n"},
      {"thousands of nested NOTs", nested_search(1, 0xa2, not_levels, 5), false, expect_kind::answers,
       {undecodable}, false, 0, "couldn't parse search request!\n"},
      {"thousands of nested ANDs", nested_search(1, 0xa0, and_levels, 5), false, expect_kind::answers,
       {undecodable}, false, 0, "couldn't parse search request!\n"},
      {"an OR of 600 operands", wide_or_search(1, 600), false, expect_kind::answers,
       {{ldap_search_result_done, 0, {}}}, false, 0, ""},
      {"a filter value claiming 2^32 - 1 bytes", huge_value, false, expect_kind::answers,
       {undecodable}, false, 0, "couldn't parse search request!\n"},
      {"a CompareRequest", compare_request(1), false, expect_kind::answers,
       {{ldap_compare_response, 6, {}}}, false, 0, ""},
      {"a ModifyDNRequest", modify_dn_request(1), false, expect_kind::notice, {}, false, 0,
       "unknown request type 12\n"},
      {"an unbind followed by a search in one write", unbind_request(1) + search, false,
       expect_kind::closes, {}, false, 0, ""},
      {"a delete with an empty DN, then a search", wire::del_request(1, "") + search, false,
       expect_kind::answers, {{ldap_del_response, 2, {}}, found5}, false, 0, ""},
      {"an abandon, then a search", abandon_request(1, 7) + search, false, expect_kind::answers,
       {found5}, false, 0, ""},
      {"a search for everything, reset before reading the answer", big_search, false, expect_kind::waits,
       {}, true, 0, ""},
  };
}

// The zombies of parent not in `seen`, keyed by pid and start time.
using proc_key = std::pair<pid_t, uint64_t>;

std::vector<proc_entry> new_zombies(pid_t parent, const std::set<proc_key>& seen) {
  std::vector<proc_entry> out;
  for (const proc_entry& e : children_of(parent))
    if (e.state == 'Z' && seen.count({e.pid, e.start}) == 0) out.push_back(e);
  return out;
}

// Waits for the child of the case just run to end, and returns the zombies
// that appeared.
std::vector<proc_entry> await_case_child(pid_t parent, std::set<proc_key>* seen) {
  const auto deadline = clock_type::now() + std::chrono::seconds(20);
  std::vector<proc_entry> fresh;
  while (clock_type::now() < deadline) {
    fresh = new_zombies(parent, *seen);
    if (!fresh.empty() && !has_running_child(parent)) break;
    usleep(2000);
  }
  // Children ending at once would show together; give a late one the chance.
  usleep(20000);
  fresh = new_zombies(parent, *seen);
  for (const proc_entry& e : fresh) seen->insert({e.pid, e.start});
  return fresh;
}

// Reads the awaited answers and checks them; "" when all is right.
std::string check_answers(int fd, const std::vector<awaited>& answers) {
  for (const awaited& a : answers) {
    if (a.op == ldap_search_result_done) {
      wire::search_answer got = wire::read_search(fd);
      std::vector<std::string> dns;
      for (const auto& entry : got.entries) dns.push_back(entry.first);
      if (got.code != a.code) return "search done with code " + std::to_string(got.code);
      if (!a.dns.empty() && dns != a.dns) return "search answered " + std::to_string(dns.size()) + " entries";
      if (a.code != 0 && !got.entries.empty())
        return "a failed search answered " + std::to_string(got.entries.size()) + " entries";
      if (a.code == 0 && a.dns.empty() && got.entries.size() != static_cast<size_t>(kPeople))
        return "search answered " + std::to_string(got.entries.size()) + " entries";
    } else {
      wire::result r = wire::read_result(fd);
      if (r.op != a.op || r.code != a.code)
        return "answer op " + std::to_string(r.op) + " code " + std::to_string(r.code);
    }
  }
  return "";
}

TEST(Hostile, EachInputEndsOnlyItsOwnChildWithTheRightStatus) {
  server s;
  ASSERT_TRUE(import_directory(&s));
  std::string why;
  ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn"), kSanitizerEnv, &why)) << why;

  // "Thousands" is what the nesting cases claim.
  EXPECT_GT(deepest_fitting(0xa2), 1000);
  EXPECT_GT(deepest_fitting(0xa0), 1000);

  // The start-up probe's child is set aside: it has ended, and may or may
  // not have been reaped already.
  std::set<proc_key> seen;
  ASSERT_TRUE(wait_children_ended(s.pid, 20000));
  for (const proc_entry& e : new_zombies(s.pid, seen)) seen.insert({e.pid, e.start});

  std::string expected_err;
  int resets = 0;
  for (const hostile_case& c : hostile_cases()) {
    SCOPED_TRACE(c.name);
    int fd = open_connection(s.port);
    ASSERT_GE(fd, 0);
    // The child's status can be read only while it waits to be reaped, and
    // the parent reaps before every accept: so the case starts only once
    // its child runs and the parent is back in accept, else a child that
    // ends at once may be reaped before anyone sees it.
    for (int i = 0; i < 2000 && !has_running_child(s.pid); ++i) usleep(1000);
    usleep(20000);
    if (c.slow) {
      ASSERT_TRUE(send_slowly(fd, c.bytes, 2000));
    } else if (!c.bytes.empty()) {
      ASSERT_TRUE(send_bytes(fd, c.bytes));
    }
    if (c.expect == expect_kind::answers) {
      EXPECT_EQ(check_answers(fd, c.answers), "");
    }
    if (c.expect == expect_kind::closes) {
      drained d = drain(fd, 15000, 15000);
      EXPECT_TRUE(d.closed) << "the server did not close the connection";
      EXPECT_EQ(d.bytes, "") << "no answer was expected";
    } else if (c.expect == expect_kind::notice) {
      drained d = drain(fd, 15000, 15000);
      EXPECT_TRUE(d.closed) << "the server did not close the connection";
      int64_t id = -1;
      uint64_t op = 0, len = 0;
      EXPECT_NE(ldap_decode_message(d.bytes.data(), d.bytes.data() + d.bytes.size(), &id, &op, &len),
                0u);
      EXPECT_EQ(id, 0);
      EXPECT_EQ(op, ldap_extended_response);
      EXPECT_NE(d.bytes.find(ldap_oid_notice_of_disconnection), std::string::npos);
    } else if (!(c.reset && c.expect == expect_kind::waits)) {
      // Nothing more comes, and the connection stays open.
      drained d = drain(fd, 300, 300);
      EXPECT_FALSE(d.closed);
      EXPECT_EQ(to_hex(d.bytes), "");
    }
    if (c.reset) {
      reset_connection(fd);
      ++resets;
    } else {
      close(fd);
    }
    std::vector<proc_entry> ended = await_case_child(s.pid, &seen);
    ASSERT_EQ(ended.size(), 1u) << "children that ended for this case";
    EXPECT_TRUE(WIFEXITED(ended[0].exit_code)) << "raw status " << ended[0].exit_code;
    if (WIFSIGNALED(ended[0].exit_code)) ADD_FAILURE() << "killed by signal " << WTERMSIG(ended[0].exit_code);
    EXPECT_EQ(WEXITSTATUS(ended[0].exit_code), c.status);
    expected_err += c.line;
  }

  // Standard error holds each case's line in order. A reset may meet the
  // child in a read, which it reports with "error!".
  std::string err = s.stderr_text();
  std::string without_errors;
  int error_lines = 0;
  for (size_t at = 0; at < err.size();) {
    size_t nl = err.find('\n', at);
    nl = nl == std::string::npos ? err.size() : nl + 1;
    const std::string line = err.substr(at, nl - at);
    if (line == "error!\n") {
      ++error_lines;
    } else {
      without_errors += line;
    }
    at = nl;
  }
  EXPECT_EQ(without_errors, expected_err);
  EXPECT_LE(error_lines, resets);

  // And the parent goes on as before.
  int fd = open_connection(s.port);
  ASSERT_GE(fd, 0);
  std::string problem;
  EXPECT_TRUE(search_ok(fd, 1, 42, &problem)) << problem;
  close(fd);
  EXPECT_FALSE(s.wait_exit(50));
}

// ---- Concurrent run -------------------------------------------------------

// How the children's ends are observed during the concurrent run.
struct end_watch {
  bool strace = false;
  std::string log;  // strace's output file
  // Without strace: zombies sampled from /proc, by pid and start time.
  std::mutex lock;
  std::map<proc_key, int> sampled;
  std::atomic<bool> sampling{false};
  std::thread sampler;

  void stop_sampling() {
    sampling = false;
    if (sampler.joinable()) sampler.join();
  }
  ~end_watch() { stop_sampling(); }
};

bool strace_works(const std::string& dir) {
  if (access(kStrace, X_OK) != 0) return false;
  const std::string log = dir + "/strace-probe.log";
  run_result r = run_program(kStrace, {"-f", "--seccomp-bpf", "-e", "trace=exit_group", "-e",
                                       "signal=none", "-o", log, "/bin/sh", "-c", "(exit 3); exit 0"});
  const std::string text = read_file(log);
  return r.status == 0 && text.find("+++ exited with 3 +++") != std::string::npos;
}

// The parent ferrowyn process: strace's child, or the server itself.
pid_t find_parent(const server& s, bool strace) {
  if (!strace) return s.pid;
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < deadline) {
    for (const proc_entry& e : children_of(s.pid))
      if (e.comm == "ferrowyn" && e.state != 'Z') return e.pid;
    usleep(5000);
  }
  return -1;
}

struct ends_seen {
  std::map<int, long> exited;         // status -> children
  std::vector<std::string> killed;    // what strace said of each killed child
  long total = 0;
};

ends_seen parse_strace(const std::string& log, pid_t parent) {
  ends_seen out;
  for (size_t at = 0; at < log.size();) {
    size_t nl = log.find('\n', at);
    if (nl == std::string::npos) nl = log.size();
    const std::string line = log.substr(at, nl - at);
    at = nl + 1;
    const pid_t pid = std::atoi(line.c_str());
    if (pid == parent) continue;
    size_t p = line.find("+++ exited with ");
    if (p != std::string::npos) {
      ++out.exited[std::atoi(line.c_str() + p + 16)];
      ++out.total;
    } else if (line.find("+++ killed by ") != std::string::npos) {
      out.killed.push_back(line);
      ++out.total;
    }
  }
  return out;
}

TEST(Hostile, ConcurrentHostileAndPoliteClients) {
  int seconds = 20;
  if (const char* e = getenv("FERROWYN_HOSTILE_SECONDS"); e != nullptr && std::atoi(e) > 0)
    seconds = std::min(std::atoi(e), 60);
  constexpr int kHostileThreads = 5;
  constexpr int kPoliteThreads = 2;
  constexpr int kSlowThreads = 1;

  server s;
  ASSERT_TRUE(import_directory(&s));
  end_watch watch;
  watch.strace = strace_works(s.dir.path);
  watch.log = s.dir.file("strace.log");
  std::string why;
  if (watch.strace) {
    // The leak check cannot run under a tracer (it traces the process
    // itself) and would turn every exit into a failure of its own.
    std::vector<std::string> env = {"ASAN_OPTIONS=exitcode=86:detect_leaks=0",
                                    "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1"};
    ASSERT_TRUE(start_server(&s, kStrace,
                             {"-f", "--seccomp-bpf", "-e", "trace=exit_group", "-e", "signal=none",
                              "-o", watch.log, program_path("ferrowyn"), s.data_path()},
                             env, &why))
        << why;
  } else {
    std::printf("strace does not work here: sampling zombies instead\n");
    ASSERT_TRUE(start_server_on_data(&s, program_path("ferrowyn"), kSanitizerEnv, &why)) << why;
  }
  const pid_t parent = find_parent(s, watch.strace);
  ASSERT_GT(parent, 0);
  // Ends the server before the harness ends strace, which would otherwise
  // leave it running untraced.
  struct stop_parent {
    pid_t pid;
    ~stop_parent() {
      if (pid > 0) kill(pid, SIGKILL);
    }
  } stop{watch.strace ? parent : -1};

  if (!watch.strace) {
    watch.sampling = true;
    watch.sampler = std::thread([&] {
      while (watch.sampling) {
        for (const proc_entry& e : children_of(parent)) {
          if (e.state != 'Z') continue;
          std::lock_guard<std::mutex> g(watch.lock);
          watch.sampled[{e.pid, e.start}] = e.exit_code;
        }
        usleep(1000);
      }
    });
  }

  checker check;
  std::atomic<long> connections{0}, served{0};
  enum { random_kind, truncated_kind, oversized_kind, nested_kind, mutated_kind, vanish_kind, slow_kind,
         polite_kind, kind_count };
  static const char* const kind_names[kind_count] = {"random",  "truncated", "oversized", "nested",
                                                     "mutated", "vanish",    "slow",      "polite"};
  std::atomic<long> kinds[kind_count] = {};

  // One hostile connection of a random kind.
  auto hostile_once = [&](std::mt19937& rng) {
    static const std::vector<std::string> templates = request_templates();
    const unsigned kind = rng() % 6;
    int fd = open_connection(s.port);
    if (fd < 0) {
      check.fail("connection refused");
      return;
    }
    ++connections;
    bool by_reset = rng() % 2 == 0;
    drained d;
    switch (kind) {
      case 0: {  // random bytes, half of them looking like a SEQUENCE
        ++kinds[random_kind];
        std::string bytes = random_bytes(rng, 1 + rng() % 600);
        if (rng() % 2 == 0) bytes[0] = 0x30;
        send_bytes(fd, bytes);
        d = drain(fd, 150, 2000);
        if (!whole_answers(d.bytes, d.closed)) check.fail("random bytes: garbage answer");
        break;
      }
      case 1: {  // a valid request cut short, closed or reset
        ++kinds[truncated_kind];
        const std::string& t = templates[rng() % templates.size()];
        send_bytes(fd, t.substr(0, 1 + rng() % (t.size() - 1)));
        d = drain(fd, 100, 1000);
        if (!d.bytes.empty()) check.fail("truncated request answered");
        break;
      }
      case 2: {  // lengths far beyond the buffer: closed at once
        ++kinds[oversized_kind];
        static const char* const heads[] = {"30 84 ff ff ff ff", "30 84 7f ff ff ff",
                                            "30 88 ff ff ff ff ff ff ff ff", "30 82 20 01",
                                            "30 83 01 00 00", "30 89 00 00 00 00 00 00 00 00 10"};
        std::string bytes = hex_bytes(heads[rng() % 6]) + random_bytes(rng, rng() % 64);
        send_bytes(fd, bytes);
        d = drain(fd, 10000, 10000);
        if (!d.closed || !d.bytes.empty()) check.fail("oversized message not refused at once");
        by_reset = false;
        break;
      }
      case 3: {  // nesting past the limit: answered protocolError, the connection goes on
        ++kinds[nested_kind];
        static const unsigned char tags[] = {0xa0, 0xa1, 0xa2};
        const unsigned char tag = tags[rng() % 3];
        static const int deepest[] = {deepest_fitting(0xa0), deepest_fitting(0xa1), deepest_fitting(0xa2)};
        const int most = deepest[tag - 0xa0];
        const int levels = 101 + static_cast<int>(rng() % static_cast<unsigned>(most - 100));
        send_bytes(fd, nested_search(1, tag, levels, static_cast<int>(rng() % kPeople)));
        const wire::search_answer refused = wire::read_search(fd);
        if (refused.code != 2 || !refused.entries.empty())
          check.fail("filter nested " + std::to_string(levels) + " deep not refused with 2");
        by_reset = false;
        break;
      }
      case 4: {  // mutated requests, one or a few in a row
        ++kinds[mutated_kind];
        std::string bytes;
        const int n = 1 + static_cast<int>(rng() % 3);
        for (int k = 0; k < n; ++k) bytes += mutate(templates[rng() % templates.size()], rng);
        send_bytes(fd, bytes);
        d = drain(fd, 150, 3000);
        if (!whole_answers(d.bytes, d.closed)) check.fail("mutated request: garbage answer");
        break;
      }
      default: {  // gone at once, or right after a request
        ++kinds[vanish_kind];
        if (rng() % 2 == 0) {
          send_bytes(fd, rng() % 2 == 0 ? search_cn(1, 1)
                                        : wire::search_request(1, "o=hostile", 2,
                                                               wire::present("objectClass"), {"*"}));
        }
        by_reset = rng() % 3 != 0;
        break;
      }
    }
    if (d.closed || !d.bytes.empty()) ++served;
    if (by_reset) {
      reset_connection(fd);
    } else {
      close(fd);
    }
  };

  // A connection of checked requests.
  auto polite_once = [&](std::mt19937& rng) {
    int fd = open_connection(s.port);
    if (fd < 0) {
      check.fail("connection refused");
      return;
    }
    ++connections;
    ++kinds[polite_kind];
    const int requests = 1 + static_cast<int>(rng() % 20);
    uint64_t id = 0;
    for (int k = 0; k < requests; ++k) {
      std::string problem;
      if (!polite_request(fd, ++id, rng, &problem)) {
        check.fail("polite: " + problem);
        break;
      }
    }
    ++served;
    send_bytes(fd, unbind_request(++id));
    if (!wait_closed(fd, 10000)) check.fail("unbind did not end the connection");
    close(fd);
  };

  // A well-formed request trickled in one byte at a time, its answer
  // checked; or garbage at the same pace.
  auto slow_once = [&](std::mt19937& rng) {
    int fd = open_connection(s.port);
    if (fd < 0) {
      check.fail("connection refused");
      return;
    }
    ++connections;
    ++kinds[slow_kind];
    const int pause_us = 1000 + static_cast<int>(rng() % 9000);
    const int i = static_cast<int>(rng() % kPeople);
    if (rng() % 4 == 0) {
      std::string bytes = random_bytes(rng, 1 + rng() % 40);
      bytes[0] = 0x30;
      send_slowly(fd, bytes, pause_us);
      drained d = drain(fd, 100, 1000);
      if (!whole_answers(d.bytes, d.closed)) check.fail("slow garbage: garbage answer");
    } else {
      if (!send_slowly(fd, search_cn(7, i), pause_us)) {
        check.fail("slow search not sent");
      } else {
        wire::search_answer a = wire::read_search(fd);
        if (a.code != 0 || a.entries.size() != 1 || a.entries.count(person_dn(i)) != 1)
          check.fail("slow search: code " + std::to_string(a.code));
      }
    }
    ++served;
    close(fd);
  };

  // Warm-up: every kind a few times, one after the other, so that whatever
  // the parent sets up once is set up before the baseline is taken.
  {
    std::mt19937 rng(12345);
    for (int k = 0; k < 60; ++k) hostile_once(rng);
    for (int k = 0; k < 5; ++k) polite_once(rng);
    slow_once(rng);
  }
  ASSERT_TRUE(wait_children_ended(parent, 30000));
  const footprint before = footprint_of(parent);

  const auto deadline = clock_type::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < kHostileThreads + kPoliteThreads + kSlowThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(1000 + t));
      // A bound on the count as well as on the time.
      for (int n = 0; n < 100000 && clock_type::now() < deadline; ++n) {
        if (t < kHostileThreads) {
          hostile_once(rng);
          // Well-behaved requests in between on the hostile threads too.
          if (n % 10 == 9) polite_once(rng);
        } else if (t < kHostileThreads + kPoliteThreads) {
          polite_once(rng);
        } else {
          slow_once(rng);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();

  // Every child ends once its client is gone: none hangs.
  EXPECT_TRUE(wait_children_ended(parent, 30000)) << "children still running after their clients left";
  const footprint after = footprint_of(parent);

  // One last connection: the parent reaps every ended child before it
  // accepts, and answers as it did at the start.
  {
    int fd = open_connection(s.port);
    ASSERT_GE(fd, 0);
    std::string problem;
    EXPECT_TRUE(search_ok(fd, 1, 17, &problem)) << problem;
    EXPECT_TRUE(result_ok(fd, bind_request(2, person_dn(17), password_of(17)), 2, ldap_bind_response, 0,
                          &problem))
        << problem;
    long zombies = 0;
    for (const proc_entry& e : children_of(parent)) zombies += e.state == 'Z';
    EXPECT_EQ(zombies, 0);
    send_bytes(fd, unbind_request(3));
    EXPECT_TRUE(wait_closed(fd, 10000));
    close(fd);
  }
  proc_entry parent_now;
  ASSERT_TRUE(read_proc(parent, &parent_now));
  EXPECT_NE(parent_now.state, 'Z') << "the parent ended";

  std::printf("hostile: %d s, %ld connections (%ld answered or closed by the server):", seconds,
              connections.load(), served.load());
  for (int k = 0; k < kind_count; ++k) std::printf(" %s %ld", kind_names[k], kinds[k].load());
  std::printf("\nhostile: parent descriptors %d -> %d, VmRSS %ld -> %ld KiB, VmSize %ld -> %ld KiB\n",
              before.fds, after.fds, before.rss_kib, after.rss_kib, before.size_kib, after.size_kib);
  EXPECT_EQ(check.failures, 0);
  for (const std::string& f : check.first) ADD_FAILURE() << f;

  EXPECT_EQ(after.fds, before.fds);
  // A few pages of slack for the stack and the allocator's bookkeeping;
  // nothing per connection.
  EXPECT_LE(after.rss_kib - before.rss_kib, 64);
  EXPECT_LE(after.size_kib - before.size_kib, 0);

  // How every child ended.
  ends_seen ends;
  if (watch.strace) {
    kill(parent, SIGKILL);
    stop.pid = -1;
    // strace ends once the last process it follows has.
    EXPECT_TRUE(s.wait_exit(30000));
    ends = parse_strace(read_file(watch.log), parent);
  } else {
    watch.stop_sampling();
    for (const auto& [key, raw] : watch.sampled) {
      ++ends.total;
      if (WIFSIGNALED(raw)) {
        ends.killed.push_back("pid " + std::to_string(key.first) + " killed by signal " +
                              std::to_string(WTERMSIG(raw)));
      } else {
        ++ends.exited[WEXITSTATUS(raw)];
      }
    }
  }
  std::printf("hostile: %ld children seen ending (%s):", ends.total, watch.strace ? "strace" : "sampled");
  for (const auto& [status, n] : ends.exited) std::printf(" status %d: %ld", status, n);
  std::printf(", killed: %zu\n", ends.killed.size());
  for (const std::string& k : ends.killed) ADD_FAILURE() << "child killed: " << k;
  for (const auto& [status, n] : ends.exited)
    EXPECT_TRUE(status == 0 || status == 2) << n << " children exited with " << status;
  // Oversized messages end their child with 2 (filters nested too deep are
  // answered, and end nothing): they must have been seen.
  EXPECT_GT(ends.exited[2], 0);
  if (watch.strace) {
    // Every connection is accepted and gets its child, the start-up probe
    // and the last one included.
    EXPECT_GE(ends.total, served.load());
    EXPECT_LE(ends.total, connections.load() + 2);
  }

  // Nothing a sanitizer would report, and none of the messages that end
  // a server. (Other lines are not checked one by one: a mutated attribute
  // name quoted in a message may hold any bytes, line ends included.)
  const std::string err = s.stderr_text();
  for (const char* bad : {"Sanitizer", "runtime error", "ABEND", "Failed to parse journal", "out of memory",
                          "fork failed", "accept failed", "Data file changed", "Unsanctioned"})
    EXPECT_EQ(err.find(bad), std::string::npos) << bad << " in: " << err.substr(0, 4000);
}

}  // namespace
