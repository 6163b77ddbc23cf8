// The importer's LDIF reader: inputs in, entries or errors (with the line
// that caused them) out.
#include "store/ldif_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct read_entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> values;
  uint64_t line;
  bool operator==(const read_entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const read_entry& e) {
  os << "{dn " << testing::PrintToString(e.dn) << " line " << e.line;
  for (const auto& [n, v] : e.values) os << ", " << n << "=" << testing::PrintToString(v);
  return os << "}";
}

struct temp_file {
  std::string path;
  explicit temp_file(const std::string& bytes) {
    char t[] = "/tmp/ldif_reader_test.XXXXXX";
    const int fd = mkstemp(t);
    path = t;
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ~temp_file() { unlink(path.c_str()); }
};

struct read_result {
  std::vector<read_entry> entries;
  std::string error;  // with the file name replaced by "F"
};

read_result read_all(const std::string& input) {
  temp_file f(input);
  read_result out;
  ldif_reader* r = ldif_reader_open(f.path.c_str());
  EXPECT_NE(r, nullptr);
  if (r == nullptr) return out;
  ldif_entry e{};
  int got;
  while ((got = ldif_reader_next(r, &e)) == 1) {
    read_entry x{std::string(e.dn.bytes, e.dn.len), {}, e.line};
    for (uint64_t i = 0; i < e.count; ++i)
      x.values.emplace_back(std::string(e.attributes[i].name.bytes, e.attributes[i].name.len),
                            std::string(e.attributes[i].value.bytes, e.attributes[i].value.len));
    out.entries.push_back(x);
  }
  if (got < 0) {
    std::string message = ldif_reader_error(r);
    EXPECT_EQ(message.compare(0, f.path.size() + 1, f.path + ":"), 0) << message;
    out.error = "F" + message.substr(std::min(message.size(), f.path.size()));
    EXPECT_EQ(ldif_reader_next(r, &e), -1);  // stays failed
  } else {
    EXPECT_EQ(ldif_reader_error(r), std::string());
    EXPECT_EQ(ldif_reader_next(r, &e), 0);  // stays at the end
  }
  ldif_reader_close(r);
  return out;
}

struct reader_case {
  const char* name;
  std::string input;
  std::vector<read_entry> entries;
};

TEST(LdifReader, ReadsEntries) {
  const reader_case cases[] = {
      {"two entries",
       "dn: cn=a,o=x\nobjectClass: top\ncn: a\n\ndn: cn=b,o=x\ncn: b\n",
       {{"cn=a,o=x", {{"objectClass", "top"}, {"cn", "a"}}, 1}, {"cn=b,o=x", {{"cn", "b"}}, 5}}},
      {"missing final newline", "dn: cn=a\ncn: a", {{"cn=a", {{"cn", "a"}}, 1}}},
      {"CRLF line ends",
       "dn: cn=a\r\ncn: a\r\n\r\ndn: cn=b\r\ncn: b\r\n",
       {{"cn=a", {{"cn", "a"}}, 1}, {"cn=b", {{"cn", "b"}}, 4}}},
      {"version line and comments",
       "# a comment\nversion: 1\n\n# another\n#  folded\n  comment\ndn: cn=a\n# inside\ncn: a\n",
       {{"cn=a", {{"cn", "a"}}, 7}}},
      {"folded lines",
       "dn: cn=long,\n o=x\ndescription: one\n  two\n three\n",
       {{"cn=long,o=x", {{"description", "one twothree"}}, 1}}},
      {"folded inside the name",
       "d\n n: cn=a\ndescr\n iption: x\n",
       {{"cn=a", {{"description", "x"}}, 1}}},
      {"folded CRLF lines", "dn: cn=a\r\ncn: fo\r\n o\r\n", {{"cn=a", {{"cn", "foo"}}, 1}}},
      {"folded base64", "dn: cn=a\ncn:: Zm9v\n YmFy\n", {{"cn=a", {{"cn", "foobar"}}, 1}}},
      {"base64 with NUL and padding",
       "dn:: Y249YQ==\nx:: AAEC\ny:: YQ\n",
       {{"cn=a", {{"x", std::string("\0\1\2", 3)}, {"y", "a"}}, 1}}},
      {"spaces after the colon", "dn:    cn=a\ncn:  a b \n", {{"cn=a", {{"cn", "a b "}}, 1}}},
      {"empty values",
       "dn: cn=a\ndescription:\nx::\n",
       {{"cn=a", {{"description", ""}, {"x", ""}}, 1}}},
      {"options stay in the name",
       "dn: cn=a\ncn;lang-en: a\nuserCertificate;binary:: AA==\n",
       {{"cn=a", {{"cn;lang-en", "a"}, {"userCertificate;binary", std::string(1, '\0')}}, 1}}},
      {"backslash hex",
       "dn: cn=a\\2cb\nx: a\\28b\\29\\0a\nz: \\5C\\5c\n",
       {{"cn=a,b", {{"x", "a(b)\n"}, {"z", "\\\\"}}, 1}}},
      {"lone backslashes stay",
       "dn: cn=a\nx: a\\zb\\\ny: \\4\n",
       {{"cn=a", {{"x", "a\\zb\\"}, {"y", "\\4"}}, 1}}},
      {"backslash hex across a fold", "dn: cn=a\nx: a\\2\n 8b\n", {{"cn=a", {{"x", "a(b"}}, 1}}},
      {"many blank lines",
       "\n\n  \ndn: cn=a\ncn: a\n\n\n\n\ndn: cn=b\ncn: b\n\n\n",
       {{"cn=a", {{"cn", "a"}}, 4}, {"cn=b", {{"cn", "b"}}, 10}}},
      {"DN spelled in capitals", "DN: cn=a\ncn: a\n", {{"cn=a", {{"cn", "a"}}, 1}}},
      {"only a DN", "dn: cn=a\n", {{"cn=a", {}, 1}}},
      {"bytes above 127 kept",
       "dn: cn=Jos\xc3\xa9\ncn: Jos\xc3\xa9\n",
       {{"cn=Jos\xc3\xa9", {{"cn", "Jos\xc3\xa9"}}, 1}}},
      {"operational attributes",
       "dn: cn=a\nentryUUID: 1-2\ncreateTimestamp: 20240101000000Z\n",
       {{"cn=a", {{"entryUUID", "1-2"}, {"createTimestamp", "20240101000000Z"}}, 1}}},
      {"empty input", "", {}},
      {"comments only", "# nothing\n# here\n", {}},
  };
  for (const reader_case& c : cases) {
    SCOPED_TRACE(c.name);
    const read_result r = read_all(c.input);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.entries, c.entries);
  }
}

