#include "tools/rowcaster_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/grow_str.h"

namespace {

// What feeding a dump line by line gives: the LDIF of every line handled
// before the first error, and that error ("" when none).
struct conversion {
  std::string ldif;
  std::string error;
};

// Splits the dump like the program reads it: each line keeps its "\n", and
// a last line without one is a line too.
conversion convert(const std::string& dump) {
  rowcaster_state st;
  rowcaster_init(&st);
  conversion c;
  grow_str out{};
  for (size_t at = 0; at < dump.size();) {
    size_t end = dump.find('\n', at);
    end = end == std::string::npos ? dump.size() : end + 1;
    std::string line = dump.substr(at, end - at);
    at = end;
    out.len = 0;
    const int r = rowcaster_line(&st, line.data(), line.size(), &out);
    if (r != 0) {
      EXPECT_EQ(r, -1);
      c.error = st.error;
      break;
    }
    EXPECT_STREQ(st.error, "");
    c.ldif.append(out.bytes == nullptr ? "" : out.bytes, out.len);
  }
  grow_str_free(&out);
  rowcaster_free(&st);
  return c;
}

std::string base64_decoded(const std::string& text) {
  std::string bytes(3 * text.size() / 4 + 3, '\0');
  uint64_t n = 0;
  const uint64_t used = base64_decode(text.c_str(), bytes.data(), &n);
  EXPECT_EQ(used, text.size()) << text;
  bytes.resize(n);
  return bytes;
}

// The (name, value) lines of LDIF text, base64 values decoded; an empty line
// between entries is the pair ("", "").
using attribute_list = std::vector<std::pair<std::string, std::string>>;

attribute_list parse_ldif(const std::string& ldif) {
  attribute_list out;
  size_t at = 0;
  while (at < ldif.size()) {
    size_t end = ldif.find('\n', at);
    EXPECT_NE(end, std::string::npos) << "unterminated line in " << ldif;
    if (end == std::string::npos) break;
    const std::string line = ldif.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      out.emplace_back("", "");
      continue;
    }
    const size_t colon = line.find(':');
    EXPECT_NE(colon, std::string::npos) << line;
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    if (line.compare(colon, 3, ":: ") == 0) {
      out.emplace_back(name, base64_decoded(line.substr(colon + 3)));
    } else {
      EXPECT_EQ(line.compare(colon, 2, ": "), 0) << line;
      out.emplace_back(name, line.substr(colon + 2));
    }
  }
  return out;
}

const char kPeople[] =
    "CREATE TABLE people (\n"
    "  id int(11) NOT NULL default '0',\n"
    "  name varchar(64) default NULL,\n"
    "  mail varchar(64) default NULL,\n"
    "  PRIMARY KEY  (id),\n"
    "  KEY mail (mail)\n"
    ") TYPE=MyISAM;\n";

// ---- Whole entries, byte for byte -------------------------------------------

