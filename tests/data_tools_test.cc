// dataprint and ldifexport, run as a user runs them, on data files laid
// out byte by byte here (so that every block type and string form can be
// placed exactly) and on files from the writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/data_fixture.h"
#include "tests/harness.h"

using harness::program_path;
using harness::run_program;
using harness::run_result;

namespace {

std::string le32(uint32_t w) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(w >> (8 * i)));
  return out;
}

std::string words(std::initializer_list<uint32_t> ws) {
  std::string out;
  for (uint32_t w : ws) out += le32(w);
  return out;
}

void put32(std::string* s, uint64_t off, uint32_t w) { s->replace(off, 4, le32(w)); }

// A data file laid out by hand: strings, attributes and records first, then
// the blocks of the index chain, each ending where the next begins.
struct hand_file {
  uint32_t magic = 0x31445746;
  std::string strings;
  std::vector<uint32_t> names, flags;
  struct rec {
    uint32_t dn, object_class;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
  };
  std::vector<rec> records;
  std::string chain;

  uint32_t text(const std::string& s) {
    auto at = static_cast<uint32_t>(20 + strings.size());
    strings += s + '\0';
    return at;
  }
  uint32_t long_form(const std::string& s) {
    auto at = static_cast<uint32_t>(20 + strings.size());
    strings += '\0' + le32(static_cast<uint32_t>(s.size())) + s;
    return at;
  }
  uint32_t attribute(const std::string& name, uint32_t flag = 0) {
    uint32_t at = text(name);
    names.push_back(at);
    flags.push_back(flag);
    return at;
  }
  void record(uint32_t dn, uint32_t object_class, std::vector<std::pair<uint32_t, uint32_t>> pairs = {}) {
    records.push_back({dn, object_class, std::move(pairs)});
  }
  uint64_t record_at(size_t i) const {
    uint64_t r = 20 + strings.size() + 8 * names.size();
    for (size_t k = 0; k < i; ++k) r += 8 * (2 + records[k].pairs.size());
    return r;
  }
  uint64_t indices_offset() const { return record_at(records.size()); }
  uint32_t next_block() const {
    return static_cast<uint32_t>(indices_offset() + 4 * records.size() + chain.size());
  }
  // Appends a block; returns its offset.
  uint32_t block(uint32_t type, const std::string& payload) {
    uint32_t at = next_block();
    chain += le32(type) + le32(static_cast<uint32_t>(at + 8 + payload.size())) + payload;
    return at;
  }
  std::string bytes() const {
    std::string out = le32(magic) + le32(static_cast<uint32_t>(names.size())) +
                      le32(static_cast<uint32_t>(records.size())) +
                      le32(static_cast<uint32_t>(indices_offset())) +
                      le32(static_cast<uint32_t>(strings.size())) + strings;
    for (uint32_t n : names) out += le32(n);
    for (uint32_t f : flags) out += le32(f);
    for (const rec& r : records) {
      out += le32(static_cast<uint32_t>(2 + r.pairs.size())) + le32(0) + le32(r.dn) + le32(r.object_class);
      for (auto [a, v] : r.pairs) out += le32(a) + le32(v);
    }
    for (size_t i = 0; i < records.size(); ++i) out += le32(static_cast<uint32_t>(record_at(i)));
    return out + chain;
  }
};

// A directory whose file the test writes and the tools read.
struct data_dir {
  harness::temp_dir dir;
  std::string path = dir.file("data");
  void write(const std::string& bytes) const { harness::write_file(path, bytes); }
};

// ---- dataprint ----------------------------------------------------------------

// Four attributes, one record, and one block of every kind, among them a
// block of 1023 bytes (0 KiB) and one of 2048 bytes (2 KiB).
struct print_sample {
  hand_file f;
  uint32_t blocks[7];
  print_sample() {
    f.magic = 255;
    uint32_t dn = f.attribute("dn");
    uint32_t oc = f.attribute("objectClass", 1);
    uint32_t cn = f.attribute("cn", 3);        // other bits do not matter
    f.attribute("description", 2);              // nor does a flag without bit 0
    uint32_t top = f.text("top");
    uint32_t x = f.text("x");
    f.record(f.text("o=x"), top, {{cn, x}});
    blocks[0] = f.block(0, words({cn, x}));
    blocks[1] = f.block(1, words({oc, top, 0}));
    blocks[2] = f.block(2, std::string(1023 - 8, 'a'));
    uint32_t h = f.next_block();
    blocks[3] = f.block(3, words({dn, 1, h + 20, 1, 0}));
    blocks[4] = f.block(7, std::string(2048 - 8, 'u'));
    blocks[5] = f.block(1u << 31, "");
    blocks[6] = f.next_block();
  }
  std::string next(int i) const { return std::to_string(blocks[i + 1]); }
};

