#include "journal/ldif_parser.h"

#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/bytes.h"
#include "journal/arena.h"
#include "journal/intern_pool.h"

using namespace std::string_literals;

namespace {

// ----------------------------------------------------------------- helpers

// A stored_str as the bytes a reader finds: header, content and, for the
// short form, its terminator.
std::string stored_bytes(const char* p) {
  const uint64_t header = stored_str_header(p);
  return std::string(p, header + stored_str_len(p) + (header == 0 ? 1 : 0));
}

// The short form of a text.
std::string S(std::string_view text) {
  std::string s(text);
  s.push_back('\0');
  return s;
}

// The long form of any bytes.
std::string L(std::string_view bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  std::string s(1, '\0');
  for (int shift = 0; shift < 32; shift += 8) s.push_back(static_cast<char>((n >> shift) & 0xff));
  s.append(bytes);
  return s;
}

std::string base64(std::string_view bytes) {
  std::string text(static_cast<size_t>(base64_encode(nullptr, bytes.data(), bytes.size())), '\0');
  base64_encode(text.data(), bytes.data(), bytes.size());
  return text;
}

// One entry as delivered: the DN and each value as their stored bytes
// (empty when the entry had no "dn" line), names as their content.
struct entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> pairs;
  bool operator==(const entry&) const = default;
};

