// ldifimport, run as a user runs it: LDIF in, a data file out that the
// readers accept, errors named by file and line, OUTPUT never half-written.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "store/data_file.h"
#include "tests/harness.h"

namespace {

using harness::program_path;
using harness::read_file;
using harness::run_program;
using harness::temp_dir;
using harness::write_file;

const char kPeople[] =
    "version: 1\n"
    "# two people\n"
    "dn: uid=ann, ou=People, dc=example,dc=com\n"
    "objectClass: top\n"
    "objectClass: person\n"
    "uid: ann\n"
    "cn: Ann Smith\n"
    "mail: ann@example.com\n"
    "\n"
    "dn: uid=bo,ou=People,dc=example,dc=com\n"
    "objectClass: person\n"
    "cn:: Qm8gQsO2aG0=\n"
    "description: first\n"
    "  line\\0asecond\n"
    "\n";

const char kBase[] =
    "dn: dc=example,dc=com\n"
    "objectClass: domain\n"
    "dc: example\n"
    "entryUUID: 3f2a9c1e-0000-4000-8000-000000000001\n"
    "createTimestamp: 20240101120000Z\n";

std::vector<std::string> dir_names(const temp_dir& d) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(d.path))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The loaded file's attribute table as "name/flags" texts and its index
// blocks as "type:name" texts.
struct file_summary {
  uint32_t records = 0;
  std::vector<std::string> attributes;
  std::vector<std::string> blocks;
};

file_summary summarise(const std::string& path) {
  file_summary s;
  uint64_t size = 0;
  const char* base = map_file_readonly(path.c_str(), &size);
  EXPECT_NE(base, nullptr) << path;
  if (base == nullptr) return s;
  EXPECT_TRUE(check_data_file(base, size));
  const data_view v{base, size};
  uint32_t attribute_count = 0, sst = 0, indices = 0;
  view_word(&v, 4, &attribute_count);
  view_word(&v, 8, &s.records);
  view_word(&v, 12, &indices);
  view_word(&v, 16, &sst);
  const uint64_t table = data_header_size + uint64_t{sst};
  for (uint32_t i = 0; i < attribute_count; ++i) {
    uint32_t name = 0, flags = 0;
    view_word(&v, table + 4 * i, &name);
    view_word(&v, table + 4 * (attribute_count + i), &flags);
    s.attributes.push_back(std::string(base + name) + "/" + std::to_string(flags));
  }
  for (uint64_t b = indices + 4 * uint64_t{s.records}; b < size;) {
    uint32_t type = 0, next = 0, name = 0;
    view_word(&v, b, &type);
    view_word(&v, b + 4, &next);
    view_word(&v, b + 8, &name);
    s.blocks.push_back(std::to_string(type) + ":" + std::string(base + name));
    if (next <= b) break;
    b = next;
  }
  munmap(const_cast<char*>(base), size);
  return s;
}

