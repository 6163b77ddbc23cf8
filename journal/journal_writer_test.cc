#include "journal/journal_writer.h"
#include "journal/ldif_parser.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/dn.h"
#include "gtest/gtest.h"
#include "journal/journal_store.h"
#include "store/data_file.h"
#include "tests/data_fixture.h"

// A huge request must make malloc fail rather than stop the test program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using value_list = std::vector<std::string>;
using attribute_spec = std::pair<std::string, value_list>;

// A change as the update operations hand it over: attributes and nodes
// allocated, bytes borrowed from the change's own copies of the strings.
struct change {
  std::string dn;
  std::vector<attribute_spec> specs;
  request_entry e{};

  change(std::string dn_text, std::vector<attribute_spec> attributes)
      : dn(std::move(dn_text)), specs(std::move(attributes)) {
    e.dn = {dn.size(), dn.data()};
    request_attribute** link = &e.attributes;
    for (const auto& [type, values] : specs) {
      auto* a = static_cast<request_attribute*>(std::malloc(sizeof(request_attribute)));
      *a = {{type.size(), type.data()}, nullptr, nullptr};
      string_node** vlink = &a->vals;
      for (const std::string& v : values) {
        auto* n = static_cast<string_node*>(std::malloc(sizeof(string_node)));
        *n = {{v.size(), v.data()}, 0, nullptr};
        *vlink = n;
        vlink = &n->next;
      }
      *link = a;
      link = &a->next;
    }
  }
  ~change() { release_request_entry(&e); }
  change(const change&) = delete;
  change& operator=(const change&) = delete;
};

std::string read_all(const char* path) {
  std::string text;
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return "<missing>";
  char chunk[65536];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  close(fd);
  return text;
}

// Every test runs in its own empty working directory, where "journal" is.
class JournalWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/journal_writer_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd_), 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // write_change's result and the bytes it put into a fresh file.
  static std::pair<int, std::string> record_of(const change& c) {
    const int fd = open("record", O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    const int r = write_change(fd, &c.e);
    close(fd);
    return {r, read_all("record")};
  }

  std::string dir_;
  char cwd_[4096];
};

// ---- The record's bytes ---------------------------------------------------

struct bytes_case {
  const char* what;
  std::string dn;
  std::vector<attribute_spec> attributes;
  std::string record;
};

TEST_F(JournalWriter, WritesTheRecordBytes) {
  std::string high;
  for (int b = 0x80; b <= 0xff; ++b) high += static_cast<char>(b);
  const std::vector<bytes_case> cases = {
      {"a delete is the DN line and an empty line", "cn=a,o=b", {}, "dn: cn=a,o=b\n\n"},
      {"an add lists every value of every attribute in order",
       "cn=x",
       {{"cn", {"x"}}, {"mail", {"m1@x", "m2@x"}}},
       "dn: cn=x\ncn: x\nmail: m1@x\nmail: m2@x\n\n"},
      {"an attribute without values writes no line",
       "cn=x",
       {{"cn", {}}, {"sn", {"s"}}, {"mail", {}}},
       "dn: cn=x\nsn: s\n\n"},
      {"only attributes without values: a delete", "cn=x", {{"cn", {}}}, "dn: cn=x\n\n"},
      {"control bytes and filter bytes are escaped in lowercase hex",
       "cn=x",
       {{"cn", {std::string("a\nb\0c(d)e*f\\g\x1f\x7fh", 16)}}},
       "dn: cn=x\ncn: a\\0ab\\00c\\28d\\29e\\2af\\5cg\\1f\x7fh\n\n"},
      {"bytes of 128 and more are written as they are",
       "cn=x",
       {{"cn", {high}}},
       "dn: cn=x\ncn: " + high + "\n\n"},
      {"a leading space of a value is escaped, later ones are not",
       "cn=x",
       {{"cn", {" a", "  b ", " "}}},
       "dn: cn=x\ncn: \\20a\ncn: \\20 b \ncn: \\20\n\n"},
      {"a leading colon of a value is escaped, later ones are not",
       "cn=x",
       {{"cn", {":a", "::", "a:b"}}},
       "dn: cn=x\ncn: \\3aa\ncn: \\3a:\ncn: a:b\n\n"},
      {"a leading tab is escaped as a control byte", "cn=x", {{"cn", {"\tx"}}},
       "dn: cn=x\ncn: \\09x\n\n"},
      {"the empty value", "cn=x", {{"description", {""}}}, "dn: cn=x\ndescription: \n\n"},
      {"the DN is escaped, its first byte included",
       " cn=a(b)\n,:x",
       {},
       "dn: \\20cn=a\\28b\\29\\0a,:x\n\n"},
      {"a DN beginning with a colon", ":x", {}, "dn: \\3ax\n\n"},
      {"a type with options is written as it is",
       "cn=x",
       {{"cn;lang-en", {"y"}}, {"DN", {"z"}}},
       "dn: cn=x\ncn;lang-en: y\nDN: z\n\n"},
  };
  for (const auto& c : cases) {
    const change ch(c.dn, c.attributes);
    const auto [r, bytes] = record_of(ch);
    EXPECT_EQ(r, 0) << c.what;
    EXPECT_EQ(bytes, c.record) << c.what;
  }
}