std::string visible(std::string_view bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

void PrintTo(const entry& e, std::ostream* os) {
  *os << "{dn \"" << visible(e.dn) << "\"";
  for (const auto& [name, value] : e.pairs) {
    *os << ", " << visible(name) << "=\"" << visible(value.substr(0, 80))
        << (value.size() > 80 ? "...\"" : "\"");
  }
  *os << "}";
}

// What the capturing callback saw, and how it behaves.
std::vector<entry> delivered;
bool clear_after_entry = false;
bool refuse_without_dn = false;

int capture(const ldif_record* r) {
  if (refuse_without_dn && r->dn == ldif_no_dn) return -1;
  EXPECT_LE(r->count, ldif_max_pairs);
  const int64_t object_class = intern_text(&name_pool, "objectClass");
  entry e;
  if (r->dn != ldif_no_dn) e.dn = stored_bytes(value_arena.base + r->dn);
  for (uint32_t i = 0; i < r->count; ++i) {
    const char* name = name_pool.strings.base + r->pairs[i].name;
    const char* store = r->pairs[i].name == object_class ? object_class_pool.strings.base
                                                         : value_arena.base;
    e.pairs.emplace_back(std::string(stored_str_data(name), stored_str_len(name)),
                         stored_bytes(store + r->pairs[i].value));
  }
  delivered.push_back(std::move(e));
  if (clear_after_entry) arena_clear(&value_arena);
  return 0;
}

class LdifParser : public testing::Test {
 protected:
  void SetUp() override {
    delivered.clear();
    clear_after_entry = false;
    refuse_without_dn = false;
    entry_callback = capture;
    intern_pool_release(&name_pool);
    intern_pool_release(&object_class_pool);
    path_ = testing::TempDir() + "ldif_parser_test_" + std::to_string(getpid());
  }
  void TearDown() override {
    unlink(path_.c_str());
    entry_callback = nullptr;
    arena_release(&value_arena);
  }

  void write_file(std::string_view content) {
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  void append_file(std::string_view content) {
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }

  std::string path_;
};

// --------------------------------------------------- inputs against entries

struct ParseCase {
  const char* what;
  std::string input;
  std::vector<entry> want;
  bool read_to_end = true;  // false: a line beginning with ":" ends the parse
};

std::vector<ParseCase> parse_cases() {
  const std::string binary_with_zero = [] {
    std::string s;
    for (int i = 0; i < 12000; ++i) s.push_back(static_cast<char>(i * 7));
    return s;
  }();
  const std::string binary_without_zero = [] {
    std::string s;
    for (int i = 0; i < 12000; ++i) s.push_back(static_cast<char>(i % 255 + 1));
    return s;
  }();
  const std::string long_name(10000, 'n');
  const std::string colonless(4000, 'x');

  return {
      // DN normalisation
      {"DN normalised, one pair", "dn: cn=X, o=Y\ncn: X\n\n", {{S("cn=X,o=Y"), {{"cn", S("X")}}}}},
      {"DN types lowercased, semicolons become commas", "dn: CN=Foo;  O=Bar\n\n",
       {{S("cn=Foo,o=Bar"), {}}}},
      {"DN in base64", "dn:: " + base64("CN=X, o=Y") + "\n\n", {{S("cn=X,o=Y"), {}}}},
      {"DN with binary option", "dn;binary:: " + base64("cn=Z") + "\n\n", {{S("cn=Z"), {}}}},
      {"empty DN is long form", "dn:\ncn: a\n\n", {{L(""), {{"cn", S("a")}}}}},
      {"DN holding a 0 byte is long form with exact content", "dn: cn=a\\00b\n\n",
       {{L("cn=a\0b"s), {}}}},
      {"DN ending in a 0 byte keeps it", "dn: cn=a\\00\n\n", {{L("cn=a\0"s), {}}}},
      {"a later dn line replaces the DN", "dn: cn=1\ncn: x\ndn: cn=2\n\n",
       {{S("cn=2"), {{"cn", S("x")}}}}},

      // base64
      {"base64 value", "dn: d\ncn:: Zm9v\n\n", {{S("d"), {{"cn", S("foo")}}}}},
      {"base64 with padding", "dn: d\ncn:: Zm9vYg==\n\n", {{S("d"), {{"cn", S("foob")}}}}},
      {"spaces and tabs before the second colon", "dn: d\ncn: :Zm9v\nsn:\t :YmFy\n\n",
       {{S("d"), {{"cn", S("foo")}, {"sn", S("bar")}}}}},
      {"base64 that stops early is empty", "dn: d\ncn:: Zm9v!\n\n", {{S("d"), {{"cn", L("")}}}}},
      {"base64 with trailing space stops early", "dn: d\ncn:: Zm9v \n\n",
       {{S("d"), {{"cn", L("")}}}}},
      {"empty base64 value", "dn: d\ncn::\n\n", {{S("d"), {{"cn", L("")}}}}},
      {"base64 holding a 0 byte is stored exactly", "dn: d\ncn:: YQBi\n\n",
       {{S("d"), {{"cn", L("a\0b"s)}}}}},
      {"base64 ending in a 0 byte keeps it", "dn: d\ncn:: YWIA\n\n",
       {{S("d"), {{"cn", L("ab\0"s)}}}}},
      {"long base64 value with 0 bytes", "dn: d\njpegPhoto:: " + base64(binary_with_zero) + "\n\n",
       {{S("d"), {{"jpegPhoto", L(binary_with_zero)}}}}},
      {"long base64 value without 0 bytes", "dn: d\ndata:: " + base64(binary_without_zero) + "\n\n",
       {{S("d"), {{"data", S(binary_without_zero)}}}}},

      // options
      {"binary option", "dn: d\njpegPhoto;binary:: AAEC\n\n",
       {{S("d"), {{"jpegPhoto", L("\x00\x01\x02"s)}}}}},
      {"binary option without 0 bytes", "dn: d\ncert;binary:: Zm9v\n\n",
       {{S("d"), {{"cert", S("foo")}}}}},
      {"other options are dropped", "dn: d\ncn;lang-en: x\nsn;binaryx: y\n\n",
       {{S("d"), {{"cn", S("x")}, {"sn", S("y")}}}}},

      // escapes
      {"escapes decoded", "dn: d\ncn: a\\28b\\29\nsn: \\4A\\4a\n\n",
       {{S("d"), {{"cn", S("a(b)")}, {"sn", S("JJ")}}}}},
      {"a backslash without two hex digits ends the value",
       "dn: d\ncn: a\\zb\nsn: a\\2\nl: a\\\n\n",
       {{S("d"), {{"cn", S("a")}, {"sn", S("a")}, {"l", S("a")}}}}},
      {"escaped 0 byte stored exactly", "dn: d\ncn: a\\00b\nsn: ab\\00\n\n",
       {{S("d"), {{"cn", L("a\0b"s)}, {"sn", L("ab\0"s)}}}}},

      // continuation lines
      {"continuation line", "dn: d\ncn: foo\n bar\n\n", {{S("d"), {{"cn", S("foobar")}}}}},
      {"only one space is dropped", "dn: d\ncn: foo\n  bar\n baz\n\n",
       {{S("d"), {{"cn", S("foo barbaz")}}}}},
      {"continued DN and base64", "dn: cn=a,\n  o=b\ncn:: Zm\n 9v\n\n",
       {{S("cn=a,o=b"), {{"cn", S("foo")}}}}},
      {"continuation of an empty first line", "dn: d\ncn:\n x\n\n", {{S("d"), {{"cn", S("x")}}}}},
      {"long continuation line read whole",
       "dn: d\ncn: a\n " + std::string(20000, 'b') + "\n c\nsn: z\n\n",
       {{S("d"), {{"cn", S("a" + std::string(20000, 'b') + "c")}, {"sn", S("z")}}}}},
      {"continuation of exactly one block", "dn: d\ncn: a\n " + std::string(8192, 'b') + "\nsn: z\n\n",
       {{S("d"), {{"cn", S("a" + std::string(8192, 'b'))}, {"sn", S("z")}}}}},
      {"continuation one byte over a block",
       "dn: d\ncn: a\n " + std::string(8193, 'b') + "\nsn: z\n\n",
       {{S("d"), {{"cn", S("a" + std::string(8193, 'b'))}, {"sn", S("z")}}}}},
      {"input ends after a continuation line", "dn: d\ncn: a\n b", {{S("d"), {{"cn", S("ab")}}}}},

      // tabs and spaces
      {"tabs and spaces before a value are skipped, after it kept", "dn: d\ncn:\t x\t\n\n",
       {{S("d"), {{"cn", S("x\t")}}}}},
      {"a tab starts a new line, joined to the next name", "dn: d\ncn: foo\n\tbar\nsn: x\n\n",
       {{S("d"), {{"cn", S("foo")}, {"bar\nsn", S("x")}}}}},

      // empty values
      {"empty value", "dn: d\ndescription:\nsn:   \n\n",
       {{S("d"), {{"description", L("")}, {"sn", L("")}}}}},

      // end of input
      {"no final newline", "dn: d\ncn: x", {{S("d"), {{"cn", S("x")}}}}},
      {"no final empty line", "dn: d\ncn: x\n", {{S("d"), {{"cn", S("x")}}}}},
      {"empty input", "", {}},
      {"entry without DN at the end is dropped", "dn: a\n\ncn: x\n", {{S("a"), {}}}},
      {"trailing blank lines add nothing", "dn: a\n\n\n\n", {{S("a"), {}}}},
      {"a name without a colon at the end gets an empty value", "dn: d\ncn: x\nfoo",
       {{S("d"), {{"cn", S("x")}, {"foo", L("")}}}}},

      // lines that are not attribute lines
      {"version line is an attribute", "version: 1\ndn: d\ncn: x\n\n",
       {{S("d"), {{"version", S("1")}, {"cn", S("x")}}}}},
      {"comment line joins the DN line", "# x\ndn: d\ncn: y\n\n",
       {{"", {{"# x\ndn", S("d")}, {"cn", S("y")}}}}},
      {"line without a colon joins the next name", "dn: d\nfoo\ncn: x\n\n",
       {{S("d"), {{"foo\ncn", S("x")}}}}},
      {"blank lines between entries", "dn: a\ncn: 1\n\n\n\ndn: b\ncn: 2\n\n",
       {{S("a"), {{"cn", S("1")}}}, {S("b"), {{"cn", S("2")}}}}},
      {"a carriage return is part of the value", "dn: d\ncn: x\r\n\n", {{S("d"), {{"cn", S("x\r")}}}}},
      {"a line of only a carriage return does not end the entry", "dn: a\ncn: x\n\r\ndn: b\n\n",
       {{S("b"), {{"cn", S("x")}}}}},
      {"a colon at the start of an entry ends the parse", "dn: a\n\n: x\ndn: b\n\n", {{S("a"), {}}}, false},
      {"a colon at the start of the input ends the parse", ": x\ndn: b\n\n", {}, false},
      {"white space before the colon gives an empty name", " : x\ndn: b\n\n",
       {{S("b"), {{"", S("x")}}}}},
      {"a colon line inside an entry joins the next name", "dn: a\ncn: x\n: y\nsn: z\n\n",
       {{S("a"), {{"cn", S("x")}, {": y\nsn", S("z")}}}}},

      // long names
      {"name longer than a block", "dn: d\n" + long_name + ": v\n\n", {{S("d"), {{long_name, S("v")}}}}},
      {"colon-less lines longer than a block",
       "dn: d\n" + colonless + "\n" + colonless + "\n" + colonless + "\ncn: v\n\n",
       {{S("d"), {{colonless + "\n" + colonless + "\n" + colonless + "\ncn", S("v")}}}}},

      // objectClass and names
      {"objectClass values are interned", "dn: d\nobjectClass: top\nobjectClass: person\n\n",
       {{S("d"), {{"objectClass", S("top")}, {"objectClass", S("person")}}}}},
      {"objectClass value holding a 0 byte", "dn: d\nobjectClass: top\\00\n\n",
       {{S("d"), {{"objectClass", L("top\0"s)}}}}},
      {"names are case-sensitive", "DN: x\nobjectclass: top\ndn: d\n\n",
       {{S("d"), {{"DN", S("x")}, {"objectclass", S("top")}}}}},
      {"several entries", "dn: a\ncn: 1\n\ndn: b\nobjectClass: top\n\ndn: c\n",
       {{S("a"), {{"cn", S("1")}}}, {S("b"), {{"objectClass", S("top")}}}, {S("c"), {}}}},
  };
}

TEST_F(LdifParser, InputsAgainstDeliveredEntries) {
  for (const bool clear : {false, true}) {
    for (const ParseCase& c : parse_cases()) {
      SCOPED_TRACE(std::string(c.what) + (clear ? " (store emptied per entry)" : ""));
      write_file(c.input);
      delivered.clear();
      clear_after_entry = clear;
      struct stat status;
      EXPECT_EQ(parse_ldif(path_.c_str(), 0, &status), 0);
      EXPECT_EQ(delivered, c.want);
      if (c.read_to_end) {
        EXPECT_EQ(status.st_size, static_cast<off_t>(c.input.size()));
      }
    }
  }
}

TEST_F(LdifParser, ParseInternsTheSpecialNamesFirst) {
  write_file("cn: x\n");
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), 0);
  EXPECT_EQ(intern_text(&name_pool, "dn"), 0);
  EXPECT_EQ(intern_text(&name_pool, "objectClass"), 3);
}