struct error_case {
  const char* name;
  std::string input;
  size_t entries_before;  // entries delivered before the error
  const char* error;
};

TEST(LdifReader, RefusesWithTheLineNumber) {
  const error_case cases[] = {
      {"changetype", "dn: cn=a\nchangetype: add\ncn: a\n", 0,
       "F:2: change records are not supported (\"changetype:\")"},
      {"changetype later", "dn: cn=a\ncn: a\n\ndn: cn=b\ncn: b\nchangeType: modify\n", 1,
       "F:6: change records are not supported (\"changeType:\")"},
      {"control", "dn: cn=a\ncontrol: 1.2.3 true\nchangetype: delete\n", 0,
       "F:2: change records are not supported (\"control:\")"},
      {"URL value", "dn: cn=a\njpegPhoto:< file:///x.jpg\n", 0,
       "F:2: URL values (\":<\") are not supported"},
      {"bad base64", "dn: cn=a\ncn:: Zm9v!\n", 0, "F:2: invalid base64 value of \"cn\""},
      {"base64 of wrong length", "dn: cn=a\ncn:: Zm9vY\n", 0,
       "F:2: invalid base64 value of \"cn\""},
      {"padding inside", "dn: cn=a\ncn:: Zg==Zg==\n", 0, "F:2: invalid base64 value of \"cn\""},
      {"bad base64 after a fold", "dn: cn=a\ndescription: x\ncn:: Zm9v\n YmF*\n", 0,
       "F:3: invalid base64 value of \"cn\""},
      {"no colon", "dn: cn=a\ncn a\n", 0, "F:2: missing ':' after the attribute name"},
      {"empty name", "dn: cn=a\n: a\n", 0, "F:2: empty attribute name"},
      {"bad name", "dn: cn=a\nc n: a\n", 0, "F:2: invalid attribute name \"c n\""},
      {"tab before a name", "dn: cn=a\n\tcn: a\n", 0, "F:2: invalid attribute name \"\tcn\""},
      {"entry without dn", "cn: a\ndn: cn=a\n", 0, "F:1: an entry must start with a \"dn:\" line"},
      {"two entries run together", "dn: cn=a\ncn: a\ndn: cn=b\n", 0,
       "F:3: a second \"dn:\" line in one entry (missing empty line?)"},
      {"continuation outside an entry", "dn: cn=a\ncn: a\n\n x\n", 1,
       "F:4: continuation line outside an entry"},
      {"bad version", "version: 2\ndn: cn=a\n", 0, "F:1: unsupported LDIF version \"2\""},
      {"version after an entry", "dn: cn=a\ncn: a\n\nversion: 1\n", 1,
       "F:4: an entry must start with a \"dn:\" line"},
      {"error after folded lines counts physical lines",
       "dn: cn=a,\n o=x\ndescr\n iption: x\nbad\n", 0, "F:5: missing ':' after the attribute name"},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.name);
    const read_result r = read_all(c.input);
    EXPECT_EQ(r.entries.size(), c.entries_before);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST(LdifReader, ReadsLinesAndEntriesOfAnySize) {
  // A value much longer than the input buffer, on one line and folded, and
  // an entry with many attributes.
  std::string big(3u << 20, 'v');
  big[12345] = 'w';
  std::string folded;
  for (size_t i = 0; i < big.size(); i += 76) folded += (i ? "\n " : "") + big.substr(i, 76);
  std::string input = "dn: cn=big\ndescription: " + big + "\nx: " + folded + "\n\ndn: cn=many\n";
  for (int i = 0; i < 5000; ++i) input += "member: cn=m" + std::to_string(i) + "\n";
  const read_result r = read_all(input);
  EXPECT_EQ(r.error, "");
  ASSERT_EQ(r.entries.size(), 2u);
  ASSERT_EQ(r.entries[0].values.size(), 2u);
  EXPECT_EQ(r.entries[0].values[0].second, big);
  EXPECT_EQ(r.entries[0].values[1].second, big);
  EXPECT_EQ(r.entries[1].line, 3 + big.size() / 76 + 2);
  ASSERT_EQ(r.entries[1].values.size(), 5000u);
  EXPECT_EQ(r.entries[1].values[4999].second, "cn=m4999");
}

TEST(LdifReader, MissingFileCannotBeOpened) {
  errno = 0;
  EXPECT_EQ(ldif_reader_open("/nonexistent/dir/file.ldif"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(LdifReader, ReadsStandardInputAsDash) {
  temp_file f("dn: cn=a\ncn: a\n");
  // Put the file on descriptor 0 for the reader, then restore it.
  const int saved = dup(0);
  const int fd = open(f.path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  dup2(fd, 0);
  close(fd);
  ldif_reader* r = ldif_reader_open("-");
  ASSERT_NE(r, nullptr);
  ldif_entry e{};
  EXPECT_EQ(ldif_reader_next(r, &e), 1);
  EXPECT_EQ(std::string(e.dn.bytes, e.dn.len), "cn=a");
  EXPECT_EQ(ldif_reader_next(r, &e), 0);
  ldif_reader_close(r);
  // Standard input stays open: the reader does not own it.
  EXPECT_NE(fcntl(0, F_GETFD), -1);
  dup2(saved, 0);
  close(saved);
}

}  // namespace