// ---- Refusals -------------------------------------------------------------

constexpr uint64_t kLimit = 1048576;

struct limit_case {
  const char* what;
  std::string dn;
  std::vector<attribute_spec> attributes;
  int result;
};

TEST_F(JournalWriter, RefusesWholeRecordsOverTheLimitsAndNothingElse) {
  // "dn: cn=a\n" is 9 bytes and each "cn: " value "\n" line is 5 bytes plus
  // the escaped value, so a single value of kLimit - 14 bytes fills the
  // record to exactly the limit (the final newline does not count).
  const std::string fill(kLimit - 14, 'v');
  const std::string fill_over(kLimit - 13, 'v');
  const std::string stars((kLimit - 14) / 3 + 1, '*');  // escapes to 3 bytes each
  const std::string huge(kLimit + 1, 'v');
  const std::string dn_fill = "cn=" + std::string(kLimit - 5 - 3, 'd');
  const std::string dn_over = dn_fill + "d";
  const std::string dn_escaped_over = "cn=" + std::string((kLimit - 5 - 3) / 3 + 1, '(');
  const std::string half(kLimit / 2, 'h');
  const std::string lead_fill = " " + std::string(kLimit - 14 - 3, 'v');
  const std::string lead_over = lead_fill + "v";
  const std::vector<limit_case> cases = {
      {"a record of exactly the limit", "cn=a", {{"cn", {fill}}}, 0},
      {"one byte more", "cn=a", {{"cn", {fill_over}}}, -1},
      {"escaping counts", "cn=a", {{"cn", {stars}}}, -1},
      {"the leading escape counts, at the limit", "cn=a", {{"cn", {lead_fill}}}, 0},
      {"the leading escape counts, over it", "cn=a", {{"cn", {lead_over}}}, -1},
      {"a value over the limit by itself", "cn=a", {{"cn", {huge}}}, -1},
      {"the sum of several lines", "cn=a", {{"cn", {half}}, {"sn", {half}}}, -1},
      {"a DN line of exactly the limit", dn_fill, {}, 0},
      {"a DN one byte longer", dn_over, {}, -1},
      {"a DN whose escaped form is too long", dn_escaped_over, {}, -1},
      {"the empty DN", "", {}, -1},
      {"the empty DN with attributes", "", {{"cn", {"x"}}}, -1},
  };
  for (const auto& c : cases) {
    const change ch(c.dn, c.attributes);
    const auto [r, bytes] = record_of(ch);
    EXPECT_EQ(r, c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(bytes.size(), kLimit + 1) << c.what;
    } else {
      EXPECT_EQ(bytes, "") << c.what;
    }
  }
}

TEST_F(JournalWriter, RefusesTypesThatWouldNotReadBack) {
  struct type_case {
    std::string type;
    int result;
  };
  const std::vector<type_case> cases = {
      {"cn", 0},
      {"cn;lang-en", 0},
      {"DN", 0},           // the journal's DN line is "dn" exactly
      {"dnx", 0},
      {"x-y.1_\x80", 0},
      {std::string(8191, 'a'), 0},
      {std::string(8192, 'a'), -1},  // the reader's name buffer
      {"", -1},
      {"dn", -1},          // would move the entry to another DN
      {"dn;binary", -1},   // the option is cut off when read
      {";x", -1},          // an empty name
      {" cn", -1},         // a continuation line
      {"c:n", -1},         // the name would end at the colon
      {"c\nn", -1},
      {std::string("c\0n", 3), -1},
      {"c(n", -1},
      {"c\\n", -1},
  };
  for (const auto& c : cases) {
    const change ch("cn=a", {{c.type, {"v"}}});
    const auto [r, bytes] = record_of(ch);
    EXPECT_EQ(r, c.result) << c.type;
    EXPECT_EQ(bytes, r == 0 ? "dn: cn=a\n" + c.type + ": v\n\n" : "") << c.type;
    // Without values the type is not written, so it does not matter.
    const change no_values("cn=a", {{c.type, {}}});
    EXPECT_EQ(record_of(no_values).first, 0) << c.type;
  }
}