TEST_F(LdifParser, EqualObjectClassValuesShareAnOffset) {
  entry_callback = [](const ldif_record* r) {
    EXPECT_EQ(r->count, 3u);
    EXPECT_EQ(r->pairs[0].value, r->pairs[2].value);  // "top" twice
    EXPECT_NE(r->pairs[0].value, r->pairs[1].value);
    EXPECT_EQ(r->pairs[0].name, r->pairs[1].name);
    return 0;
  };
  write_file("dn: d\nobjectClass: top\nobjectClass: person\nobjectClass: top\n\n");
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), 0);
  EXPECT_EQ(object_class_pool.offsets.used, 2 * sizeof(uint64_t));
}

// -------------------------------------------------- the ldif_max_pairs limit

std::string entry_with_pairs(int count) {
  std::string s = "dn: d\n";
  for (int i = 0; i < count; ++i) s += "cn: v" + std::to_string(i) + "\n";
  return s + "\n";
}

constexpr int kMax = static_cast<int>(ldif_max_pairs);

TEST_F(LdifParser, AsManyPairsAsTheLimitAreAccepted) {
  write_file(entry_with_pairs(kMax));
  ASSERT_EQ(parse_ldif(path_.c_str(), 0, nullptr), 0);
  ASSERT_EQ(delivered.size(), 1u);
  ASSERT_EQ(delivered[0].pairs.size(), ldif_max_pairs);
  EXPECT_EQ(delivered[0].pairs[kMax - 1],
            (std::pair<std::string, std::string>{"cn", S("v" + std::to_string(kMax - 1))}));
}