TEST(Ldifimport, ImportsFilesAndPrintsTheSummary) {
  temp_dir d;
  write_file(d.file("base.ldif"), kBase);
  write_file(d.file("people.ldif"), kPeople);
  const harness::run_result r = run_program(
      program_path("ldifimport"), {d.file("data"), d.file("base.ldif"), d.file("people.ldif")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress line: standard error is not a terminal
  const std::regex summary(
      R"((.*): 3 entries, 9 attributes, 2 indexes, (\d+) bytes, \d+\.\d\d seconds\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, summary)) << r.out;
  EXPECT_EQ(m[1], d.file("data"));
  EXPECT_EQ(std::stoull(m[2]), std::filesystem::file_size(d.file("data")));
  const file_summary s = summarise(d.file("data"));
  EXPECT_EQ(s.records, 3u);
  EXPECT_EQ(s.attributes, (std::vector<std::string>{"dn/1", "objectClass/1", "dc/1", "entryUUID/0",
                                                    "createTimestamp/0", "uid/1", "cn/1", "mail/1",
                                                    "description/1"}));
  EXPECT_EQ(s.blocks, (std::vector<std::string>{"3:dn", "1:objectClass"}));
  // The records read back as they were given: DNs normalised, base64 and
  // backslash-hex values decoded, folded lines joined.
  const harness::run_result back = run_program(program_path("ldifexport"), {d.file("data")});
  EXPECT_EQ(back.out,
            "dn: dc=example,dc=com\nobjectClass: domain\ndc: example\n"
            "entryUUID: 3f2a9c1e-0000-4000-8000-000000000001\ncreateTimestamp: 20240101120000Z\n\n"
            "dn: uid=ann,ou=People,dc=example,dc=com\nobjectClass: top\nobjectClass: person\n"
            "uid: ann\ncn: Ann Smith\nmail: ann@example.com\n\n"
            "dn: uid=bo,ou=People,dc=example,dc=com\nobjectClass: person\n"
            "cn: Bo B\xc3\xb6hm\ndescription: first line\\0asecond\n\n");
}

TEST(Ldifimport, ReadsStandardInputWithoutInputsOrForADash) {
  for (const std::vector<std::string>& inputs :
       {std::vector<std::string>{}, std::vector<std::string>{"-"}}) {
    temp_dir d;
    std::vector<std::string> args{d.file("data")};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const harness::run_result r = run_program(program_path("ldifimport"), args, kPeople);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(summarise(d.file("data")).records, 2u);
  }
}

TEST(Ldifimport, OptionsAddToOrReplaceTheDefaults) {
  struct option_case {
    std::vector<std::string> options;
    std::vector<std::string> blocks;
    std::string cn_flags;  // attribute-table entry of cn
  };
  const option_case cases[] = {
      {{}, {"3:dn", "1:objectClass"}, "cn/1"},
      {{"-n"}, {}, "cn/0"},
      {{"-i", "cn", "-h", "mail:7", "-c", "UID"},
       {"3:dn", "1:objectClass", "0:cn", "3:mail"},
       "cn/1"},
      {{"-n", "-icn:1", "-c", "cn"}, {"1:cn"}, "cn/1"},
      {{"-h", "dn:3", "-i", "seeAlso"}, {"3:dn", "1:objectClass", "0:seeAlso"}, "cn/1"},
      {{"-n", "-i", "mail", "--"}, {"0:mail"}, "cn/0"},
  };
  // Options may also follow OUTPUT and the inputs.
  {
    temp_dir d;
    write_file(d.file("in.ldif"), kPeople);
    const harness::run_result r = run_program(
        program_path("ldifimport"), {d.file("data"), d.file("in.ldif"), "-n", "-i", "cn"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(summarise(d.file("data")).blocks, std::vector<std::string>{"0:cn"});
  }
  for (const option_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.options));
    temp_dir d;
    write_file(d.file("in.ldif"), kPeople);
    std::vector<std::string> args = c.options;
    args.push_back(d.file("data"));
    args.push_back(d.file("in.ldif"));
    const harness::run_result r = run_program(program_path("ldifimport"), args);
    ASSERT_EQ(r.status, 0) << r.err;
    const file_summary s = summarise(d.file("data"));
    EXPECT_EQ(s.blocks, c.blocks);
    EXPECT_NE(std::find(s.attributes.begin(), s.attributes.end(), c.cn_flags), s.attributes.end());
  }
}

TEST(Ldifimport, ErrorsNameTheFileAndLineAndLeaveOutputUntouched) {
  struct error_case {
    const char* name;
    std::string input;
    std::string message;  // after "ldifimport: IN:"
  };
  const error_case cases[] = {
      {"change record", "dn: cn=a\nchangetype: add\nobjectClass: top\n",
       "2: change records are not supported (\"changetype:\")"},
      {"URL value", "dn: cn=a\nobjectClass: top\njpegPhoto:< file:///etc/passwd\n",
       "3: URL values (\":<\") are not supported"},
      {"bad base64", "dn: cn=a\nobjectClass: top\n\ndn: cn=b\ncn:: ***\n",
       "5: invalid base64 value of \"cn\""},
      {"duplicate DN", "dn: cn=a,o=x\nobjectClass: top\n\ndn: CN=a, O=x\nobjectClass: top\n",
       "4: duplicate DN \"cn=a,o=x\""},
      {"no objectClass", "dn: cn=a\nobjectClass: top\n\n\ndn: cn=b\ncn: b\n",
       "5: entry \"cn=b\" has no objectClass value"},
      {"empty DN", "dn:\nobjectClass: top\n", "1: empty DN"},
      {"dn attribute", "dn: cn=a\nobjectClass: top\n\ndn: cn=b\nDn: cn=b\n",
       "5: a second \"dn:\" line in one entry (missing empty line?)"},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir d;
    write_file(d.file("in.ldif"), c.input);
    write_file(d.file("data"), "old contents");
    const harness::run_result r =
        run_program(program_path("ldifimport"), {d.file("data"), d.file("in.ldif")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ldifimport: " + d.file("in.ldif") + ":" + c.message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(d.file("data")), "old contents");
    EXPECT_EQ(dir_names(d), (std::vector<std::string>{"data", "in.ldif"}));
  }
}

TEST(Ldifimport, ErrorInALaterInputNamesThatInput) {
  temp_dir d;
  write_file(d.file("a.ldif"), kBase);
  write_file(d.file("b.ldif"), "\n\ndn: cn=x\nbad line\n");
  const harness::run_result r =
      run_program(program_path("ldifimport"), {d.file("data"), d.file("a.ldif"), d.file("b.ldif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "ldifimport: " + d.file("b.ldif") + ":4: missing ':' after the attribute name\n");
  EXPECT_FALSE(std::filesystem::exists(d.file("data")));
}

TEST(Ldifimport, UnreadableInputAndUnwritableOutput) {
  temp_dir d;
  write_file(d.file("in.ldif"), kPeople);
  harness::run_result r =
      run_program(program_path("ldifimport"), {d.file("data"), d.file("missing.ldif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ldifimport: " + d.file("missing.ldif") + ": No such file or directory\n");
  r = run_program(program_path("ldifimport"), {d.file("no/data"), d.file("in.ldif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ldifimport: " + d.file("no/data") + ": cannot create a temporary file in " +
                       d.file("no") + ": No such file or directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(Ldifimport, BadCommandLinesPrintTheUsage) {
  const std::string usage =
      "usage: ldifimport [-n] [-i attr[:type]] [-h attr[:buckets]] [-c attr] [-a ACLFILE] OUTPUT [INPUT.ldif "
      "...]\n";
  struct usage_case {
    std::vector<std::string> args;
    std::string first_line;  // "" when the usage line is all
  };
  const usage_case cases[] = {
      {{}, ""},
      {{"-n"}, ""},
      {{"-a"}, "ldifimport: option -a needs a file\n"},
      {{"-x", "out"}, "ldifimport: unknown option -x\n"},
      {{"-i"}, "ldifimport: option -i needs an attribute\n"},
      {{"-i", "cn:2", "out"}, "ldifimport: bad number in -i cn:2\n"},
      {{"-h", "dn:many", "out"}, "ldifimport: bad number in -h dn:many\n"},
      {{"-h", "dn:4294967296", "out"}, "ldifimport: bad number in -h dn:4294967296\n"},
      {{"-i", "c n", "out"}, "ldifimport: -i c n: invalid attribute name \"c n\"\n"},
      {{"-i", "objectClass:0", "out"},
       "ldifimport: -i objectClass: objectClass values are shared: its sorted index must be of "
       "type 1\n"},
  };
  for (const usage_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const harness::run_result r = run_program(program_path("ldifimport"), c.args, kPeople);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.first_line + usage);
    EXPECT_EQ(r.out, "");
  }
}

// The data file holds every password hash: owner only, whatever the umask
// (000 included, which would make any other file world-writable).
TEST(Ldifimport, OutputIsReadableByItsOwnerOnlyWhateverTheUmask) {
  for (const char* mask : {"000", "022", "027", "077"}) {
    SCOPED_TRACE(mask);
    temp_dir d;
    write_file(d.file("in.ldif"), kPeople);
    const harness::run_result r =
        run_program("/bin/sh", {"-c", std::string("umask ") + mask + "; exec \"$0\" \"$1\" \"$2\"",
                                program_path("ldifimport"), d.file("data"), d.file("in.ldif")});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(d.file("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dir_names(d), (std::vector<std::string>{"data", "in.ldif"}));
  }
}

TEST(Ldifimport, ExampleDirectoryRoundTripsThroughLdifexport) {
  const std::string example =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "examples" / "example.ldif";
  temp_dir d;
  harness::run_result r = run_program(program_path("ldifimport"), {d.file("one"), example});
  ASSERT_EQ(r.status, 0) << r.err;
  const harness::run_result first = run_program(program_path("ldifexport"), {d.file("one")});
  ASSERT_EQ(first.status, 0);
  r = run_program(program_path("ldifimport"), {d.file("two")}, first.out);
  ASSERT_EQ(r.status, 0) << r.err;
  const harness::run_result second = run_program(program_path("ldifexport"), {d.file("two")});
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(read_file(d.file("two")), read_file(d.file("one")));
  EXPECT_EQ(summarise(d.file("one")).records, 17u);
}

}  // namespace