TEST(Dataprint, PrintsHeaderAttributesAndEveryBlock) {
  print_sample s;
  const std::string bytes = s.f.bytes();
  data_dir d;
  d.write(bytes);
  run_result r = run_program(program_path("dataprint"), {d.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "magic: ff\n"
            "attribute_count=4\n"
            "record_count=1\n"
            "indices_offset=" + std::to_string(s.f.indices_offset()) + "\n"
            "size_of_string_table=" + std::to_string(s.f.strings.size()) + "\n"
            "\n\nAttributes:\n"
            "dn\n"
            "objectClass (case insensitive)\n"
            "cn (case insensitive)\n"
            "description\n"
            "\nIndices:\n"
            "index type: sorted table\nnext: " + s.next(0) + "\nattribute: cn\nsize: 0 KiB\n"
            "index type: sorted table with record pointer\nnext: " + s.next(1) +
            "\nattribute: objectClass\nsize: 0 KiB\n"
            "index type: acl data\nnext: " + s.next(2) + "\nsize: 0 KiB\n"
            "index type: hash table\nnext: " + s.next(3) + "\nattribute: dn\nsize: 0 KiB\n"
            "index type: unknown (7)\nnext: " + s.next(4) + "\nsize: 2 KiB\n"
            "index type: unknown (2147483648)\nnext: " + s.next(5) + "\nsize: 0 KiB\n");
  EXPECT_EQ(static_cast<size_t>(s.blocks[6]), bytes.size());
}

TEST(Dataprint, MagicInHexAndAnEmptyChain) {
  struct Case {
    uint32_t magic;
    const char* line;
  };
  for (Case c : {Case{0, "magic: 0\n"}, Case{255, "magic: ff\n"}, Case{0xdeadbeef, "magic: deadbeef\n"}}) {
    hand_file f;
    f.magic = c.magic;
    f.attribute("dn");
    f.attribute("objectClass");
    data_dir d;
    d.write(f.bytes());
    run_result r = run_program(program_path("dataprint"), {d.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(c.line) +
                         "attribute_count=2\nrecord_count=0\nindices_offset=51\nsize_of_string_table=15\n"
                         "\n\nAttributes:\ndn\nobjectClass\n\nIndices:\n");
  }
}

TEST(Dataprint, ReadsDataInTheWorkingDirectoryByDefault) {
  data_dir d;
  run_result missing = run_program(program_path("dataprint"), {}, "", {}, d.dir.path);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "could not open \"data\": No such file or directory\n");

  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  d.write(f.bytes());
  run_result found = run_program(program_path("dataprint"), {}, "", {}, d.dir.path);
  EXPECT_EQ(found.status, 0);
  EXPECT_NE(found.out.find("Attributes:\ndn\nobjectClass\n"), std::string::npos) << found.out;
}

TEST(Dataprint, FilesThatCannotBeMappedAreReported) {
  data_dir d;
  run_result missing = run_program(program_path("dataprint"), {d.dir.file("nothing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "could not open \"" + d.dir.file("nothing") + "\": No such file or directory\n");
  d.write("");
  run_result empty = run_program(program_path("dataprint"), {d.path});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err.rfind("could not open \"" + d.path + "\": ", 0), 0u) << empty.err;
}

// ---- Corrupt files ------------------------------------------------------------
//
// A corrupt file is printed as far as it can be read; then one line names the
// offset of the first word or string that lies outside, with status 1.

TEST(Dataprint, CorruptFilesEndWithTheOffsetOfTheDamage) {
  const print_sample s;
  const std::string good = s.f.bytes();
  const auto size = static_cast<uint32_t>(good.size());
  const uint64_t names = 20 + s.f.strings.size();
  data_dir d;
  d.write(good);
  const std::string full = run_program(program_path("dataprint"), {d.path}).out;
  // The good output up to the line that begins with `text`.
  auto before = [&](const std::string& text) { return full.substr(0, full.find(text)); };

  struct Case {
    const char* name;
    std::string bytes;
    std::string out;
    uint64_t offset;
  };
  auto changed = [&](uint64_t at, uint32_t value) {
    std::string b = good;
    put32(&b, at, value);
    return b;
  };
  const Case cases[] = {
      {"header of 3 bytes", good.substr(0, 3), "", 0},
      {"header cut in record_count", good.substr(0, 10), "magic: ff\nattribute_count=4\n", 8},
      {"attribute name outside", changed(names + 8, size), before("cn (case"), size},
      {"flag word outside", changed(4, 0x1000),
       "magic: ff\nattribute_count=4096\n" + before("\n\nAttributes:").substr(28) + "\n\nAttributes:\n",
       names + 4 * 0x1000},
      {"chain that does not move forward", changed(s.blocks[2] + 4, s.blocks[2]),
       before("index type: acl") + "index type: acl data\nnext: " + std::to_string(s.blocks[2]) + "\n",
       s.blocks[2] + 4},
      {"next pointing backwards", changed(s.blocks[4] + 4, s.blocks[1]),
       before("index type: unknown (7)") + "index type: unknown (7)\nnext: " + std::to_string(s.blocks[1]) +
           "\n",
       s.blocks[4] + 4},
      {"next beyond the file", changed(s.blocks[5] + 4, size + 1),
       before("index type: unknown (2147483648)") + "index type: unknown (2147483648)\nnext: " +
           std::to_string(size + 1) + "\n",
       s.blocks[5] + 4},
      {"block attribute outside", changed(s.blocks[3] + 8, size + 5), before("index type: hash"), size + 5},
  };
  for (const Case& c : cases) {
    d.write(c.bytes);
    run_result r = run_program(program_path("dataprint"), {d.path});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, "dataprint: " + d.path + ": broken data file at offset " + std::to_string(c.offset) + "\n")
        << c.name;
  }
}

// Every cut of a good file: printed up to the cut, then reported, never a
// crash or a read past the end. The output is always a prefix of the whole
// file's, since nothing before the cut changes.
TEST(DataTools, EveryTruncationIsPrintedAsFarAsItGoes) {
  hand_file f;
  uint32_t dn = f.attribute("dn");
  uint32_t oc = f.attribute("objectClass", 1);
  uint32_t cn = f.attribute("cn");
  uint32_t top = f.text("top");
  f.record(f.text("o=x"), top, {{cn, f.text("x")}});
  f.record(f.text("cn=y,o=x"), top, {{cn, f.long_form(std::string("y\0", 2))}, {oc, f.text("z")}});
  f.block(0, words({cn, 20}));
  f.block(2, "acl");
  uint32_t h = f.next_block();
  f.block(3, words({dn, 2, 1, h + 24, 1, 0}));
  const std::string bytes = f.bytes();
  data_dir d;
  for (const char* tool : {"dataprint", "ldifexport"}) {
    d.write(bytes);
    run_result whole = run_program(program_path(tool), {d.path});
    ASSERT_EQ(whole.status, 0) << tool << whole.err;
    for (size_t n = 1; n < bytes.size(); ++n) {
      d.write(bytes.substr(0, n));
      run_result r = run_program(program_path(tool), {d.path});
      ASSERT_TRUE(r.status == 0 || r.status == 1) << tool << " at " << n << ": status " << r.status;
      EXPECT_EQ(whole.out.compare(0, r.out.size(), r.out), 0) << tool << " at " << n << ":\n" << r.out;
      if (r.status == 1) {
        EXPECT_EQ(r.err.rfind(std::string(tool) + ": " + d.path + ": broken data file at offset ", 0), 0u)
            << tool << " at " << n << ": " << r.err;
      } else {
        EXPECT_EQ(r.err, "") << tool << " at " << n;
      }
    }
  }
}

// ---- ldifexport ---------------------------------------------------------------

TEST(Ldifexport, WritesEachRecordWithTheShortestFormThatReadsBack) {
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass", 1);
  uint32_t description = f.attribute("description");
  uint32_t cn = f.attribute("cn", 1);
  // The records' strings; names are written as stored.
  uint32_t dn0 = f.text("cn=a,o=b");
  uint32_t person = f.text("person");
  uint32_t xy = f.text("x y");
  f.record(dn0, person, {{description, xy}});

  std::string long_escaped;  // one byte in ten escaped: escaped is shorter
  std::string long_escaped_text;
  for (int i = 0; i < 500; ++i) {
    long_escaped += "abcdefghi\n";
    long_escaped_text += "abcdefghi\\0a";
  }
  std::string long_base64_text;
  for (int i = 0; i < 1666; ++i) long_base64_text += "AQEB";
  long_base64_text += "AQE=";

  struct value_case {
    std::string value;
    bool long_form;
    std::string written;  // after the attribute name
  };
  const value_case values[] = {
      {"x\n", false, ": x\\0a"},               // escaped 4 = base64 4: escaped
      {"(((", false, ":: KCgo"},               // escaped 9 > base64 4
      {"ab*cd", false, ": ab\\2acd"},          // escaped 7 < base64 8
      {" lead", false, ":: IGxlYWQ="},          // leading space
      {":colon", false, ":: OmNvbG9u"},         // leading colon
      {"<url", false, ":: PHVybA=="},           // leading "<"
      {"trail ", false, ": trail "},            // a trailing space is kept as it is
      {"mid: <x", false, ": mid: <x"},          // marks later in the value are harmless
      {"caf\xc3\xa9", false, ": caf\xc3\xa9"},  // bytes above 127 as they are
      {"", true, ": "},                         // the empty string
      {std::string("a\0b", 3), true, ":: YQBi"},              // escaped 5 > base64 4
      {std::string("a\0bcdef", 7), true, ": a\\00bcdef"},    // escaped 9 <= base64 12
      {long_escaped, true, ": " + long_escaped_text},
      {std::string(5000, '\x01'), true, ":: " + long_base64_text},
  };
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  std::string expected_second = "dn: cn=b,o=b\nobjectClass: \n";
  uint32_t dn1 = f.text("cn=b,o=b");
  for (const value_case& v : values) {
    uint32_t at = v.long_form ? f.long_form(v.value) : f.text(v.value);
    pairs.push_back({cn, at});
    expected_second += "cn" + v.written + "\n";
  }
  uint32_t empty_class = f.long_form("");
  f.record(dn1, empty_class, pairs);
  // A DN that needs escaping is written escaped like any value.
  f.record(f.text("cn=(x),o=b"), person);
  data_dir d;
  d.write(f.bytes());
  run_result r = run_program(program_path("ldifexport"), {d.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "dn: cn=a,o=b\nobjectClass: person\ndescription: x y\n\n" + expected_second + "\n" +
                "dn: cn=\\28x\\29,o=b\nobjectClass: person\n\n");
}

TEST(Ldifexport, NoRecordsNoOutput) {
  hand_file f;
  f.attribute("dn");
  f.attribute("objectClass");
  f.block(7, "not records");
  data_dir d;
  d.write(f.bytes());
  run_result r = run_program(program_path("ldifexport"), {d.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(Ldifexport, MissingFilesAreReported) {
  data_dir d;
  run_result by_default = run_program(program_path("ldifexport"), {}, "", {}, d.dir.path);
  EXPECT_EQ(by_default.status, 1);
  EXPECT_EQ(by_default.out, "");
  EXPECT_EQ(by_default.err, "could not open data: No such file or directory\n");
  run_result named = run_program(program_path("ldifexport"), {d.dir.file("x")});
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(named.err, "could not open " + d.dir.file("x") + ": No such file or directory\n");
  d.write("");
  run_result empty = run_program(program_path("ldifexport"), {d.path});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("could not open " + d.path + ": ", 0), 0u) << empty.err;
}

TEST(Ldifexport, ACorruptRecordEndsTheOutputBeforeIt) {
  hand_file f;
  f.attribute("dn");
  uint32_t oc = f.attribute("objectClass");
  uint32_t top = f.text("top");
  f.record(f.text("o=x"), top);
  f.record(f.text("o=y"), top, {{oc, f.text("extra")}});
  f.record(f.text("o=z"), top);
  const std::string good = f.bytes();
  const auto size = static_cast<uint32_t>(good.size());
  const uint64_t r1 = f.record_at(1);
  struct Case {
    const char* name;
    uint64_t word;  // offset of the word to change
    uint32_t value;
    uint64_t offset;  // reported
  };
  const Case cases[] = {
      {"DN outside", r1 + 8, size, size},
      {"objectClass outside", r1 + 12, size + 9, size + 9},
      {"pair attribute outside", r1 + 16, 0xfffffff0, 0xfffffff0},
      {"pair value outside", r1 + 20, size, size},
      {"pair count 1", r1, 1, r1},
      // Its pairs are read until one refers outside or lies outside the file.
      {"pair count beyond the file", r1, 0x10000000, UINT64_MAX},
  };
  data_dir d;
  for (const Case& c : cases) {
    std::string bytes = good;
    put32(&bytes, c.word, c.value);
    d.write(bytes);
    run_result r = run_program(program_path("ldifexport"), {d.path});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, "dn: o=x\nobjectClass: top\n\n") << c.name;
    const std::string line = "ldifexport: " + d.path + ": broken data file at offset ";
    if (c.offset == UINT64_MAX) {
      EXPECT_EQ(r.err.rfind(line, 0), 0u) << c.name << r.err;
    } else {
      EXPECT_EQ(r.err, line + std::to_string(c.offset) + "\n") << c.name;
    }
  }
}

// ---- Files from the writer ------------------------------------------------------

TEST(DataTools, WriterFilesPrintAndExport) {
  data_dir d;
  fixture::options opts;
  opts.nocase = {"cn"};
  opts.hash = {{"dn", 0}};
  std::string err = fixture::write_data_file(
      d.path,
      {{"o=b", {{"objectClass", "organization"}, {"o", "b"}}},
       {"cn=a,o=b", {{"objectClass", "person"}, {"cn", "a"}, {"description", "x y"}, {"cn", " spaced"}}}},
      opts);
  ASSERT_EQ(err, "");
  run_result print = run_program(program_path("dataprint"), {d.path});
  EXPECT_EQ(print.status, 0) << print.err;
  EXPECT_NE(print.out.find("\ncn (case insensitive)\n"), std::string::npos) << print.out;
  const std::string::size_type hash = print.out.find("index type: hash table\nnext: ");
  ASSERT_NE(hash, std::string::npos) << print.out;
  EXPECT_EQ(print.out.find("\nattribute: dn\nsize: 0 KiB\n", hash), print.out.find("\n", hash + 30)) << print.out;
  run_result exported = run_program(program_path("ldifexport"), {d.path});
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.out,
            "dn: o=b\nobjectClass: organization\no: b\n\n"
            "dn: cn=a,o=b\nobjectClass: person\ncn: a\ndescription: x y\ncn:: IHNwYWNlZA==\n\n");
}

// What ldifexport writes, ldifimport reads back to the same values: every
// form of value, the marks at the start that force base64 included.
TEST(DataTools, ExportedLdifImportsBackUnchanged) {
  std::vector<std::pair<std::string, std::string>> values{{"objectClass", "top"}};
  for (const std::string& v :
       {std::string("x\n"), std::string("((("), std::string(" lead"), std::string(":colon"),
        std::string("<url"), std::string("trail "), std::string("   "), std::string(""),
        std::string("a\0b", 3), std::string("back\\5c"), std::string("#not a comment"),
        std::string("caf\xc3\xa9"), std::string(3000, '\x02'), std::string(3000, '(')}) {
    values.push_back({"description", v});
  }
  harness::temp_dir dir;
  ASSERT_EQ(fixture::write_data_file(dir.file("first"), {{"o=t", values}, {"cn=x,o=t", {{"objectClass", ":x"}}}}),
            "");
  run_result first = run_program(program_path("ldifexport"), {dir.file("first")});
  ASSERT_EQ(first.status, 0) << first.err;
  run_result import = run_program(program_path("ldifimport"), {"-n", dir.file("second")}, first.out);
  ASSERT_EQ(import.status, 0) << import.err;
  run_result second = run_program(program_path("ldifexport"), {dir.file("second")});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(harness::read_file(dir.file("second")), harness::read_file(dir.file("first")));
}

}  // namespace
