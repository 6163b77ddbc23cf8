#include "journal/journal_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <cctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "gtest/gtest.h"
#include "journal/ldif_parser.h"
#include "store/compare.h"
#include "store/data_file.h"
#include "tests/data_fixture.h"

namespace {

using attribute_list = std::vector<std::pair<std::string, std::string>>;

struct entry_view {
  std::string dn;
  attribute_list attributes;
  bool operator==(const entry_view&) const = default;
};

std::ostream& operator<<(std::ostream& os, const entry_view& e) {
  os << "{" << e.dn << ":";
  for (const auto& [n, v] : e.attributes) os << " " << n << "=" << v;
  return os << "}";
}

std::string content(const char* s) { return std::string(stored_str_data(s), stored_str_len(s)); }

// The string of the loaded attribute table whose name equals text without
// regard to case, or null.
const char* table_string(const std::string& text) {
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint64_t i = 0; i < data_store.attribute_count; ++i) {
    const char* t = data_store.base + data_word(table + 4 * i);
    if (compare_text_nocase(t, text.c_str()) == 0) return t;
  }
  return nullptr;
}

const char* first_table_string() {
  return data_store.base + data_word(data_header_size + uint64_t{data_store.size_of_string_table});
}

bool in_mapping(const char* p) {
  return p >= data_store.base && p < data_store.base + data_store.size;
}

journal_entry* find(const std::string& dn) {
  const uint32_t h = journal_dn_hash(dn.data(), dn.size());
  for (journal_entry* e = journal_table[h % journal_buckets]; e != nullptr; e = e->bucket_next) {
    if (e->dn_hash == h && content(e->dn) == dn) return e;
  }
  return nullptr;
}

entry_view view(const journal_entry* e) {
  entry_view v{content(e->dn), {}};
  for (uint64_t i = 0; i < e->attribute_count; ++i) {
    v.attributes.emplace_back(content(e->attributes[i].name), content(e->attributes[i].value));
  }
  return v;
}

// Every entry in list order.
std::vector<entry_view> snapshot() {
  std::vector<entry_view> all;
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    all.push_back(view(e));
  }
  return all;
}

// Structural checks that hold for every store: each entry is reachable
// through its own bucket, hashes its DN, the list link ends the list, and
// each name is the table's string exactly when the table knows it.
void expect_consistent() {
  uint64_t listed = 0;
  journal_entry* const* link = &journal_list.head;
  for (journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    ++listed;
    link = &e->list_next;
    const std::string dn = content(e->dn);
    EXPECT_EQ(e->dn_hash, journal_dn_hash(dn.data(), dn.size())) << dn;
    EXPECT_EQ(find(dn), e) << dn;
    for (uint64_t i = 0; i < e->attribute_count; ++i) {
      const char* name = e->attributes[i].name;
      const std::string text = content(name);
      if (text.empty()) continue;  // the empty name has its own test
      const char* t = table_string(text);
      if (t != nullptr) {
        EXPECT_EQ(name, t) << dn << " " << text;
      } else {
        EXPECT_FALSE(in_mapping(name)) << dn << " " << text;
      }
      EXPECT_FALSE(in_mapping(e->attributes[i].value)) << dn << " " << text;
    }
  }
  EXPECT_EQ(journal_list.link, link);
  uint64_t chained = 0;
  for (uint32_t b = 0; b < journal_buckets; ++b) {
    for (const journal_entry* e = journal_table[b]; e != nullptr; e = e->bucket_next) {
      EXPECT_EQ(e->dn_hash % journal_buckets, b);
      ++chained;
    }
  }
  EXPECT_EQ(chained, listed);

  // The value table holds exactly one node per value of every entry, in
  // the bucket of its name and value, with links that agree.
  uint64_t values = 0;
  std::map<const journal_entry*, uint64_t> nodes_of;
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next)
    values += e->attribute_count;
  uint64_t hung = 0;
  for (uint32_t b = 0; b < journal_value_buckets; ++b) {
    journal_value_node* const* prev = &journal_value_table[b];
    for (journal_value_node* n = journal_value_table[b]; n != nullptr; n = n->next) {
      EXPECT_EQ(n->pprev, prev);
      prev = &n->next;
      EXPECT_EQ(n->key % journal_value_buckets, b);
      const uint64_t i = nodes_of[n->entry]++;
      ASSERT_LT(i, n->entry->attribute_count);
      ++hung;
    }
  }
  EXPECT_EQ(hung, values);
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) {
    EXPECT_EQ(nodes_of[e], e->attribute_count) << content(e->dn);
    for (uint64_t i = 0; i < e->attribute_count; ++i) {
      // Found under its name and its value in either letter case.
      std::string name = content(e->attributes[i].name);
      std::string value = content(e->attributes[i].value);
      std::string upper = value;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      for (const std::string& v : {value, upper}) {
        const uint32_t key = journal_value_key(name.data(), name.size(), v.data(), v.size());
        bool found = false;
        for (journal_value_node* n = journal_value_table[key % journal_value_buckets];
             n != nullptr && !found; n = n->next)
          found = n->entry == e && n->key == key;
        EXPECT_TRUE(found) << content(e->dn) << " " << name << ": " << v;
      }
    }
  }
}