TEST_F(LdifParser, MorePairsThanTheLimitEndTheProcess) {
  struct Case {
    const char* what;
    std::string prefix;   // bytes before the parse starts
    std::string entry;
    std::string message;  // regular expression for the line on std_err
  };
  const Case cases[] = {
      {"at the start of the file", "", entry_with_pairs(kMax + 1),
       "LDIF parse error: too many attributes!: cn in line " + std::to_string(kMax + 3) + "\n"},
      {"lines count from the start offset", "dn: z\ncn: 1\n\n", entry_with_pairs(kMax + 1),
       "LDIF parse error: too many attributes!: cn in line " + std::to_string(kMax + 3) + "\n"},
      {"the name is the one of the refused line", "",
       entry_with_pairs(kMax).substr(0, entry_with_pairs(kMax).size() - 1) +
           "objectClass: top\nsn: x\n",
       "LDIF parse error: too many attributes!: objectClass in line " + std::to_string(kMax + 2) +
           "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(c.prefix + c.entry);
    const auto start = static_cast<int64_t>(c.prefix.size());
    EXPECT_EXIT(parse_ldif(path_.c_str(), start, nullptr), testing::ExitedWithCode(1), c.message.c_str());
  }
}

// ------------------------------------------- offsets and incremental parsing

TEST_F(LdifParser, ParsingResumesWhereTheLastParseStopped) {
  // The first entry has no DN, which this callback refuses: a parse that
  // read it would fail, so a successful parse from the offset proves that
  // only the bytes from there on were read.
  refuse_without_dn = true;
  const std::string refused = "cn: no dn here\n\n";
  const std::string first = refused + "dn: a\ncn: 1\n\n";
  write_file(first);
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), -1);
  EXPECT_TRUE(delivered.empty());

  struct stat status;
  EXPECT_EQ(parse_ldif(path_.c_str(), static_cast<int64_t>(refused.size()), &status), 0);
  EXPECT_EQ(delivered, (std::vector<entry>{{S("a"), {{"cn", S("1")}}}}));
  EXPECT_EQ(status.st_size, static_cast<off_t>(first.size()));
  struct stat actual;
  ASSERT_EQ(stat(path_.c_str(), &actual), 0);
  EXPECT_EQ(status.st_ino, actual.st_ino);
  EXPECT_EQ(status.st_mtime, actual.st_mtime);

  // Appended records are parsed from the saved size on, and only they.
  delivered.clear();
  const std::string second = "dn: b\ncn: 2\n\ndn: c\n\n";
  append_file(second);
  EXPECT_EQ(parse_ldif(path_.c_str(), status.st_size, &status), 0);
  EXPECT_EQ(delivered, (std::vector<entry>{{S("b"), {{"cn", S("2")}}}, {S("c"), {}}}));
  EXPECT_EQ(status.st_size, static_cast<off_t>(first.size() + second.size()));

  // Nothing new: nothing delivered, the offset stays.
  delivered.clear();
  EXPECT_EQ(parse_ldif(path_.c_str(), status.st_size, &status), 0);
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(status.st_size, static_cast<off_t>(first.size() + second.size()));
}

