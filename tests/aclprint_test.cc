// ACLs from text to data file to listing, run as a user runs the programs:
// aclprint on files laid out byte by byte here (so that every offset can be
// put exactly where a case needs it), and ldifimport -a, whose ACL files
// read what aclprint prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/harness.h"

using harness::program_path;
using harness::read_file;
using harness::run_program;
using harness::run_result;
using harness::write_file;

namespace {

std::string le32(uint32_t w) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(w >> (8 * i)));
  return out;
}

// A data file without records laid out by hand: strings, the attribute
// table, then the blocks of the index chain. aclprint reads the header's
// record count and indices offset and the chain, nothing else.
struct hand_file {
  std::string strings;
  std::vector<uint32_t> names;
  std::string chain;

  uint32_t text(const std::string& s) {
    const auto at = static_cast<uint32_t>(20 + strings.size());
    strings += s + '\0';
    return at;
  }
  uint32_t attribute(const std::string& name) {
    const uint32_t at = text(name);
    names.push_back(at);
    return at;
  }
  uint32_t chain_start() const {
    return static_cast<uint32_t>(20 + strings.size() + 8 * names.size());
  }
  uint32_t next_block() const { return static_cast<uint32_t>(chain_start() + chain.size()); }
  uint32_t block(uint32_t type, const std::string& payload) {
    const uint32_t at = next_block();
    chain += le32(type) + le32(static_cast<uint32_t>(at + 8 + payload.size())) + payload;
    return at;
  }
  std::string bytes() const {
    std::string out = le32(0x31445746) + le32(static_cast<uint32_t>(names.size())) + le32(0) +
                      le32(chain_start()) + le32(static_cast<uint32_t>(strings.size())) + strings;
    for (uint32_t n : names) out += le32(n);
    for (size_t i = 0; i < names.size(); ++i) out += le32(0);
    return out + chain;
  }
};

// The grant and deny word of an ACL entry.
constexpr uint32_t rights(uint16_t grant, uint16_t deny) {
  return uint32_t{grant} | uint32_t{deny} << 16;
}

// The contents of an ACL block that will start at file offset `at`, with
// file offsets written where they point.
struct acl_body {
  uint32_t at;
  std::string bytes;  // after the type and next words

  uint32_t here() const { return static_cast<uint32_t>(at + 8 + bytes.size()); }
  void word(uint32_t v) { bytes += le32(v); }
  void words(std::initializer_list<uint32_t> vs) {
    for (uint32_t v : vs) word(v);
  }
  void put(const std::string& s) { bytes += s; }
  // Rewrites the word at file offset `off`.
  void set(uint32_t off, uint32_t v) { bytes.replace(off - at - 8, 4, le32(v)); }
};

struct data_dir {
  harness::temp_dir dir;
  std::string path = dir.file("data");
  void write(const std::string& bytes) const { write_file(path, bytes); }
};

// ---- A sample with every kind of filter and entry -------------------------

// Filters: self, any, an and of two items (stored in the order cn, sn), a
// filter that does not decode, a substring filter of two parts. ACLs: the
// four shapes of the listing, the last one's names ending at the end of the
// file without a 0 word. A type-7 and a type-0 block come first, a second
// ACL block last (only the first counts).
struct sample {
  hand_file f;
  uint32_t acl_at = 0;

  explicit sample(bool second_acl_block = false) {
    f.attribute("dn");
    f.attribute("objectClass");
    const uint32_t password = f.attribute("userPassword");
    const uint32_t mail = f.attribute("mail");
    const uint32_t cn = f.attribute("cn");
    const uint32_t star = f.text("*");
    f.block(7, "skipped");
    f.block(0, le32(cn));
    acl_at = f.next_block();
    acl_body b{acl_at, {}};
    b.word(5);
    const uint32_t table = b.here();
    for (int i = 0; i < 5; ++i) b.word(0);
    b.word(0);  // the list, set below
    const std::string filters[] = {
        "self",
        std::string("*\0", 2),
        // (&(cn=a)(sn=b)), in that order
        "\xa0\x12\xa3\x07\x04\x02"
        "cn\x04\x01"
        "a\xa3\x07\x04\x02"
        "sn\x04\x01"
        "b",
        std::string("\x30\x00", 2),  // not a filter
        // (cn=ab*yz), one string split where a hex escape ends
        // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
        "\xa4\x0e\x04\x02"
        "cn\x30\x08\x80\x02"
        "ab\x82\x02"
        "yz",
    };
    for (int i = 0; i < 5; ++i) {
      b.set(table + 4 * i, b.here());
      b.put(filters[i]);
    }
    b.set(table + 20, b.here());
    const uint32_t list = b.here();
    b.word(4);
    for (int j = 0; j < 4; ++j) b.word(0);
    b.set(list + 4, b.here());
    b.words({0, 1, rights(3, 8), password, mail, 0});
    b.set(list + 8, b.here());
    b.words({0, 1, rights(0, 0), 0});
    b.set(list + 12, b.here());
    b.words({1, 2, rights(1 | 16, 0), star, 0});
    b.set(list + 16, b.here());
    b.words({2, 1, rights(0, 31)});
    b.word(mail);
    // Without a block behind it, the end of the file ends the names.
    if (second_acl_block) b.word(0);
    f.block(2, b.bytes);
    if (second_acl_block) f.block(2, le32(0) + le32(0));
  }
};