TEST_F(JournalWriter, AcceptsAtMostTheParsersValueLines) {
  constexpr int kMax = static_cast<int>(ldif_max_pairs);
  for (const int lines : {kMax - 1, kMax, kMax + 1}) {
    // Split over two attributes and an empty one: every value line counts.
    const value_list first(lines / 2, "a");
    const value_list second(lines - lines / 2, "b");
    const change ch("cn=a", {{"cn", first}, {"sn", {}}, {"ou", second}});
    const auto [r, bytes] = record_of(ch);
    EXPECT_EQ(r, lines <= kMax ? 0 : -1) << lines;
    EXPECT_EQ(bytes.size(), lines <= kMax ? 10 + 6 * static_cast<size_t>(lines) : 0) << lines;
  }
}

TEST_F(JournalWriter, FailedWritesGiveMinusOne) {
  const change ch("cn=a", {{"cn", {"x"}}});
  const int ro = open(".", O_RDONLY);
  ASSERT_GE(ro, 0);
  EXPECT_EQ(write_change(ro, &ch.e), -1);
  close(ro);
  EXPECT_EQ(write_change(-1, &ch.e), -1);

  // A pipe with room for less than the record: one write, no retry.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  const std::string value(200000, 'v');
  const change big("cn=a", {{"cn", {value}}});
  EXPECT_EQ(write_change(fds[1], &big.e), -1);
  close(fds[0]);
  close(fds[1]);
}

// ---- journal_append -------------------------------------------------------