TEST_F(LdifParser, AnOffsetPastTheEndReadsNothing) {
  write_file("dn: a\n\n");
  struct stat status;
  EXPECT_EQ(parse_ldif(path_.c_str(), 100, &status), 0);
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(status.st_size, 100);
}

TEST_F(LdifParser, AParseEndedByAColonLineReportsThatLine) {
  const std::string before = "dn: a\n\n";
  write_file(before + ": x\ndn: b\n\n" + std::string(10000, '\n'));
  struct stat status;
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, &status), 0);
  EXPECT_EQ(delivered, (std::vector<entry>{{S("a"), {}}}));
  EXPECT_EQ(status.st_size, static_cast<off_t>(before.size()));
  // Parsing from there meets the same line again and reads nothing more.
  delivered.clear();
  EXPECT_EQ(parse_ldif(path_.c_str(), status.st_size, &status), 0);
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(status.st_size, static_cast<off_t>(before.size()));
}

TEST_F(LdifParser, ValueStoreIsEmptiedAtEveryParse) {
  write_file("dn: a\ncn: 1\n\n");
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), 0);
  EXPECT_GT(value_arena.used, 0u);
  // A parse of a file that cannot be opened still empties it first.
  EXPECT_EQ(parse_ldif((path_ + ".missing").c_str(), 0, nullptr), 0);
  EXPECT_EQ(value_arena.used, 0u);
}

// ---------------------------------------------------------------- failures

TEST_F(LdifParser, AMissingFileParsesAsEmptyAndLeavesTheStatus) {
  struct stat status;
  memset(&status, 0x5a, sizeof status);
  const struct stat before = status;
  EXPECT_EQ(parse_ldif((path_ + ".missing").c_str(), 0, &status), 0);
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(memcmp(&status, &before, sizeof status), 0);
}