void write_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

void append_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

std::string read_file(const char* path) {
  std::string out;
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

int64_t file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : -1;
}

// What fn writes on descriptor 2 while it runs in this process.
std::string capture_stderr(const std::function<void()>& fn) {
  FILE* sink = tmpfile();
  const int saved = dup(2);
  dup2(fileno(sink), 2);
  fn();
  dup2(saved, 2);
  close(saved);
  std::string text;
  rewind(sink);
  char chunk[512];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, sink)) > 0;) text.append(chunk, got);
  fclose(sink);
  return text;
}

struct child_result {
  int status;  // exit status, or -1 when the child did not exit normally
  std::string err;
};

// Runs fn in a child process; a child that returns from fn exits with 99.
child_result run_in_child(const std::function<void()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) return {-2, ""};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 2);
    fn();
    _exit(99);
  }
  close(fds[1]);
  child_result r{-1, ""};
  char chunk[512];
  for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;) r.err.append(chunk, got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

const std::vector<fixture::entry> kDirectory = {
    {"cn=alice,o=test",
     {{"objectClass", "person"},
      {"cn", "alice"},
      {"mail", "a@x"},
      {"userPassword", "secret"},
      {"sn", "A"}}},
    {"cn=bob,o=test", {{"objectClass", "person"}, {"cn", "bob"}, {"description", "d"}}},
};

class JournalStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/journal_store_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    write_data(kDirectory);
    load_data_file("data");
  }

  void TearDown() override {
    journal_store_release();
    unmap_data_file();
    EXPECT_EQ(chdir(cwd_), 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  static void write_data(const std::vector<fixture::entry>& entries) {
    ASSERT_EQ(fixture::write_data_file("data", entries), "");
  }

  std::string dir_;
  char cwd_[4096];
};

// ---- Loading ------------------------------------------------------------

struct load_case {
  const char* what;
  std::string journal;
  std::vector<entry_view> entries;  // in list order
};

TEST_F(JournalStore, LoadBuildsOneEntryPerDnWithItsLastRecord) {
  const std::string photo("\0\1\2", 3);
  const std::vector<load_case> cases = {
      {"one added entry",
       "dn: cn=carol,o=test\nobjectClass: person\ncn: carol\nmail: c@x\n\n",
       {{"cn=carol,o=test", {{"objectClass", "person"}, {"cn", "carol"}, {"mail", "c@x"}}}}},
      {"a later record replaces all attributes",
       "dn: cn=carol,o=test\ncn: carol\nmail: c@x\n\n"
       "dn: cn=carol,o=test\ncn: carol2\ncn: carol3\n\n",
       {{"cn=carol,o=test", {{"cn", "carol2"}, {"cn", "carol3"}}}}},
      {"a record with only its dn line deletes",
       "dn: cn=carol,o=test\ncn: carol\nmail: c@x\n\ndn: cn=carol,o=test\n\n",
       {{"cn=carol,o=test", {}}}},
      {"a data-file DN deleted", "dn: cn=alice,o=test\n\n", {{"cn=alice,o=test", {}}}},
      {"deleted, then added again",
       "dn: cn=carol,o=test\ncn: a\n\ndn: cn=carol,o=test\n\ndn: cn=carol,o=test\ncn: b\n\n",
       {{"cn=carol,o=test", {{"cn", "b"}}}}},
      {"DN spellings that normalise alike share one entry",
       "dn: CN=carol, o=test\ncn: a\n\ndn: cn=carol,o=test\ncn: b\n\n",
       {{"cn=carol,o=test", {{"cn", "b"}}}}},
      {"creation order survives a replacement",
       "dn: cn=a,o=test\ncn: a1\n\ndn: cn=b,o=test\ncn: b\n\ndn: cn=a,o=test\ncn: a2\n\n",
       {{"cn=a,o=test", {{"cn", "a2"}}}, {"cn=b,o=test", {{"cn", "b"}}}}},
      {"names take the table's spelling, unknown ones keep the journal's",
       "dn: cn=carol,o=test\nOBJECTCLASS: x\nMAIL: m\nuserpassword: p\nFooBar: f\n\n",
       {{"cn=carol,o=test",
         {{"objectClass", "x"}, {"mail", "m"}, {"userPassword", "p"}, {"FooBar", "f"}}}}},
      {"objectClass values and ordinary values, multi-valued, in line order",
       "dn: cn=carol,o=test\nobjectClass: top\ncn: c\nobjectClass: person\ncn: d\n\n",
       {{"cn=carol,o=test",
         {{"objectClass", "top"}, {"cn", "c"}, {"objectClass", "person"}, {"cn", "d"}}}}},
      {"a binary value keeps its exact bytes",
       "dn: cn=carol,o=test\njpegPhoto;binary:: AAEC\ndescription:\n\n",
       {{"cn=carol,o=test", {{"jpegPhoto", photo}, {"description", ""}}}}},
      {"an empty journal", "", {}},
  };
  for (const load_case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(journal_path, c.journal);
    load_journal();
    EXPECT_EQ(snapshot(), c.entries);
    expect_consistent();
    // Sequences follow the order of creation, which is the list's order.
    for (const journal_entry* e = journal_list.head; e != nullptr && e->list_next != nullptr;
         e = e->list_next) {
      EXPECT_LT(e->sequence, e->list_next->sequence);
    }
    EXPECT_EQ(journal_status.st_size, static_cast<off_t>(c.journal.size()));
    journal_store_release();
  }
}

// A journal whose end is not a whole record (its last append was cut short
// by a crash) is read up to its last whole record, and the incomplete one
// is cut off, at the load and at a later check: a record appended after it
// would otherwise be read as its rest.
TEST_F(JournalStore, AnIncompleteLastRecordIsCutOff) {
  const std::string whole = "dn: cn=a,o=test\ncn: a\n\n";
  const struct {
    const char* what;
    std::string tail;
  } cases[] = {
      {"cut inside a line", "dn: cn=b,o=test\ncn: b"},
      {"cut after a line", "dn: cn=b,o=test\ncn: b\n"},
      {"cut inside the DN line", "dn: cn=b"},
      {"a long record, cut many blocks past the last whole one",
       "dn: cn=b,o=test\ncn: " + std::string(10000, 'b') + "\ncn: x\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = "journal: dropped " + std::to_string(c.tail.size()) +
                             " bytes of an incomplete last record at offset " +
                             std::to_string(whole.size()) + "\n";
    write_file(journal_path, whole + c.tail);
    EXPECT_EQ(capture_stderr(load_journal), line);
    EXPECT_EQ(snapshot(), (std::vector<entry_view>{{"cn=a,o=test", {{"cn", "a"}}}}));
    EXPECT_EQ(journal_status.st_size, static_cast<off_t>(whole.size()));
    EXPECT_EQ(read_file(journal_path), whole);
    // The same tail found by a check of a running process.
    append_file(journal_path, c.tail);
    EXPECT_EQ(capture_stderr(change_check), line);
    EXPECT_EQ(read_file(journal_path), whole);
    // What is appended next is a record of its own.
    append_file(journal_path, "dn: cn=c,o=test\ncn: c\n\n");
    EXPECT_EQ(capture_stderr(change_check), "");
    EXPECT_EQ(snapshot(), (std::vector<entry_view>{{"cn=a,o=test", {{"cn", "a"}}},
                                                   {"cn=c,o=test", {{"cn", "c"}}}}));
    expect_consistent();
    journal_store_release();
  }
}

TEST_F(JournalStore, EmptyNameTakesTheTablesFirstName) {
  // A tab starts a new line whose name is only white space.
  write_file(journal_path, "dn: cn=carol,o=test\n\t: v\n\n");
  load_journal();
  const journal_entry* e = find("cn=carol,o=test");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->attribute_count, 1u);
  EXPECT_EQ(e->attributes[0].name, first_table_string());
  EXPECT_EQ(content(e->attributes[0].value), "v");
}

TEST_F(JournalStore, MissingJournalLoadsEmptyAndIsReadFromTheStartOnceCreated) {
  load_journal();
  EXPECT_EQ(journal_list.head, nullptr);
  EXPECT_EQ(journal_list.link, &journal_list.head);
  EXPECT_EQ(journal_status.st_size, 0);
  EXPECT_EQ(journal_status.st_ino, 0u);

  change_check();
  EXPECT_EQ(journal_stats.stat_calls, 2u);
  EXPECT_EQ(journal_stats.parses, 1u);  // the load's attempt only

  write_file(journal_path, "dn: cn=carol,o=test\ncn: c\n\n");
  change_check();
  EXPECT_EQ(journal_stats.parses, 2u);
  EXPECT_EQ(journal_stats.full_reads, 1u);
  EXPECT_EQ(journal_stats.last_start, 0);
  EXPECT_EQ(snapshot(), (std::vector<entry_view>{{"cn=carol,o=test", {{"cn", "c"}}}}));
}

// ---- The change check, journal side ---------------------------------------

TEST_F(JournalStore, UnchangedFilesCostTwoStatCallsAndNoParse) {
  write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\n\n");
  load_journal();
  const journal_counters before = journal_stats;
  const std::vector<entry_view> entries = snapshot();
  for (int i = 0; i < 3; ++i) change_check();
  EXPECT_EQ(journal_stats.stat_calls, before.stat_calls + 6);
  EXPECT_EQ(journal_stats.parses, before.parses);
  EXPECT_EQ(journal_stats.bytes_parsed, before.bytes_parsed);
  EXPECT_EQ(snapshot(), entries);
}

TEST_F(JournalStore, AppendedRecordsCostTheirOwnBytesOnly) {
  write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\n\n");
  load_journal();
  const journal_entry* a = find("cn=a,o=test");
  ASSERT_NE(a, nullptr);
  const std::vector<std::pair<std::string, entry_view>> appends = {
      {"dn: cn=c,o=test\ncn: c\nmail: m\n\n", {"cn=c,o=test", {{"cn", "c"}, {"mail", "m"}}}},
      {"dn: cn=a,o=test\nsn: new\n\n", {"cn=a,o=test", {{"sn", "new"}}}},
      {"dn: cn=b,o=test\n\n", {"cn=b,o=test", {}}},
  };
  for (const auto& [record, expected] : appends) {
    SCOPED_TRACE(record);
    const int64_t old_size = file_size(journal_path);
    const journal_counters before = journal_stats;
    append_file(journal_path, record);
    const std::string err = capture_stderr(change_check);
    EXPECT_EQ(err, "");
    EXPECT_EQ(journal_stats.parses, before.parses + 1);
    EXPECT_EQ(journal_stats.full_reads, before.full_reads);
    EXPECT_EQ(journal_stats.last_start, old_size);
    EXPECT_EQ(journal_stats.bytes_parsed, before.bytes_parsed + record.size());
    EXPECT_EQ(journal_status.st_size, file_size(journal_path));
    const journal_entry* e = find(expected.dn);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(view(e), expected);
  }
  EXPECT_EQ(find("cn=a,o=test"), a);  // replaced in place
  expect_consistent();
}

TEST_F(JournalStore, ReplacementKeepsAddressesPlaceAndSequence) {
  write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\n\n");
  load_journal();
  journal_entry* a = find("cn=a,o=test");
  ASSERT_NE(a, nullptr);
  const char* dn = a->dn;
  const uint64_t sequence = a->sequence;
  append_file(journal_path, "dn: cn=a,o=test\ncn: a2\nmail: m\n\n");
  change_check();
  EXPECT_EQ(find("cn=a,o=test"), a);
  EXPECT_EQ(a->dn, dn);
  EXPECT_EQ(a->sequence, sequence);
  EXPECT_LT(a->sequence, find("cn=b,o=test")->sequence);
  EXPECT_EQ(journal_list.head, a);
  EXPECT_EQ(view(a), (entry_view{"cn=a,o=test", {{"cn", "a2"}, {"mail", "m"}}}));
}

TEST_F(JournalStore, TouchedJournalIsParsedFromTheSavedOffsetAndFindsNothing) {
  const std::string text = "dn: cn=a,o=test\ncn: a\n\n";
  write_file(journal_path, text);
  load_journal();
  const std::vector<entry_view> entries = snapshot();
  const journal_counters before = journal_stats;

  struct timespec times[2] = {{0, UTIME_OMIT}, {journal_status.st_mtim.tv_sec + 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, journal_path, times, 0), 0);
  EXPECT_EQ(capture_stderr(change_check), "");
  EXPECT_EQ(journal_stats.parses, before.parses + 1);
  EXPECT_EQ(journal_stats.last_start, static_cast<int64_t>(text.size()));
  EXPECT_EQ(journal_stats.bytes_parsed, before.bytes_parsed);
  EXPECT_EQ(snapshot(), entries);

  // The new time is now the saved one.
  change_check();
  EXPECT_EQ(journal_stats.parses, before.parses + 1);
}

TEST_F(JournalStore, TruncatedJournalIsNotReReadAndShortAppendsStayUnread) {
  const std::string first = "dn: cn=a,o=test\ncn: a\n\n";
  const std::string second = "dn: cn=b,o=test\ncn: b\n\n";
  write_file(journal_path, first + second);
  load_journal();
  const std::vector<entry_view> entries = snapshot();
  const off_t saved = journal_status.st_size;

  write_file(journal_path, first);
  EXPECT_EQ(capture_stderr(change_check), "");
  EXPECT_EQ(journal_stats.full_reads, 1u);
  EXPECT_EQ(journal_status.st_size, saved);
  EXPECT_EQ(snapshot(), entries);

  const std::string short_record = "dn: cn=c,o=test\n\n";
  ASSERT_LT(first.size() + short_record.size(), static_cast<size_t>(saved));
  append_file(journal_path, short_record);
  change_check();
  EXPECT_EQ(find("cn=c,o=test"), nullptr);
  EXPECT_EQ(journal_stats.full_reads, 1u);
}

TEST_F(JournalStore, EditedJournalIsReReadCompletely) {
  struct edit_case {
    const char* what;
    std::string original;
    std::string edited;  // the whole file after the edit
    std::vector<entry_view> entries;
  };
  const std::vector<edit_case> cases = {
      {"the last record grew: the old end is no longer a record's end",
       "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\n\n",
       "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\ncn: bb\n\ndn: cn=c,o=test\ncn: c\n\n",
       {{"cn=a,o=test", {{"cn", "a"}}},
        {"cn=b,o=test", {{"cn", "b"}, {"cn", "bb"}}},
        {"cn=c,o=test", {{"cn", "c"}}}}},
      {"an edit before the old end; a DN no longer in the file keeps its entry",
       "dn: cn=a,o=test\ncn: a\n\ndn: cn=b,o=test\ncn: b\n\n",
       "dn: cn=a,o=test\ncn: a-edited-at-length\n\ndn: cn=c,o=test\ncn: c\n\n",
       {{"cn=a,o=test", {{"cn", "a-edited-at-length"}}},
        {"cn=b,o=test", {{"cn", "b"}}},
        {"cn=c,o=test", {{"cn", "c"}}}}},
  };
  for (const edit_case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(journal_path, c.original);
    load_journal();
    ASSERT_GT(c.edited.size(), c.original.size());
    write_file(journal_path, c.edited);
    const journal_counters before = journal_stats;
    EXPECT_EQ(capture_stderr(change_check),
              "Unsanctioned journal editing detected!  Re-reading journal.\n");
    EXPECT_EQ(journal_stats.full_reads, before.full_reads + 1);
    EXPECT_EQ(journal_stats.last_start, 0);
    EXPECT_EQ(snapshot(), c.entries);
    EXPECT_EQ(journal_status.st_size, static_cast<off_t>(c.edited.size()));
    expect_consistent();
    journal_store_release();
  }
}

TEST_F(JournalStore, DeletedJournalLeavesTheStoreAndReleasesThePools) {
  write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\n");
  load_journal();
  const std::vector<entry_view> entries = snapshot();
  ASSERT_NE(name_pool.strings.base, nullptr);
  ASSERT_EQ(unlink(journal_path), 0);
  change_check();
  EXPECT_EQ(snapshot(), entries);
  EXPECT_EQ(name_pool.strings.base, nullptr);
  EXPECT_EQ(object_class_pool.strings.base, nullptr);
}

// ---- The change check, data file side -------------------------------------

TEST_F(JournalStore, ReplacedDataFileIsReloadedAndNoNameKeepsTheOldMapping) {
  write_file(journal_path,
             "dn: cn=alice,o=test\nMAIL: new@x\ncn: alice\nuserpassword: pw\nFooBar: q\nsn: S\n\n"
             "dn: cn=carol,o=test\ncn: carol\n\n");
  load_journal();
  const ino_t old_inode = data_store.identity.st_ino;

  // The new file lacks sn and userPassword and knows fooBar. The journal is
  // rewritten too, without alice, so her entry is not rebuilt by the re-read.
  write_data({{"cn=bob,o=test",
               {{"objectClass", "person"}, {"cn", "bob"}, {"mail", "b@x"}, {"fooBar", "z"}}}});
  write_file(journal_path, "dn: cn=carol,o=test\ncn: carol2\nsn: T\n\n");
  const journal_counters before = journal_stats;
  EXPECT_EQ(capture_stderr(change_check), "Data file changed, reloading.\n");
  EXPECT_NE(data_store.identity.st_ino, old_inode);
  EXPECT_EQ(data_store.record_count, 1u);
  EXPECT_EQ(journal_stats.full_reads, before.full_reads + 1);

  const journal_entry* alice = find("cn=alice,o=test");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(view(alice), (entry_view{"cn=alice,o=test",
                                     {{"mail", "new@x"},
                                      {"cn", "alice"},
                                      {"userPassword", "pw"},
                                      {"fooBar", "q"},
                                      {"sn", "S"}}}));
  EXPECT_EQ(alice->attributes[0].name, table_string("mail"));
  EXPECT_EQ(alice->attributes[3].name, table_string("fooBar"));
  const journal_entry* carol = find("cn=carol,o=test");
  ASSERT_NE(carol, nullptr);
  EXPECT_EQ(view(carol), (entry_view{"cn=carol,o=test", {{"cn", "carol2"}, {"sn", "T"}}}));
  expect_consistent();

  // Nothing changed since: two stat calls again.
  const journal_counters after = journal_stats;
  change_check();
  EXPECT_EQ(journal_stats.stat_calls, after.stat_calls + 2);
  EXPECT_EQ(journal_stats.parses, after.parses);
}

TEST_F(JournalStore, NamesSurviveRepeatedReloads) {
  write_file(journal_path, "dn: cn=x,o=test\nsn: s\ncn: c\n\n");
  load_journal();
  write_file(journal_path, "");
  // sn disappears, comes back, and disappears again; the entry for cn=x is
  // never rebuilt, so its names move from table to kept copy and back.
  const std::vector<std::vector<fixture::entry>> files = {
      {{"cn=bob,o=test", {{"objectClass", "person"}, {"cn", "bob"}}}},
      {{"cn=bob,o=test", {{"objectClass", "person"}, {"SN", "b"}}}},
      {{"cn=bob,o=test", {{"objectClass", "person"}, {"cn", "bob"}}}},
  };
  std::vector<std::string> sn_spellings;
  for (const auto& file : files) {
    write_data(file);
    EXPECT_EQ(capture_stderr(change_check), "Data file changed, reloading.\n");
    const journal_entry* x = find("cn=x,o=test");
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->attribute_count, 2u);
    sn_spellings.push_back(content(x->attributes[0].name));
    expect_consistent();
  }
  EXPECT_EQ(sn_spellings, (std::vector<std::string>{"sn", "SN", "SN"}));
}