TEST_F(JournalWriter, AppendCreatesTheJournalOwnerOnlyAndAppends) {
  const mode_t old_mask = umask(0);
  const change add("cn=a", {{"cn", {"x"}}});
  const change del("cn=a", {});
  EXPECT_EQ(journal_append(&add.e), 0);
  struct stat st;
  ASSERT_EQ(stat("journal", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(journal_append(&del.e), 0);
  const change empty_dn("", {});
  EXPECT_EQ(journal_append(&empty_dn.e), -1);
  umask(old_mask);
  EXPECT_EQ(read_all("journal"), "dn: cn=a\ncn: x\n\ndn: cn=a\n\n");
  // An existing journal keeps its mode.
  ASSERT_EQ(chmod("journal", 0640), 0);
  EXPECT_EQ(journal_append(&del.e), 0);
  ASSERT_EQ(stat("journal", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(JournalWriter, AppendFailsWhenTheJournalCannotBeOpened) {
  ASSERT_EQ(mkdir("journal", 0700), 0);
  const change ch("cn=a", {{"cn", {"x"}}});
  EXPECT_EQ(journal_append(&ch.e), -1);
  struct stat st;
  ASSERT_EQ(stat("journal", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// Records appended by several processes at once land whole.
TEST_F(JournalWriter, ConcurrentAppendsStayWhole) {
  constexpr int kChildren = 4;
  constexpr int kRecords = 100;
  const std::string value(3000, 'v');
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::string dn = "cn=" + std::to_string(c);
      int failures = 0;
      for (int i = 0; i < kRecords; ++i) {
        const change ch(dn, {{"cn", {std::to_string(i), value}}});
        failures += journal_append(&ch.e) != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string text = read_all("journal");
  std::map<std::string, int> next;  // per DN, the next record number expected
  size_t at = 0;
  int records = 0;
  while (at < text.size()) {
    const size_t end = text.find("\n\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string record = text.substr(at, end + 2 - at);
    const size_t dn_end = record.find('\n');
    const std::string dn = record.substr(4, dn_end - 4);
    const std::string expected =
        "dn: " + dn + "\ncn: " + std::to_string(next[dn]++) + "\ncn: " + value + "\n\n";
    ASSERT_EQ(record, expected);
    at = end + 2;
    ++records;
  }
  EXPECT_EQ(records, kChildren * kRecords);
}

// An append cut short by a file-size limit is taken back whole, so the
// journal keeps ending with a complete record and the next append lands
// right after the last good one.
TEST_F(JournalWriter, ShortAppendIsTruncatedAway) {
  const change first("cn=first", {{"cn", {"first"}}});
  ASSERT_EQ(journal_append(&first.e), 0);
  const std::string before = read_all("journal");

  // In a child, so that the limit and the ignored signal stay there.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{before.size() + 10, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    const change big("cn=second", {{"cn", {std::string(100, 'x')}}});
    const int partial = journal_append(&big.e);
    // Exactly at the limit: nothing at all can be written.
    limit.rlim_cur = before.size();
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    const int none = journal_append(&big.e);
    _exit(partial == -1 && none == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_all("journal"), before);

  const change third("cn=third", {{"cn", {"third"}}});
  ASSERT_EQ(journal_append(&third.e), 0);
  EXPECT_EQ(read_all("journal"), before + "dn: cn=third\ncn: third\n\n");
}

// ---- Reading records back -------------------------------------------------

using pair_list = std::vector<std::pair<std::string, std::string>>;

std::string content(const char* s) { return std::string(stored_str_data(s), stored_str_len(s)); }

// The journal store's entries in creation order.
std::vector<std::pair<std::string, pair_list>> loaded_entries() {
  std::vector<std::pair<std::string, pair_list>> all;
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    pair_list pairs;
    for (uint64_t i = 0; i < e->attribute_count; ++i) {
      pairs.emplace_back(content(e->attributes[i].name), content(e->attributes[i].value));
    }
    all.emplace_back(content(e->dn), pairs);
  }
  return all;
}

class JournalRoundTrip : public JournalWriter {
 protected:
  void SetUp() override {
    JournalWriter::SetUp();
    ASSERT_EQ(fixture::write_data_file(
                  "data", {{"cn=alice,o=test",
                            {{"objectClass", "person"}, {"cn", "alice"}, {"mail", "a@x"},
                             {"description", "d"}, {"userPassword", "p"}}}}),
              "");
    load_data_file("data");
  }
  void TearDown() override {
    journal_store_release();
    unmap_data_file();
    JournalWriter::TearDown();
  }
};

std::string normalised(const std::string& dn) {
  std::string out(dn.size(), '\0');
  out.resize(static_cast<size_t>(canonical_dn(out.data(), dn.data(), static_cast<int32_t>(dn.size()))));
  return out;
}

TEST_F(JournalRoundTrip, RandomChangesReadBackExactly) {
  std::mt19937 rng(20240607);
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  // Random bytes of every value, often led by spaces and colons, sometimes
  // empty, now and then long.
  auto random_bytes = [&](uint32_t max_len) {
    std::string s;
    if (pick(4) == 0) {
      const char lead[] = {' ', ':', '\t'};
      for (uint32_t i = 1 + pick(3); i > 0; --i) s += lead[pick(3)];
    }
    const uint32_t len = pick(8) == 0 ? pick(4000) : pick(max_len + 1);
    for (uint32_t i = 0; i < len; ++i) s += static_cast<char>(pick(256));
    return s;
  };
  const std::vector<std::string> types = {"objectClass", "cn", "mail", "description",
                                          "userPassword", "x-note", "Unknown.1"};

  std::vector<std::string> order;              // DNs in creation order
  std::map<std::string, pair_list> expected;   // each DN's last record
  int fd = open("journal", O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  for (int record = 0; record < 400; ++record) {
    std::string dn;
    if (!order.empty() && pick(4) == 0) {
      dn = order[pick(static_cast<uint32_t>(order.size()))];
    } else {
      while (dn.empty()) dn = normalised(random_bytes(30));
    }
    std::vector<attribute_spec> attributes;
    pair_list pairs;
    for (uint32_t a = pick(6); a > 0; --a) {
      const std::string& type = types[pick(static_cast<uint32_t>(types.size()))];
      value_list values;
      for (uint32_t v = pick(4); v > 0; --v) {
        values.push_back(random_bytes(40));
        pairs.emplace_back(type, values.back());
      }
      attributes.emplace_back(type, values);
    }
    const change ch(dn, attributes);
    ASSERT_EQ(write_change(fd, &ch.e), 0) << record;
    if (expected.find(dn) == expected.end()) order.push_back(dn);
    expected[dn] = pairs;
  }
  close(fd);

  load_journal();
  const auto loaded = loaded_entries();
  ASSERT_EQ(loaded.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(loaded[i].first, order[i]) << i;
    EXPECT_EQ(loaded[i].second, expected[order[i]]) << i;
  }
}

// What the reader makes of the documented oddities: options are cut off,
// and values that need escaping survive.
TEST_F(JournalRoundTrip, OptionsAreDroppedAndEscapedBytesSurvive) {
  const change ch("cn=x,o=test", {{"cn;lang-en", {"a"}}, {"cn", {"l\n(*)\\", " :"}}});
  ASSERT_EQ(journal_append(&ch.e), 0);
  load_journal();
  const auto loaded = loaded_entries();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].first, "cn=x,o=test");
  EXPECT_EQ(loaded[0].second, (pair_list{{"cn", "a"}, {"cn", "l\n(*)\\"}, {"cn", " :"}}));
}

// ---- Building changes -----------------------------------------------------

TEST(CopyCountedStr, CopiesTheBytesWithASpareByte) {
  const std::string text("a\0b", 3);
  for (const counted_str src : {counted_str{3, text.data()}, counted_str{0, nullptr}}) {
    counted_str dest{99, nullptr};
    ASSERT_EQ(copy_counted_str(&dest, src), 0);
    ASSERT_NE(dest.bytes, nullptr);
    EXPECT_NE(dest.bytes, src.bytes);
    EXPECT_EQ(dest.len, src.len);
    EXPECT_EQ(compare_bytes(dest.bytes, src.len, text.data()), 0);
    const_cast<char*>(dest.bytes)[dest.len] = 0;  // the spare byte is there
    std::free(const_cast<char*>(dest.bytes));
  }
}

TEST(CopyCountedStr, ShortMemoryLeavesNoPointerAndTheLength) {
  counted_str dest{7, "x"};
  // Too large for any allocator; the bytes are never read.
  EXPECT_EQ(copy_counted_str(&dest, counted_str{UINT64_MAX / 4, "y"}), -1);
  EXPECT_EQ(dest.bytes, nullptr);
  EXPECT_EQ(dest.len, 7u);
}

TEST(CopyValueList, SharesTheBytesInNewNodes) {
  const std::string a = "a", b = "bb";
  string_node second{{b.size(), b.data()}, 7, nullptr};
  string_node first{{a.size(), a.data()}, 3, &second};
  string_node* copy = &first;  // overwritten
  ASSERT_EQ(copy_value_list(&copy, &first), 0);
  const string_node* src = &first;
  for (const string_node* n = copy; n != nullptr || src != nullptr; n = n->next, src = src->next) {
    ASSERT_NE(n, nullptr);
    ASSERT_NE(src, nullptr);
    EXPECT_NE(n, src);
    EXPECT_EQ(n->str.bytes, src->str.bytes);
    EXPECT_EQ(n->str.len, src->str.len);
    EXPECT_EQ(n->attribute_offset, src->attribute_offset);
  }
  // Hand the copy to a change so that its release frees it.
  auto* attribute = static_cast<request_attribute*>(std::malloc(sizeof(request_attribute)));
  *attribute = {{2, "cn"}, copy, nullptr};
  request_entry e{{1, "x"}, attribute};
  release_request_entry(&e);

  string_node* empty = &first;
  EXPECT_EQ(copy_value_list(&empty, nullptr), 0);
  EXPECT_EQ(empty, nullptr);
}

TEST(ReleaseRequestEntry, FreesAttributesAndNodesOnly) {
  // The bytes and the DN belong to the strings here: freeing them would be
  // caught by the sanitizers, and a node left behind as a leak.
  change ch("cn=a", {{"cn", {"x", "y"}}, {"sn", {}}, {"mail", {"m"}}});
  request_entry e = ch.e;
  ch.e.attributes = nullptr;  // e owns them now
  release_request_entry(&e);
  EXPECT_EQ(e.dn.bytes, ch.dn.data());
  EXPECT_EQ(e.dn.len, ch.dn.size());
  request_entry none{{1, "x"}, nullptr};
  release_request_entry(&none);
}

}  // namespace