TEST_F(LdifParser, ARefusedEntryStopsTheParse) {
  // Static, so that the capture-free callback can count in it.
  static int calls;
  calls = 0;
  entry_callback = [](const ldif_record* r) {
    ++calls;
    return r->count == 2 ? -1 : 0;
  };
  // The refused entry is the second; the third is never read, and the
  // pending last entry is not delivered either.
  write_file("dn: a\ncn: 1\n\ndn: b\ncn: 1\ncn: 2\n\ndn: c\n\ndn: d");
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), -1);
  EXPECT_EQ(calls, 2);

  calls = 0;
  write_file("dn: a\ncn: 1\n\ndn: b\ncn: 1\ncn: 2");  // refused as the last entry
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), -1);
  EXPECT_EQ(calls, 2);
}

TEST_F(LdifParser, AnEntryWithoutDnIsHandedOverWhenAnEmptyLineEndsIt) {
  refuse_without_dn = true;
  write_file("dn: a\n\ncn: x\n\ndn: b\n\n");
  EXPECT_EQ(parse_ldif(path_.c_str(), 0, nullptr), -1);
  EXPECT_EQ(delivered, (std::vector<entry>{{S("a"), {}}}));
}

// Reads through /proc/self/mem from a page followed by an unmapped one, so
// that reading past the page fails: the way to make a read fail after some
// bytes were read.
class FailingRead : public LdifParser {
 protected:
  void SetUp() override {
    LdifParser::SetUp();
    page_size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // An anonymous mapping takes the descriptor -1; when it fails there is
    // nothing to unmap, and TearDown unmaps it otherwise.
    // cppcheck-suppress invalidFunctionArg
    void* p = mmap(nullptr, 2 * page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // cppcheck-suppress memleak
    ASSERT_NE(p, MAP_FAILED);
    page_ = static_cast<char*>(p);
    munmap(page_ + page_size_, page_size_);
    const int fd = open("/proc/self/mem", O_RDONLY);
    if (fd < 0) GTEST_SKIP() << "/proc/self/mem cannot be read here";
    close(fd);
  }
  void TearDown() override {
    if (page_ != nullptr) munmap(page_, page_size_);
    LdifParser::TearDown();
  }
  // Fills the page so that it ends with `tail` after a complete entry.
  void fill_page(std::string_view tail) {
    const std::string head = "dn: z\n\n";
    const std::string filler = "dn: a\ncn: ";
    std::string content = head + filler;
    content.append(page_size_ - content.size() - tail.size(), 'y');
    content += tail;
    ASSERT_EQ(content.size(), page_size_);
    memcpy(page_, content.data(), page_size_);
  }
  int parse() {
    return parse_ldif("/proc/self/mem", static_cast<int64_t>(reinterpret_cast<uintptr_t>(page_)),
                      nullptr);
  }

  size_t page_size_ = 0;
  char* page_ = nullptr;
};

TEST_F(FailingRead, AfterAValueLineItIsAReadError) {
  fill_page("\n");  // the page ends right after a value's newline
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "read error!\n");
  EXPECT_EQ(delivered, (std::vector<entry>{{S("z"), {}}}));
}

TEST_F(FailingRead, InsideAValueLineItFailsSilently) {
  fill_page("yyy");  // the page ends inside the value
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(delivered, (std::vector<entry>{{S("z"), {}}}));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Parses under an address space capped a little above what is mapped now;
// exits with the number of entries delivered when the parse failed with 1,
// else with 100.
void parse_with_capped_memory(const char* path) {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  FILE* f = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f == nullptr || fscanf(f, "%lu", &pages) != 1) _exit(101);
  fclose(f);
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
  const rlimit r = {limit, limit};
  if (setrlimit(RLIMIT_AS, &r) != 0) _exit(102);
  const int result = parse_ldif(path, 0, nullptr);
  _exit(result == 1 ? static_cast<int>(delivered.size()) : 100);
}

TEST_F(LdifParser, RunningOutOfMemoryFailsTheParse) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer's own mappings defeat an address-space cap";
  // A value far larger than the memory left: the first entry is delivered,
  // the pending one is not.
  write_file("dn: a\n\ndn: b\ncn: x\n " + std::string(32 << 20, 'v') + "\n\n");
  EXPECT_EXIT(parse_with_capped_memory(path_.c_str()), testing::ExitedWithCode(1),
              "out of memory!\n");
}

}  // namespace