TEST(RowcasterConvert, WritesOneEntryPerInsert) {
  const struct {
    const char* name;
    std::string dump;
    std::string ldif;
  } cases[] = {
      {"two columns",
       "CREATE TABLE t (\n  id int,\n  name text,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n"
       "INSERT INTO t VALUES (1,'Bob');\n",
       "dn: 1\nobjectClass: rowcaster\nid: 1\nname: Bob\n\n"},
      {"NULL columns are left out",
       std::string(kPeople) + "INSERT INTO people VALUES (7,NULL,'x@example.com');\n",
       "dn: 7\nobjectClass: rowcaster\nid: 7\nmail: x@example.com\n\n"},
      {"the key may be any column, and a string",
       "CREATE TABLE u (\n  n int,\n  login char(8),\n  PRIMARY KEY (login)\n) TYPE=ISAM;\n"
       "INSERT INTO u VALUES (3,'ann');\n",
       "dn: ann\nobjectClass: rowcaster\nn: 3\nlogin: ann\n\n"},
      {"only the first row of a multi-row INSERT",
       std::string(kPeople) + "INSERT INTO people VALUES (1,'a','b'),(2,'c','d'),(3,'e','f');\n",
       "dn: 1\nobjectClass: rowcaster\nid: 1\nname: a\nmail: b\n\n"},
      {"an empty string is a value",
       std::string(kPeople) + "INSERT INTO people VALUES (4,'','');\n",
       "dn: 4\nobjectClass: rowcaster\nid: 4\nname: \nmail: \n\n"},
      {"values that are not plain go as base64, the key too",
       "CREATE TABLE k (\n  k char(9),\n  v text,\n  PRIMARY KEY (k)\n) TYPE=MyISAM;\n"
       "INSERT INTO k VALUES (' lead','a\\nb');\n",
       "dn:: IGxlYWQ=\nobjectClass: rowcaster\nk:: IGxlYWQ=\nv:: YQpi\n\n"},
      {"a last line without its newline",
       std::string(kPeople) + "INSERT INTO people VALUES (5,'e','f');",
       "dn: 5\nobjectClass: rowcaster\nid: 5\nname: e\nmail: f\n\n"},
      {"lines outside a definition and after it are ignored",
       "-- MySQL dump\nINSERT INTO early VALUES (1);\nDROP TABLE IF EXISTS t;\n"
       "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n"
       "LOCK TABLES t WRITE;\n/*!40000 ALTER TABLE t DISABLE KEYS */;\n"
       "INSERT INTO t VALUES (9);\nUNLOCK TABLES;\nSELECT 1;\n",
       "dn: 9\nobjectClass: rowcaster\nid: 9\n\n"},
      {"whatever follows the row is not read",
       "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n"
       "INSERT INTO t VALUES (1)junk 'unterminated\\",
       "dn: 1\nobjectClass: rowcaster\nid: 1\n\n"},
      {"the CREATE TABLE line is handled in any state",
       "CREATE TABLE a (\n  x int,\nCREATE TABLE b (\n  id int,\n  PRIMARY KEY (id)\n"
       ") TYPE=MyISAM;\nINSERT INTO b VALUES (2);\n",
       "dn: 2\nobjectClass: rowcaster\nid: 2\n\n"},
      {"no table definition, no output", "INSERT INTO t VALUES (1);\n\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const conversion r = convert(c.dump);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.ldif, c.ldif);
  }
}

// ---- Tables after tables ----------------------------------------------------

TEST(RowcasterConvert, EachTableHasItsOwnColumnsAndSlots) {
  // The second table is wider than the first and the third narrower: the
  // values of each INSERT belong to its own table's columns.
  const std::string dump =
      "CREATE TABLE one (\n  a int,\n  PRIMARY KEY (a)\n) TYPE=MyISAM;\n"
      "INSERT INTO one VALUES (1);\n"
      "CREATE TABLE five (\n  b int,\n  c int,\n  d int,\n  e int,\n  f int,\n"
      "  PRIMARY KEY (f)\n) TYPE=MyISAM;\n"
      "INSERT INTO five VALUES (10,11,NULL,13,14);\n"
      "CREATE TABLE two (\n  g int,\n  h text,\n  PRIMARY KEY (g)\n) TYPE=MyISAM;\n"
      "INSERT INTO two VALUES (20,'x');\n";
  const conversion r = convert(dump);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.ldif,
            "dn: 1\nobjectClass: rowcaster\na: 1\n\n"
            "dn: 14\nobjectClass: rowcaster\nb: 10\nc: 11\ne: 13\nf: 14\n\n"
            "dn: 20\nobjectClass: rowcaster\ng: 20\nh: x\n\n");
}

TEST(RowcasterConvert, KeyPositionCarriesOverToATableWithoutKey) {
  // A table without its own PRIMARY KEY line keeps the earlier position;
  // when that position is beyond the new table's columns there is no key.
  const struct {
    const char* name;
    std::string second_table;
    std::string ldif;
    std::string error;
  } cases[] = {
      {"position within the new table",
       "CREATE TABLE s (\n  p text,\n  q text\n) TYPE=MyISAM;\nINSERT INTO s VALUES ('p','q');\n",
       "dn: q\nobjectClass: rowcaster\np: p\nq: q\n\n", ""},
      {"position beyond the new table",
       "CREATE TABLE s (\n  p text\n) TYPE=MyISAM;\nINSERT INTO s VALUES ('p');\n", "",
       "parse error in line 9: primary key empty!\n"},
      {"a table without columns",
       "CREATE TABLE s (\n) TYPE=MyISAM;\nINSERT INTO s VALUES ();\n", "",
       "parse error in line 8: primary key empty!\n"},
  };
  const std::string first =
      "CREATE TABLE f (\n  a int,\n  b int,\n  PRIMARY KEY (b)\n) TYPE=MyISAM;\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const conversion r = convert(first + c.second_table);
    EXPECT_EQ(r.ldif, c.ldif);
    EXPECT_EQ(r.error, c.error);
  }
}