// ---- Conditions that end the process --------------------------------------

TEST_F(JournalStore, FatalConditions) {
  struct fatal_case {
    const char* what;
    std::function<void()> run;
    int status;
    std::string err;  // exact, or a prefix when prefix_only
    bool prefix_only;
  };
  const std::string many_attributes = [] {
    std::string s = "dn: cn=x,o=test\n";
    for (uint32_t i = 0; i <= ldif_max_pairs; ++i) s += "cn: v\n";
    return s + "\n";
  }();
  const std::vector<fatal_case> cases = {
      {"a record without a DN at start-up",
       [] {
         write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\ncn: b\n\n");
         load_journal();
       },
       1, "Failed to parse journal!\n", false},
      {"an appended record without a DN",
       [] {
         write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\n");
         load_journal();
         append_file(journal_path, "version: 1\ndn: cn=b,o=test\n\n# comment\ndn: cn=c,o=test\n\n");
         change_check();
       },
       1, "Failed to parse journal!\n", false},
      {"an entry with 513 attributes",
       [&] {
         write_file(journal_path, many_attributes);
         load_journal();
       },
       1,
       "LDIF parse error: too many attributes!: cn in line " + std::to_string(ldif_max_pairs + 3) +
           "\n",
       false},
      {"a deleted data file",
       [] {
         write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\n");
         load_journal();
         unlink("data");
         change_check();
       },
       1, "ABEND: data file suddenly gone.\n", false},
      {"a replaced data file that does not load",
       [] {
         write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\n");
         load_journal();
         write_file("data.new", "");
         ASSERT_EQ(rename("data.new", "data"), 0);
         change_check();
       },
       1, "Data file changed, reloading.\ncould not open data!\n", false},
  };
  for (const fatal_case& c : cases) {
    SCOPED_TRACE(c.what);
    const child_result r = run_in_child(c.run);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(JournalStore, EntriesBuiltBeforeAFailedParseAreKept) {
  // In the child the first record is taken before the second is refused.
  const child_result r = run_in_child([] {
    write_file(journal_path, "dn: cn=a,o=test\ncn: a\n\ncn: b\n\n");
    entry_callback = build_journal_entry;
    const int result = parse_ldif(journal_path, 0, nullptr);
    _exit(result == -1 && find("cn=a,o=test") != nullptr ? 0 : 3);
  });
  EXPECT_EQ(r.status, 0);
}

// ---- Size ---------------------------------------------------------------------

TEST_F(JournalStore, LargeJournalLoadsOnceAndThenParsesOnlyAppends) {
  constexpr int kRecords = 100000;
  std::string text;
  text.reserve(kRecords * 120);
  for (int i = 0; i < kRecords; ++i) {
    const std::string n = std::to_string(i);
    text += "dn: cn=user" + n + ",o=test\nobjectClass: person\ncn: user" + n + "\nmail: user" + n +
            "@example.com\nsn: S" + n + "\ndescription: entry number " + n + "\n\n";
  }
  write_file(journal_path, text);

  const auto start = std::chrono::steady_clock::now();
  load_journal();
  const auto loaded = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(loaded - start).count();
  std::printf("loading %d journal records (%zu bytes) took %.1f ms\n", kRecords, text.size(), ms);

  uint64_t count = 0;
  for (const journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) ++count;
  EXPECT_EQ(count, static_cast<uint64_t>(kRecords));
  const journal_entry* e = find("cn=user99999,o=test");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(view(e).attributes.size(), 5u);
  // Each record's strings left the parser's arena as soon as the record
  // was built, so the arena stays at its first block.
  EXPECT_LE(value_arena.capacity, 4096u);

  const journal_counters before = journal_stats;
  const std::string record = "dn: cn=user5,o=test\ncn: renamed\n\n";
  append_file(journal_path, record);
  change_check();
  EXPECT_EQ(journal_stats.parses, before.parses + 1);
  EXPECT_EQ(journal_stats.last_start, static_cast<int64_t>(text.size()));
  EXPECT_EQ(journal_stats.bytes_parsed - before.bytes_parsed, record.size());
  EXPECT_EQ(view(find("cn=user5,o=test")), (entry_view{"cn=user5,o=test", {{"cn", "renamed"}}}));
}

}  // namespace