const char kSampleListing[] =
    "5 Filters:\n"
    "\n"
    "0: self\n"
    "1: any\n"
    "2: (&(sn=b)(cn=a))\n"
    "3: \n"
    "4: (cn=*yz)(cn=ab*)\n"
    "\n"
    "\n"
    "4 ACLs:\n"
    "\n"
    "0:  acl [0] [1] userPassword,mail +rw-d\n"
    "1:  acl [0] [1] \n"
    "2:  acl [1] [2] * +rR\n"
    "3:  acl [2] [1] mail -rwadR\n";

TEST(Aclprint, ListsFiltersAndEntries) {
  for (bool second : {false, true}) {
    SCOPED_TRACE(second ? "with a second ACL block" : "one ACL block");
    data_dir d;
    d.write(sample(second).f.bytes());
    const run_result r = run_program(program_path("aclprint"), {d.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kSampleListing);
  }
}

TEST(Aclprint, WithoutAnAclBlockPrintsNothing) {
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  data_dir d;
  d.write(f.bytes());  // no chain at all
  run_result r = run_program(program_path("aclprint"), {d.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  f.block(0, le32(f.names[0]));
  f.block(3, "whatever");
  d.write(f.bytes());
  r = run_program(program_path("aclprint"), {d.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(Aclprint, ReadsDataInTheWorkingDirectoryByDefault) {
  data_dir d;
  const run_result missing = run_program(program_path("aclprint"), {}, "", {}, d.dir.path);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "could not open `data': No such file or directory\n");

  d.write(sample().f.bytes());
  const run_result found = run_program(program_path("aclprint"), {}, "", {}, d.dir.path);
  EXPECT_EQ(found.status, 0);
  EXPECT_EQ(found.out, kSampleListing);
  const run_result extra = run_program(program_path("aclprint"), {d.path, "ignored"});
  EXPECT_EQ(extra.status, 0);
  EXPECT_EQ(extra.out, kSampleListing);

  d.write("");
  const run_result empty = run_program(program_path("aclprint"), {d.path});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("could not open `" + d.path + "': ", 0), 0u) << empty.err;
}

// ---- Broken files ----------------------------------------------------------------

TEST(Aclprint, BrokenOffsetsEndTheListing) {
  const sample s;
  const std::string good = s.f.bytes();
  const uint32_t size = static_cast<uint32_t>(good.size());
  const uint32_t b = s.acl_at;
  const uint32_t table = b + 12;
  auto word = [&](uint32_t off) {
    const auto* p = reinterpret_cast<const unsigned char*>(good.data() + off);
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  };
  auto changed = [&](uint32_t off, uint32_t v) {
    std::string out = good;
    out.replace(off, 4, le32(v));
    return out;
  };
  const uint32_t list = word(table + 20);
  const uint32_t entry0 = word(list + 4);
  const uint32_t chain = s.f.chain_start();
  // The listing up to the line that begins with `text`.
  const std::string full = kSampleListing;
  auto before = [&](const std::string& text) { return full.substr(0, full.find(text)); };

  struct broken_case {
    const char* name;
    std::string bytes;
    std::string out;
  };
  const broken_case cases[] = {
      {"a chain link to its own block", changed(chain + 4, chain), ""},
      {"a chain link backwards", changed(chain + 4, chain - 1), ""},
      {"a chain link beyond the file", changed(chain + 4, size + 1), ""},
      {"a chain ending in the middle of a block header", good.substr(0, chain + 2), ""},
      {"a block header cut after its type", good.substr(0, b + 6), ""},
      {"a filter count past 2^32", changed(b + 8, 0x3ffffffd), "1073741821 Filters:\n\n"},
      {"a filter offset before the table", changed(table + 8, table - 1), before("2: ")},
      {"a filter offset beyond the file", changed(table + 8, size + 1), before("2: ")},
      {"a list offset before the table", changed(table + 20, table - 4), before("\n\n4 ACLs")},
      {"a list offset in the last 3 bytes", changed(table + 20, size - 3), before("\n\n4 ACLs")},
      {"an ACL table past the end of the file", changed(table + 20, size - 4),
       before("\n\n4 ACLs") + "\n\n" + std::to_string(word(size - 4)) + " ACLs:\n\n"},
      {"an entry offset with 15 bytes left", changed(list + 8, size - 15), before("1:  acl")},
      {"an entry offset beyond the file", changed(list + 4, 0xffffffff), before("0:  acl")},
      {"a name stored after its word", changed(entry0 + 12, entry0 + 13),
       before("0:  acl") + "0:  acl [0] [1] "},
      {"a second name stored after its word", changed(entry0 + 16, entry0 + 17),
       before("0:  acl") + "0:  acl [0] [1] userPassword,"},
  };
  for (const broken_case& c : cases) {
    SCOPED_TRACE(c.name);
    data_dir d;
    d.write(c.bytes);
    const run_result r = run_program(program_path("aclprint"), {d.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.out + "broken file!\n");
  }
}

// A filter table that the file ends in: the filters before the end are
// printed, the first offset beyond it is not read.
TEST(Aclprint, AFilterTablePastTheEndOfTheFile) {
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  const uint32_t at = f.next_block();
  acl_body b{at, {}};
  b.word(2);
  b.word(at + 12);  // filter 0 is the table itself: it does not decode
  f.block(2, b.bytes);
  data_dir d;
  d.write(f.bytes());
  const run_result r = run_program(program_path("aclprint"), {d.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "2 Filters:\n\n0: \nbroken file!\n");
}

// Files that end exactly at a page boundary, so that a read past the end
// would fault: offsets at their limits are followed without a byte too many.
TEST(Aclprint, OffsetsAtTheEndOfThePageAreReadWithinTheFile) {
  constexpr uint32_t page = 4096;
  struct page_case {
    const char* name;
    uint32_t body_size;
    void (*fill)(acl_body* b, uint32_t size, uint32_t mail);
    const char* out;
  };
  const page_case cases[] = {
      {"a filter at the end of the file and one of three bytes before it", 23,
       [](acl_body* b, uint32_t size, uint32_t) {
         b->words({2, size, size - 3, b->at + 24, 0});
         b->put("sel");
       },
       "2 Filters:\n\n0: \n1: \n\n\n0 ACLs:\n\n"},
      {"an entry in the last 16 bytes whose names end with the file", 38,
       [](acl_body* b, uint32_t size, uint32_t mail) {
         b->words({1, b->at + 20, b->at + 22});
         b->put(std::string("*\0", 2));
         b->words({1, size - 16});
         b->words({0, 0, rights(1, 0), mail});
       },
       "1 Filters:\n\n0: any\n\n\n1 ACLs:\n\n0:  acl [0] [0] mail +r\n"},
      {"a filter whose length runs past the end", 22,
       [](acl_body* b, uint32_t, uint32_t) {
         b->words({1, b->at + 24, b->at + 20, 0});
         b->put(std::string("\xa3\x7f\x04\x02", 4) + "cn");
       },
       "1 Filters:\n\n0: \n\n\n0 ACLs:\n\n"},
      {"the ACL list at the last word", 12,
       [](acl_body* b, uint32_t, uint32_t) {
         b->words({0, b->at + 16, 0});
       },
       "0 Filters:\n\n\n\n0 ACLs:\n\n"},
  };
  for (const page_case& c : cases) {
    SCOPED_TRACE(c.name);
    hand_file f;
    f.attribute("dn");
    f.attribute("objectClass");
    const uint32_t mail = f.attribute("mail");
    const uint32_t at = page - 8 - c.body_size;
    f.block(7, std::string(at - f.next_block() - 8, 'p'));
    acl_body b{at, {}};
    c.fill(&b, page, mail);
    ASSERT_EQ(b.bytes.size(), c.body_size);
    f.block(2, b.bytes);
    const std::string bytes = f.bytes();
    ASSERT_EQ(bytes.size(), page);
    data_dir d;
    d.write(bytes);
    const run_result r = run_program(program_path("aclprint"), {d.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.out);
  }
}

// ---- ldifimport -a ----------------------------------------------------------------

// The source tree, found from this file's own path.
std::string source_root() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/"));
}

const char kExampleListing[] =
    "3 Filters:\n"
    "\n"
    "0: (dn=cn=admin,dc=example,dc=com)\n"
    "1: any\n"
    "2: self\n"
    "\n"
    "\n"
    "5 ACLs:\n"
    "\n"
    "0:  acl [0] [1] * +rwad\n"
    "1:  acl [1] [2] userPassword +r\n"
    "2:  acl [1] [1] userPassword -r\n"
    "3:  acl [1] [2] userPassword +w\n"
    "4:  acl [1] [1] * +r\n";

TEST(LdifimportAcl, TheExampleRoundTripsThroughAclprint) {
  harness::temp_dir dir;
  const std::string root = source_root();
  const std::string ldif = root + "/examples/example.ldif";
  run_result r = run_program(program_path("ldifimport"),
                             {"-a", root + "/examples/example.acl", dir.file("first"), ldif});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = run_program(program_path("aclprint"), {dir.file("first")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kExampleListing);

  // The listing, fed back, gives the same file.
  write_file(dir.file("listing.acl"), r.out);
  r = run_program(program_path("ldifimport"),
                  {"-a", dir.file("listing.acl"), dir.file("second"), ldif});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_program(program_path("aclprint"), {dir.file("second")}).out, kExampleListing);
  EXPECT_EQ(read_file(dir.file("second")), read_file(dir.file("first")));
}

const char kPeople[] =
    "dn: o=b\nobjectClass: organization\no: b\n\n"
    "dn: cn=x,o=b\nobjectClass: person\ncn: x\nmail: x@b\n\n";

struct import_result {
  run_result run;
  std::string listing;  // aclprint of the output, when written
};

import_result import_acl(const harness::temp_dir& dir, const std::vector<std::string>& acl_files,
                         const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = extra;
  for (size_t i = 0; i < acl_files.size(); ++i) {
    const std::string name = dir.file("acl" + std::to_string(i) + ".txt");
    write_file(name, acl_files[i]);
    args.push_back("-a");
    args.push_back(name);
  }
  args.push_back(dir.file("out"));
  import_result result;
  result.run = run_program(program_path("ldifimport"), args, kPeople);
  if (result.run.status == 0)
    result.listing = run_program(program_path("aclprint"), {dir.file("out")}).out;
  return result;
}

TEST(LdifimportAcl, ReadsEveryFormOfLine) {
  harness::temp_dir dir;
  const std::string acl =
      "# comments and blank lines are skipped\n"
      "\n"
      "   \t\n"
      "7 Filters:\n"
      "10: (&(objectClass=person)(|(cn=x)(mail=*@b)))   # a named filter\n"
      "11:\tself\r\n"
      "acl [10] any mail,CN +r -w\n"
      "(cn=a b\\2a) [11] * +wad-R\n"
      "3:  acl * * objectClass,mail,cn\n"
      "any self\t*\t+r+w\n"
      "* (&) +R\n"
      "12: [10]\n"
      "[12] (cn=x*y*z) -rwadR # nothing for them\n"
      "2 ACLs:\n";
  const import_result r = import_acl(dir, {acl, "* * * +r\n5: *\n"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  EXPECT_EQ(r.run.err, "");
  EXPECT_EQ(r.listing,
            "6 Filters:\n\n"
            "0: (&(objectClass=person)(|(cn=x)(mail=*@b)))\n"
            "1: self\n"
            "2: any\n"
            "3: (cn=a b*)\n"
            "4: (&)\n"
            "5: (cn=*z)(cn=*y*)(cn=x*)\n"
            "\n\n"
            "7 ACLs:\n\n"
            "0:  acl [0] [2] mail,cn +r-w\n"
            "1:  acl [3] [1] * +wad-R\n"
            "2:  acl [2] [2] objectClass,mail,cn \n"
            "3:  acl [2] [1] * +rw\n"
            "4:  acl [2] [4] +R\n"
            "5:  acl [0] [5] -rwadR\n"
            "6:  acl [2] [2] * +r\n");
}

TEST(LdifimportAcl, AFileWithoutAclsWritesNoBlock) {
  harness::temp_dir dir;
  const import_result r = import_acl(dir, {"# nothing yet\n\n"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  EXPECT_EQ(r.listing, "");
}

TEST(LdifimportAcl, ASelfSubjectIsWrittenWithAWarning) {
  harness::temp_dir dir;
  const import_result r = import_acl(dir, {"\nself self * +w\n"});
  ASSERT_EQ(r.run.status, 0);
  EXPECT_EQ(r.run.err, "ldifimport: " + dir.file("acl0.txt") +
                           ":2: warning: a self subject never applies (use * or a filter)\n");
  EXPECT_NE(r.listing.find("0:  acl [0] [0] * +w\n"), std::string::npos) << r.listing;
}

TEST(LdifimportAcl, ErrorsNameTheFileAndLineAndWriteNothing) {
  struct error_case {
    const char* line;
    const char* message;
  };
  const error_case cases[] = {
      {"* *  mail +x", "unknown right \"x\" (the rights are r, w, a, d and R)"},
      {"* * mail +", "no rights after \"+\""},
      {"* * mail -r+", "no rights after \"+\""},
      {"* * mail +r extra", "unexpected text: extra"},
      {"* * mail, +r", "bad attribute list: mail,"},
      {"* * ma_il +r", "bad attribute list: ma_il"},
      {"* * *mail +r", "bad attribute list: *mail"},
      {"* * mail,,cn +r", "bad attribute list: mail,,cn"},
      {"* * ,mail\t+r", "bad attribute list: ,mail"},
      {"*", "an ACL needs a subject and a target"},
      {"acl self", "an ACL needs a subject and a target"},
      {"0: acl *", "an ACL needs a subject and a target"},
      {"me * * +r", "expected self, *, any, [N] or a filter in parentheses"},
      {"selfish * * +r", "expected self, *, any, [N] or a filter in parentheses"},
      {"(cn=a)(cn=b) * * +r", "unexpected text after a filter: (cn=b) * * +r"},
      {"* (cn=a * +r", "bad filter at column 13: unexpected end of text, expected \")\""},
      {"* (cn=a(b) * +r", "bad filter at column 8: \"(\" in a value must be written \\28"},
      {"(cn=a\\q) * * +r",
       "bad filter at column 6: \"\\\" must be followed by two hexadecimal digits"},
      {"(cn:dn:=a) * * +r", "bad filter at column 4: extensible match filters are not supported"},
      {"[3] * * +r", "filter [3] is not named on an earlier line"},
      {"[x] * * +r", "expected a filter number in brackets: [N]"},
      {"1234567890: *", "filter number too large"},
      {"12 Filter:", "expected \"N:\" or an ACL: 12 Filter:"},
      {"5 ACLs: 3", "expected \"N:\" or an ACL: 5 ACLs: 3"},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.line);
    harness::temp_dir dir;
    const import_result r = import_acl(dir, {"# first\n* * * +r\n" + std::string(c.line) + "\n"});
    EXPECT_EQ(r.run.status, 1);
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.run.err, "ldifimport: " + dir.file("acl0.txt") + ":3: " + c.message + "\n");
    struct stat st;
    EXPECT_NE(stat(dir.file("out").c_str(), &st), 0);
  }
}

TEST(LdifimportAcl, NamesAreScopedToTheirFileAndNamedOnce) {
  harness::temp_dir dir;
  import_result r = import_acl(dir, {"1: self\n", "[1] * * +r\n"});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.err, "ldifimport: " + dir.file("acl1.txt") +
                           ":1: filter [1] is not named on an earlier line\n");
  r = import_acl(dir, {"1: self\n1: *\n"});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.err, "ldifimport: " + dir.file("acl0.txt") + ":2: filter number named twice\n");
  r = import_acl(dir, {std::string("* * * +r\n* \0 * +r\n", 18)});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.err, "ldifimport: " + dir.file("acl0.txt") + ":2: a NUL byte in the line\n");
}

TEST(LdifimportAcl, MissingFilesAndOptions) {
  harness::temp_dir dir;
  run_result r =
      run_program(program_path("ldifimport"), {"-a", dir.file("none"), dir.file("out")}, kPeople);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ldifimport: " + dir.file("none") + ": No such file or directory\n");
  r = run_program(program_path("ldifimport"), {dir.file("out"), "-a"}, kPeople);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "ldifimport: option -a needs a file\n");
}

}  // namespace
