// rowcaster, run as a user runs it: a MySQL dump on standard input, LDIF on
// standard output that ldifimport takes as it is, and one line on standard
// error with the line number when the dump cannot be read.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/dn.h"
#include "tests/harness.h"

namespace {

using harness::program_path;
using harness::read_file;
using harness::run_program;
using harness::temp_dir;
using harness::write_file;

// A dump as the old MySQL dump tool writes it: comments, DROP TABLE and
// LOCK TABLES lines, version comments, KEY lines, tables of different
// widths, an extended INSERT.
const char kShopDump[] =
    "-- MySQL dump 9.11\n"
    "--\n"
    "-- Host: localhost    Database: shop\n"
    "-- ------------------------------------------------------\n"
    "-- Server version\t4.0.24\n"
    "\n"
    "--\n"
    "-- Table structure for table `customers`\n"
    "--\n"
    "\n"
    "DROP TABLE IF EXISTS customers;\n"
    "CREATE TABLE customers (\n"
    "  id int(10) unsigned NOT NULL auto_increment,\n"
    "  login varchar(16) NOT NULL default '',\n"
    "  name varchar(64) NOT NULL default '',\n"
    "  email varchar(128) default NULL,\n"
    "  notes text,\n"
    "  PRIMARY KEY  (id),\n"
    "  KEY login (login),\n"
    "  KEY email (email)\n"
    ") TYPE=MyISAM;\n"
    "\n"
    "--\n"
    "-- Dumping data for table `customers`\n"
    "--\n"
    "\n"
    "/*!40000 ALTER TABLE customers DISABLE KEYS */;\n"
    "LOCK TABLES customers WRITE;\n"
    "INSERT INTO customers VALUES (1,'ann','Ann Smith','ann@example.com','Prefers email.\\r\\nNo calls.');\n"
    "INSERT INTO customers VALUES (2,'bo','Bo O\\'Neil',NULL,NULL);\n"
    "UNLOCK TABLES;\n"
    "/*!40000 ALTER TABLE customers ENABLE KEYS */;\n"
    "\n"
    "--\n"
    "-- Table structure for table `orders`\n"
    "--\n"
    "\n"
    "DROP TABLE IF EXISTS orders;\n"
    "CREATE TABLE orders (\n"
    "  order_no varchar(12) NOT NULL default '',\n"
    "  customer int(10) unsigned NOT NULL default '0',\n"
    "  PRIMARY KEY  (order_no),\n"
    "  KEY customer (customer)\n"
    ") TYPE=InnoDB;\n"
    "\n"
    "LOCK TABLES orders WRITE;\n"
    "INSERT INTO orders VALUES ('A-1001',1),('A-1002',1),('A-1003',2);\n"
    "INSERT INTO orders VALUES ('B-2001',2);\n"
    "UNLOCK TABLES;\n"
    "\n"
    "--\n"
    "-- Table structure for table `settings`\n"
    "--\n"
    "\n"
    "DROP TABLE IF EXISTS settings;\n"
    "CREATE TABLE settings (\n"
    "  section varchar(16) NOT NULL default '',\n"
    "  setting varchar(32) NOT NULL default '',\n"
    "  value blob,\n"
    "  owner int(10) default NULL,\n"
    "  PRIMARY KEY  (setting),\n"
    "  KEY section (section)\n"
    ") TYPE=MyISAM;\n"
    "\n"
    "LOCK TABLES settings WRITE;\n"
    "INSERT INTO settings VALUES ('mail','relay',' smtp.example.com',NULL);\n"
    "INSERT INTO settings VALUES ('ui','greeting','Gr\xc3\xbc\xc3\x9f dich',2);\n"
    "UNLOCK TABLES;\n";

const char kShopLdif[] =
    "dn: 1\nobjectClass: rowcaster\nid: 1\nlogin: ann\nname: Ann Smith\nemail: ann@example.com\n"
    "notes:: UHJlZmVycyBlbWFpbC4NCk5vIGNhbGxzLg==\n\n"
    "dn: 2\nobjectClass: rowcaster\nid: 2\nlogin: bo\nname: Bo O'Neil\n\n"
    "dn: A-1001\nobjectClass: rowcaster\norder_no: A-1001\ncustomer: 1\n\n"
    "dn: B-2001\nobjectClass: rowcaster\norder_no: B-2001\ncustomer: 2\n\n"
    "dn: relay\nobjectClass: rowcaster\nsection: mail\nsetting: relay\nvalue:: IHNtdHAuZXhhbXBsZS5jb20=\n\n"
    "dn: greeting\nobjectClass: rowcaster\nsection: ui\nsetting: greeting\nvalue:: R3LDvMOfIGRpY2g=\n"
    "owner: 2\n\n";

const char kPairTable[] =
    "CREATE TABLE t (\n"
    "  id int(11) NOT NULL default '0',\n"
    "  name varchar(64) default NULL,\n"
    "  PRIMARY KEY  (id)\n"
    ") TYPE=MyISAM;\n";

std::string pair_dump(const std::string& inserts) { return kPairTable + inserts; }

const char kBobEntry[] = "dn: 1\nobjectClass: rowcaster\nid: 1\nname: Bob\n\n";

// ---- Dumps through the program ------------------------------------------------

TEST(Rowcaster, ConvertsDumps) {
  const struct {
    const char* name;
    std::string dump;
    std::string out;
  } cases[] = {
      {"a table and one INSERT", pair_dump("INSERT INTO t VALUES (1,'Bob');\n"), kBobEntry},
      {"a dump of several tables", kShopDump, kShopLdif},
      {"NULL columns are left out",
       pair_dump("INSERT INTO t VALUES (1,NULL);\nINSERT INTO t VALUES (2,'x');\n"),
       "dn: 1\nobjectClass: rowcaster\nid: 1\n\ndn: 2\nobjectClass: rowcaster\nid: 2\nname: x\n\n"},
      {"escapes", pair_dump("INSERT INTO t VALUES (1,'O\\'Neil');\nINSERT INTO t VALUES (2,'a\\nb');\n"),
       "dn: 1\nobjectClass: rowcaster\nid: 1\nname: O'Neil\n\n"
       "dn: 2\nobjectClass: rowcaster\nid: 2\nname:: YQpi\n\n"},
      {"a multi-row INSERT gives its first row",
       pair_dump("INSERT INTO t VALUES (1,'Bob'),(2,'Eve'),(3,'Mallory');\n"), kBobEntry},
      {"a last line without its newline", pair_dump("INSERT INTO t VALUES (1,'Bob');"), kBobEntry},
      {"a key that is not plain",
       "CREATE TABLE t (\n  id int,\n  name text,\n  PRIMARY KEY  (name)\n) TYPE=MyISAM;\n"
       "INSERT INTO t VALUES (1,':x');\n",
       "dn:: Ong=\nobjectClass: rowcaster\nid: 1\nname:: Ong=\n\n"},
      {"no table definition", "INSERT INTO t VALUES (1,'Bob');\n", ""},
      {"empty input", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const harness::run_result r = run_program(program_path("rowcaster"), {}, c.dump);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Rowcaster, StopsAtTheFirstFaultWithItsLineNumber) {
  const struct {
    const char* name;
    std::string dump;
    std::string err;
    std::string out;  // what had been written out before the fault
  } cases[] = {
      {"NULL primary key", pair_dump("INSERT INTO t VALUES (1,'Bob');\nINSERT INTO t VALUES (NULL,'x');\n"),
       "parse error in line 7: primary key empty!\n\n", ""},
      {"INSERT before any PRIMARY KEY",
       "CREATE TABLE t (\n  id int\n) TYPE=MyISAM;\nINSERT INTO t VALUES (1);\n",
       "parse error in line 4: primary key empty!\n\n", ""},
      {"ENGINE instead of TYPE",
       "CREATE TABLE t (\n  id int,\n  PRIMARY KEY  (id)\n) ENGINE=MyISAM;\nINSERT INTO t VALUES (1);\n",
       "parse error in line 4: expected two leading spaces!\n\n", ""},
      {"table name without a space", "-- dump\nCREATE TABLE t\n",
       "parse error in line 2: expected ' ' after table name!\n\n", ""},
      {"PRIMARY KEY without '('", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY id\n",
       "parse error in line 3: expected '('!\n\n", ""},
      {"PRIMARY KEY without ')'", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (id\n",
       "parse error in line 3: expected ')'!\n\n", ""},
      {"PRIMARY KEY of no column", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY  (nr)\n",
       "primary key not found?!\n\n", ""},
      {"column without a space", "CREATE TABLE t (\n  id\n",
       "parse error in line 2: expected ' ' after field name!\n\n", ""},
      {"INSERT without '('", pair_dump("INSERT INTO t VALUES;\n"),
       "parse error in line 6: expected '(' in INSERT statement!\n\n", ""},
      {"negative number", pair_dump("INSERT INTO t VALUES (-1,'x');\n"),
       "parse error in line 6: expected NULL, 'string' or 1234!\n\n", ""},
      {"decimal fraction", pair_dump("INSERT INTO t VALUES (1.5,'x');\n"),
       "parse error in line 6: expected ',' or ')'!\n\n", ""},
      {"missing closing quote", pair_dump("INSERT INTO t VALUES (1,'x);\n"),
       "parse error in line 6: expected closing '!\n\n", ""},
      {"backslash at the end of input", pair_dump("INSERT INTO t VALUES (1,'x\\"),
       "parse error in line 6: \\ at line ending!\n\n", ""},
      // Reading the unterminated last line meets the end of input, and every
      // read of input first writes out what is buffered.
      {"a fault in a last line without newline",
       pair_dump("INSERT INTO t VALUES (1,'Bob');\nINSERT INTO t VALUES (2);"),
       "parse error in line 7: expected NULL, 'string' or 1234!\n\n", kBobEntry},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const harness::run_result r = run_program(program_path("rowcaster"), {}, c.dump);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
  }
}

// ---- Buffering ----------------------------------------------------------------

// A dump of `rows` single-row INSERT lines, each with a filler of its own.
std::vector<std::string> insert_lines(int rows) {
  std::vector<std::string> lines;
  for (int i = 1; i <= rows; ++i) {
    lines.push_back("INSERT INTO t VALUES (" + std::to_string(i) + ",'row " + std::to_string(i) +
                    " " + std::string(static_cast<size_t>(20 + i % 50), 'x') + "');\n");
  }
  return lines;
}

// The entries of LDIF text, each with its closing empty line.
std::vector<std::string> split_entries(const std::string& ldif) {
  std::vector<std::string> out;
  for (size_t at = 0; at < ldif.size();) {
    const size_t end = ldif.find("\n\n", at);
    if (end == std::string::npos) {
      out.push_back(ldif.substr(at));
      break;
    }
    out.push_back(ldif.substr(at, end + 2 - at));
    at = end + 2;
  }
  return out;
}

TEST(Rowcaster, LargeDumpsComeThroughWhole) {
  const std::vector<std::string> lines = insert_lines(2000);
  std::string dump = kPairTable;
  for (const std::string& l : lines) dump += l;
  const harness::run_result r = run_program(program_path("rowcaster"), {}, dump);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> entries = split_entries(r.out);
  ASSERT_EQ(entries.size(), lines.size());
  EXPECT_EQ(entries.front(), "dn: 1\nobjectClass: rowcaster\nid: 1\nname: row 1 " +
                                 std::string(21, 'x') + "\n\n");
  EXPECT_EQ(entries.back(), "dn: 2000\nobjectClass: rowcaster\nid: 2000\nname: row 2000 " +
                                std::string(20, 'x') + "\n\n");
}

TEST(Rowcaster, AFaultLosesTheEntriesNotYetWrittenOut) {
  // Standard input is read in blocks of 8192 bytes, and each read first
  // writes out every buffered entry. The fault comes a few lines after the
  // last block boundary, too few for the entries after that boundary to fill
  // the output buffer: exactly the entries of the lines that ended before
  // the boundary reach standard output.
  const std::vector<std::string> lines = insert_lines(400);
  std::string good = kPairTable;
  for (const std::string& l : lines) good += l;
  const harness::run_result whole = run_program(program_path("rowcaster"), {}, good);
  ASSERT_EQ(whole.status, 0);
  const std::vector<std::string> entries = split_entries(whole.out);
  ASSERT_EQ(entries.size(), lines.size());

  std::string dump = kPairTable;
  size_t used = 0;  // lines in the faulty dump
  while (used < lines.size() && dump.size() < 3 * 8192 + 300) dump += lines[used++];
  ASSERT_LT(used, lines.size());
  dump += "INSERT INTO t VALUES (NULL,'lost');\n";
  const size_t boundary = 8192 * ((dump.size() - 1) / 8192);
  ASSERT_EQ(boundary, 3 * 8192u);

  std::string expected;
  size_t end = std::string(kPairTable).size();
  for (size_t i = 0; i < used; ++i) {
    end += lines[i].size();
    if (end <= boundary) expected += entries[i];
  }
  const harness::run_result r = run_program(program_path("rowcaster"), {}, dump);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "parse error in line " + std::to_string(6 + used) + ": primary key empty!\n\n");
  EXPECT_FALSE(expected.empty());
  EXPECT_LT(expected.size(), whole.out.size());
  EXPECT_EQ(r.out, expected);
}

// ---- Round trip through a data file -------------------------------------------

using attribute_list = std::vector<std::pair<std::string, std::string>>;

bool hex_digit(char c, int* v) {
  if (c >= '0' && c <= '9') *v = c - '0';
  else if (c >= 'a' && c <= 'f') *v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') *v = c - 'A' + 10;
  else return false;
  return true;
}

// The value of an "attr: value" line in the dialect both programs write:
// a backslash and two hex digits stand for that byte.
std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int hi, lo;
    if (text[i] == '\\' && i + 2 < text.size() && hex_digit(text[i + 1], &hi) &&
        hex_digit(text[i + 2], &lo)) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string base64_decoded(const std::string& text) {
  std::string bytes(3 * text.size() / 4 + 3, '\0');
  uint64_t n = 0;
  EXPECT_EQ(base64_decode(text.c_str(), bytes.data(), &n), text.size()) << text;
  bytes.resize(n);
  return bytes;
}

// Every entry of LDIF text as its (name, value) pairs, values decoded.
std::vector<attribute_list> parse_ldif(const std::string& ldif) {
  std::vector<attribute_list> entries(1);
  for (size_t at = 0; at < ldif.size();) {
    size_t end = ldif.find('\n', at);
    if (end == std::string::npos) end = ldif.size();
    const std::string line = ldif.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      if (!entries.back().empty()) entries.emplace_back();
      continue;
    }
    const size_t colon = line.find(':');
    EXPECT_NE(colon, std::string::npos) << line;
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    if (line.compare(colon, 3, ":: ") == 0) {
      entries.back().emplace_back(name, base64_decoded(line.substr(colon + 3)));
    } else {
      EXPECT_EQ(line.compare(colon, 2, ": "), 0) << line;
      entries.back().emplace_back(name, unescaped(line.substr(colon + 2)));
    }
  }
  if (entries.back().empty()) entries.pop_back();
  return entries;
}

std::string canonical(std::string dn) {
  dn.resize(static_cast<size_t>(canonical_dn(dn.data(), dn.data(), static_cast<int32_t>(dn.size()))));
  return dn;
}

TEST(Rowcaster, OutputImportsAndExportsUnchanged) {
  // Every kind of value that needs care: escapes of control bytes, a NUL,
  // a newline, leading and trailing spaces, marks that LDIF gives a meaning
  // to, text that the importer would read as a hex escape, UTF-8, NULLs.
  const std::string dump =
      "-- MySQL dump 9.11\n"
      "DROP TABLE IF EXISTS notes;\n"
      "CREATE TABLE notes (\n"
      "  id int(11) NOT NULL default '0',\n"
      "  title varchar(64) NOT NULL default '',\n"
      "  body text,\n"
      "  tag varchar(8) default NULL,\n"
      "  PRIMARY KEY  (id),\n"
      "  KEY tag (tag)\n"
      ") TYPE=MyISAM;\n"
      "LOCK TABLES notes WRITE;\n"
      "INSERT INTO notes VALUES (1,'plain','two\\nlines',NULL);\n"
      "INSERT INTO notes VALUES (2,'nul','a\\0b','\\t\\r\\Z\\b');\n"
      "INSERT INTO notes VALUES (3,' lead',':colon','<angle');\n"
      "INSERT INTO notes VALUES (4,'trail ','C:\\\\41\\\\temp','\\\\');\n"
      "INSERT INTO notes VALUES (5,'','\xc3\xa9t\xc3\xa9','O\\'Neil');\n"
      "UNLOCK TABLES;\n"
      "CREATE TABLE tags (\n"
      "  name varchar(8) NOT NULL default '',\n"
      "  color varchar(8) default NULL,\n"
      "  PRIMARY KEY  (name)\n"
      ") TYPE=MyISAM;\n"
      "INSERT INTO tags VALUES ('Red','#ff0000'),('blue','#0000ff');\n"
      "INSERT INTO tags VALUES ('green',NULL);";  // no final newline
  const std::string nul("a\0b", 3);
  const std::vector<attribute_list> expected = {
      {{"dn", "1"}, {"objectClass", "rowcaster"}, {"id", "1"}, {"title", "plain"}, {"body", "two\nlines"}},
      {{"dn", "2"}, {"objectClass", "rowcaster"}, {"id", "2"}, {"title", "nul"}, {"body", nul},
       {"tag", "\t\r\x1a\b"}},
      {{"dn", "3"}, {"objectClass", "rowcaster"}, {"id", "3"}, {"title", " lead"}, {"body", ":colon"},
       {"tag", "<angle"}},
      {{"dn", "4"}, {"objectClass", "rowcaster"}, {"id", "4"}, {"title", "trail "},
       {"body", "C:\\41\\temp"}, {"tag", "\\"}},
      {{"dn", "5"}, {"objectClass", "rowcaster"}, {"id", "5"}, {"title", ""},
       {"body", "\xc3\xa9t\xc3\xa9"}, {"tag", "O'Neil"}},
      {{"dn", "Red"}, {"objectClass", "rowcaster"}, {"name", "Red"}, {"color", "#ff0000"}},
      {{"dn", "green"}, {"objectClass", "rowcaster"}, {"name", "green"}},
  };

  temp_dir d;
  const harness::run_result converted = run_program(program_path("rowcaster"), {}, dump);
  ASSERT_EQ(converted.status, 0) << converted.err;
  EXPECT_EQ(parse_ldif(converted.out), expected);
  write_file(d.file("rows.ldif"), converted.out);

  const harness::run_result imported =
      run_program(program_path("ldifimport"), {d.file("rows.data"), d.file("rows.ldif")});
  ASSERT_EQ(imported.status, 0) << imported.err;
  const harness::run_result exported = run_program(program_path("ldifexport"), {d.file("rows.data")});
  ASSERT_EQ(exported.status, 0) << exported.err;

  // The importer stores DNs in their canonical spelling; every value comes
  // back as the same bytes.
  std::vector<attribute_list> back = expected;
  for (attribute_list& e : back) e[0].second = canonical(e[0].second);
  EXPECT_EQ(parse_ldif(exported.out), back);
}

}  // namespace