// ---- Strings ----------------------------------------------------------------

TEST(RowcasterConvert, DecodesEveryEscapeByItsMySqlMeaning) {
  const struct {
    std::string literal;  // as it stands in the dump
    std::string value;    // the bytes it stands for
  } cases[] = {
      {"'\\n'", "\n"},
      {"'\\t'", "\t"},
      {"'\\r'", "\r"},
      {"'\\0'", std::string(1, '\0')},
      {"'\\Z'", "\x1a"},
      {"'\\b'", "\b"},
      {"'\\\\'", "\\"},
      {"'\\''", "'"},
      {"'\\\"'", "\""},
      {"'\\x'", "x"},
      {"'\\%'", "%"},
      {"'\\N'", "N"},
      {"'O\\'Neil'", "O'Neil"},
      {"'a\\nb'", "a\nb"},
      {"'line one\\r\\nline two\\0end'", std::string("line one\r\nline two\0end", 22)},
      {"'\\\\n'", "\\n"},
      {"'a,b)c'", "a,b)c"},
      {"'tab\\there'", "tab\there"},
      {"'\xc3\xa4'", "\xc3\xa4"},
      {"'raw" + std::string(1, '\0') + "nul'", std::string("raw\0nul", 7)},
      {"''", ""},
      {"0", "0"},
      {"0042", "0042"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    const conversion r = convert(
        "CREATE TABLE t (\n  id int,\n  v text,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n"
        "INSERT INTO t VALUES (1," + c.literal + ");\n");
    EXPECT_EQ(r.error, "");
    const attribute_list expected = {
        {"dn", "1"}, {"objectClass", "rowcaster"}, {"id", "1"}, {"v", c.value}, {"", ""}};
    EXPECT_EQ(parse_ldif(r.ldif), expected);
  }
}

TEST(RowcasterConvert, ValuesThatWouldNotReadBackGoAsBase64) {
  const struct {
    std::string value;
    int plain;
  } cases[] = {
      {"", 1},
      {"Bob", 1},
      {"a b", 1},
      {"x:y<z", 1},
      {"~!@#$%^&*()_+{}|\"'?/.,", 1},
      {"#not a comment", 1},
      {"back\\slash", 1},
      {"\\4", 1},
      {"\\zz", 1},
      {" lead", 0},
      {":colon", 0},
      {"<angle", 0},
      {"trail ", 0},
      {" ", 0},
      {"a\nb", 0},
      {"a\rb", 0},
      {"tab\t", 0},
      {std::string(1, '\0'), 0},
      {"\x1f", 0},
      {"\x7f", 0},
      {"\xc3\xa4", 0},
      {"\\41", 0},
      {"C:\\Af", 0},
      {"x\\0aY", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.value));
    EXPECT_EQ(rowcaster_value_is_plain(c.value.data(), c.value.size()), c.plain);
  }
}

// ---- Failures ---------------------------------------------------------------

TEST(RowcasterConvert, ReportsEachFaultWithItsLine) {
  const std::string t = "CREATE TABLE t (\n  id int,\n  name text,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n";
  const struct {
    const char* name;
    std::string dump;
    std::string error;
  } cases[] = {
      {"table name without a space after it", "-- x\nCREATE TABLE t\n",
       "parse error in line 2: expected ' ' after table name!\n"},
      {"empty table name", "CREATE TABLE  (\n", "parse error in line 1: expected ' ' after table name!\n"},
      {"ENGINE instead of TYPE",
       "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (id)\n) ENGINE=MyISAM;\n",
       "parse error in line 4: expected two leading spaces!\n"},
      {"one leading space", "CREATE TABLE t (\n id int,\n",
       "parse error in line 2: expected two leading spaces!\n"},
      {"PRIMARY KEY without '('", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY id\n",
       "parse error in line 3: expected '('!\n"},
      {"PRIMARY KEY without ')'", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (id\n",
       "parse error in line 3: expected ')'!\n"},
      {"PRIMARY KEY of an unknown column", "CREATE TABLE t (\n  id int,\n  PRIMARY KEY (nr)\n",
       "primary key not found?!\n"},
      {"PRIMARY KEY before any column", "CREATE TABLE t (\n  PRIMARY KEY (id)\n",
       "primary key not found?!\n"},
      {"a key of two columns is one name",
       "CREATE TABLE t (\n  a int,\n  b int,\n  PRIMARY KEY (a,b)\n", "primary key not found?!\n"},
      {"column without a type", "CREATE TABLE t (\n  id\n",
       "parse error in line 2: expected ' ' after field name!\n"},
      {"INSERT without '('", t + "INSERT INTO t VALUES 1,2;\n",
       "parse error in line 6: expected '(' in INSERT statement!\n"},
      {"space before the comma", t + "INSERT INTO t VALUES (1 ,'a');\n",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"negative number", t + "INSERT INTO t VALUES (-1,'a');\n",
       "parse error in line 6: expected NULL, 'string' or 1234!\n"},
      {"decimal fraction", t + "INSERT INTO t VALUES (1.5,'a');\n",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"exponent", t + "INSERT INTO t VALUES (1,2e3);\n",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"unquoted word", t + "INSERT INTO t VALUES (1,abc);\n",
       "parse error in line 6: expected NULL, 'string' or 1234!\n"},
      {"NULL run into a word", t + "INSERT INTO t VALUES (1,NULLS);\n",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"doubled quote ends the string", t + "INSERT INTO t VALUES (1,'it''s');\n",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"missing closing quote", t + "INSERT INTO t VALUES (1,'abc);\n",
       "parse error in line 6: expected closing '!\n"},
      {"backslash at the end of input", t + "INSERT INTO t VALUES (1,'abc\\",
       "parse error in line 6: \\ at line ending!\n"},
      {"escaped newline, then no closing quote", t + "INSERT INTO t VALUES (1,'abc\\\n",
       "parse error in line 6: expected closing '!\n"},
      {"fewer values than columns", t + "INSERT INTO t VALUES (1);\n",
       "parse error in line 6: expected NULL, 'string' or 1234!\n"},
      {"line ends after a value", t + "INSERT INTO t VALUES (1,'a'",
       "parse error in line 6: expected ',' or ')'!\n"},
      {"NULL primary key", t + "INSERT INTO t VALUES (NULL,'a');\n",
       "parse error in line 6: primary key empty!\n"},
      {"INSERT before any PRIMARY KEY",
       "CREATE TABLE t (\n  id int\n) TYPE=MyISAM;\nINSERT INTO t VALUES (1);\n",
       "parse error in line 4: primary key empty!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(convert(c.dump).error, c.error);
  }
}

TEST(RowcasterConvert, EntriesBeforeAFaultAreKept) {
  const conversion r = convert(std::string(kPeople) +
                               "INSERT INTO people VALUES (1,'a','b');\n"
                               "INSERT INTO people VALUES (2,'c');\n");
  EXPECT_EQ(r.ldif, "dn: 1\nobjectClass: rowcaster\nid: 1\nname: a\nmail: b\n\n");
  EXPECT_EQ(r.error, "parse error in line 9: expected NULL, 'string' or 1234!\n");
}

TEST(RowcasterConvert, LineNumbersPassTwentyDigitsSafely) {
  rowcaster_state st;
  rowcaster_init(&st);
  st.line_number = UINT64_MAX - 1;
  char line[] = "CREATE TABLE x\n";
  grow_str out{};
  EXPECT_EQ(rowcaster_line(&st, line, sizeof line - 1, &out), -1);
  EXPECT_STREQ(st.error, "parse error in line 18446744073709551615: expected ' ' after table name!\n");
  grow_str_free(&out);
  rowcaster_free(&st);
}

}  // namespace
