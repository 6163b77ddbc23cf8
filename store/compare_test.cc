#include "store/compare.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// ---------------------------------------------------------------- helpers

// A stored_str encoding of content: the short form (text and NUL) or the
// long form (0, 32-bit little-endian length, bytes).
std::string encode(std::string_view content, bool long_form) {
  if (!long_form) return std::string(content) + '\0';
  std::string out(1, '\0');
  const auto n = static_cast<uint32_t>(content.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  out += content;
  return out;
}

// The form a writer must use: long for the empty string and for contents
// holding a NUL, short otherwise.
std::string encode(std::string_view content) {
  return encode(content, content.empty() || content.find('\0') != std::string_view::npos);
}

// Every encoding a reader may meet for the content.
std::vector<std::string> encodings(std::string_view content) {
  std::vector<std::string> out{encode(content, true)};
  if (!content.empty() && content.find('\0') == std::string_view::npos) {
    out.push_back(encode(content, false));
  }
  return out;
}

counted_str key_of(std::string_view s) { return counted_str{s.size(), s.data()}; }

int sign(int64_t v) { return (v > 0) - (v < 0); }

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

// The order the project defines, computed independently: std::string_view
// compares char by char as unsigned bytes, and a proper prefix sorts first.
int oracle(std::string_view a, std::string_view b) { return sign(a.compare(b)); }
int oracle_nocase(std::string_view a, std::string_view b) { return oracle(folded(a), folded(b)); }

int values(std::string_view a, std::string_view b) {
  return sign(compare_values(a.data(), a.size(), b.data(), b.size()));
}
int values_nocase(std::string_view a, std::string_view b) {
  return sign(compare_values_nocase(a.data(), a.size(), b.data(), b.size()));
}

// Strings that trip up orders built on signed bytes, NUL terminators or
// lengths: NULs inside and at the end, bytes of 0x80 and more, UTF-8 "é",
// prefixes of each other, and letter case.
const std::vector<std::string> kTricky = {
    ""s,        "\0"s,       "\0\0"s,     "\x01"s,    "\x7f"s,      "\x80"s,     "\xff"s,
    "a"s,       "A"s,        "a\0"s,      "a\0b"s,    "a\x01"s,     "a\x7f"s,    "a\x80"s,
    "a\xff"s,   "ab"s,       "aB"s,       "Ab"s,      "AB"s,        "abc"s,      "abd"s,
    "b"s,       "B"s,        "ba"s,       "Jos"s,     "jos"s,       "Jos\xc3\xa9"s,
    "JOS\xc3\x89"s, "Josa"s, "Jos\0"s,    "[", "_", "`", "{", "Z", "z", "@",
};

// ---------------------------------------------------------------- the order

TEST(ValueOrder, WorkedExamples) {
  struct Case {
    int32_t (*fn)(counted_str, const char*);
    const char* name;
    std::string key, value;
    int want;  // sign
  };
  const Case cases[] = {
      {cmp_value, "cmp_value", "abc", "abd", -1},
      {cmp_value, "cmp_value", "abc", "ab", 1},
      {cmp_value, "cmp_value", "abc", "abc", 0},
      {cmp_value, "cmp_value", "ABC", "abc", -1},
      {cmp_value_nocase, "cmp_value_nocase", "ABC", "abc", 0},
      {cmp_value_nocase, "cmp_value_nocase", "abc", "ABD", -1},
      {cmp_value_nocase, "cmp_value_nocase", "ABC", "ab", 1},
      {cmp_prefix, "cmp_prefix", "ab", "abc", 0},
      {cmp_prefix, "cmp_prefix", "ab", "ab", 0},
      {cmp_prefix, "cmp_prefix", "ab", "a", 1},
      {cmp_prefix, "cmp_prefix", "ab", "b", -1},
      {cmp_prefix, "cmp_prefix", "ab", "ABC", 1},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "aB", "Abc", 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "AB", "ab", 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "AB", "a", 1},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "AB", "B", -1},
      // UTF-8: the accented form extends the plain one and sorts after it.
      {cmp_value, "cmp_value", "Jos", "Jos\xc3\xa9", -1},
      {cmp_value, "cmp_value", "Jos\xc3\xa9", "Jos", 1},
      {cmp_value, "cmp_value", "Jos\xc3\xa9", "Josa", 1},
      {cmp_prefix, "cmp_prefix", "Jos", "Jos\xc3\xa9", 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "jos", "JOS\xc3\xa9", 0},
      // An extension by a NUL is a different, longer value.
      {cmp_value, "cmp_value", "a", "a\0"s, -1},
      {cmp_value, "cmp_value", "a\0"s, "a", 1},
      {cmp_value_nocase, "cmp_value_nocase", "A\0"s, "a", 1},
      {cmp_prefix, "cmp_prefix", "a", "a\0b"s, 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "A", "a\0b"s, 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "a\0"s, "A\0b"s, 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "a\0c"s, "A\0b"s, 1},
      // Bytes of 0x80 and more sort after ASCII, and are not folded.
      {cmp_value, "cmp_value", "a\x80", "a\x7f", 1},
      {cmp_value, "cmp_value", "a", "a\x80", -1},
      {cmp_value_nocase, "cmp_value_nocase", "\xc3\x89", "\xc3\xa9", -1},
      // The empty key and the empty value.
      {cmp_value, "cmp_value", "", "", 0},
      {cmp_value, "cmp_value", "", "a", -1},
      {cmp_value, "cmp_value", "a", "", 1},
      {cmp_prefix, "cmp_prefix", "", "anything", 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "", "", 0},
      {cmp_prefix_nocase, "cmp_prefix_nocase", "x", "", 1},
  };
  for (const Case& c : cases) {
    for (const std::string& s : encodings(c.value)) {
      EXPECT_EQ(sign(c.fn(key_of(c.key), s.data())), c.want)
          << c.name << " key '" << c.key << "' value '" << c.value << "' long " << (s[0] == 0);
    }
  }
}

TEST(ValueOrder, NullStoredStringSortsFirst) {
  for (auto fn : {cmp_value, cmp_value_nocase, cmp_prefix, cmp_prefix_nocase}) {
    EXPECT_EQ(fn(key_of(""), nullptr), -1);
    EXPECT_EQ(fn(key_of("a"), nullptr), -1);
  }
}

// The order must be total (antisymmetric, transitive, 0 only for equal
// strings) for a sorted table to be searchable; the folded order is total on
// folded strings.
TEST(ValueOrder, IsTotalOverTrickyStrings) {
  struct Order {
    const char* name;
    int (*cmp)(std::string_view, std::string_view);
    int (*want)(std::string_view, std::string_view);
  };
  const Order orders[] = {{"values", values, oracle}, {"values_nocase", values_nocase, oracle_nocase}};
  const size_t n = kTricky.size();
  for (const Order& o : orders) {
    for (size_t i = 0; i < n; ++i) {
      const std::string& a = kTricky[i];
      EXPECT_EQ(o.cmp(a, a), 0) << o.name;
      for (size_t j = 0; j < n; ++j) {
        const std::string& b = kTricky[j];
        const int ab = o.cmp(a, b);
        ASSERT_EQ(ab, o.want(a, b)) << o.name << " " << i << " vs " << j;
        ASSERT_EQ(ab, -o.cmp(b, a)) << o.name << " " << i << " vs " << j;
        for (size_t k = 0; k < n; ++k) {
          const std::string& c = kTricky[k];
          if (ab <= 0 && o.cmp(b, c) <= 0) {
            ASSERT_LE(o.cmp(a, c), 0) << o.name << " " << i << " " << j << " " << k;
          }
        }
      }
    }
  }
  // Different bytes never compare equal without folding.
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      if (i != j) {
        EXPECT_NE(values(kTricky[i], kTricky[j]), 0) << i << " vs " << j;
      }
    }
  }
}

// cmp_value / cmp_value_nocase order a key against a stored string exactly
// as compare_values orders the two contents, whatever the encoding.
TEST(ValueOrder, StoredComparisonsFollowTheOrder) {
  for (const std::string& key : kTricky) {
    for (const std::string& value : kTricky) {
      for (const std::string& s : encodings(value)) {
        ASSERT_EQ(sign(cmp_value(key_of(key), s.data())), values(key, value))
            << "'" << key << "' vs '" << value << "' long " << (s[0] == 0);
        ASSERT_EQ(sign(cmp_value_nocase(key_of(key), s.data())), values_nocase(key, value))
            << "'" << key << "' vs '" << value << "' long " << (s[0] == 0);
      }
    }
  }
}

// A prefix comparison is 0 exactly when the value begins with the key and
// otherwise follows the order, so across a sorted table its sign goes from
// positive through zero to negative: the values beginning with the key form
// one run that a binary search finds.
TEST(ValueOrder, PrefixComparisonsFormOneRunInSortedOrder) {
  struct Variant {
    const char* name;
    int32_t (*fn)(counted_str, const char*);
    int (*order)(std::string_view, std::string_view);
    bool fold;
  };
  const Variant variants[] = {{"cmp_prefix", cmp_prefix, values, false},
                              {"cmp_prefix_nocase", cmp_prefix_nocase, values_nocase, true}};
  for (const Variant& v : variants) {
    std::vector<std::string> sorted = kTricky;
    std::stable_sort(sorted.begin(), sorted.end(), [&](const std::string& a, const std::string& b) {
      return v.order(a, b) < 0;
    });
    for (const std::string& key : kTricky) {
      const std::string k = v.fold ? folded(key) : key;
      int previous = 1;
      for (const std::string& value : sorted) {
        const std::string f = v.fold ? folded(value) : value;
        const bool begins = f.compare(0, k.size(), k) == 0;
        for (const std::string& s : encodings(value)) {
          const int got = sign(v.fn(key_of(key), s.data()));
          ASSERT_EQ(got, begins ? 0 : v.order(key, value))
              << v.name << " '" << key << "' vs '" << value << "' long " << (s[0] == 0);
          ASSERT_LE(got, previous) << v.name << " '" << key << "' at '" << value << "'";
          previous = got;
        }
      }
    }
  }
}

TEST(ValueOrder, RandomStringsMatchTheOracle) {
  std::mt19937 rng(7);
  const char alphabet[] = {'\0', '\x01', 'a', 'A', 'b', 'B', 'z', 'Z', '[', '\x7f', '\x80', '\xc3', '\xff'};
  auto random_string = [&] {
    std::string s(rng() % 6, ' ');
    for (char& c : s) c = alphabet[rng() % sizeof alphabet];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string a = random_string();
    const std::string b = random_string();
    ASSERT_EQ(values(a, b), oracle(a, b));
    ASSERT_EQ(values_nocase(a, b), oracle_nocase(a, b));
    const std::string s = encode(b);
    ASSERT_EQ(sign(cmp_value(key_of(a), s.data())), oracle(a, b));
    ASSERT_EQ(sign(cmp_value_nocase(key_of(a), s.data())), oracle_nocase(a, b));
    const bool begins = b.compare(0, a.size(), a) == 0;
    ASSERT_EQ(sign(cmp_prefix(key_of(a), s.data())), begins ? 0 : oracle(a, b));
    const bool begins_folded = folded(b).compare(0, a.size(), folded(a)) == 0;
    ASSERT_EQ(sign(cmp_prefix_nocase(key_of(a), s.data())), begins_folded ? 0 : oracle_nocase(a, b));
  }
}

TEST(ValueOrder, SortsUtf8NamesForLookup) {
  // Sorted by the order, "Jos" stays before all its extensions, so a search
  // for either finds it.
  std::vector<std::string> names = {"Jos\xc3\xa9", "Josh", "Jos", "Jo", "Jos\xc3\xa9 Luis", "Jot"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return values(a, b) < 0; });
  const std::vector<std::string> want = {"Jo", "Jos", "Josh", "Jos\xc3\xa9", "Jos\xc3\xa9 Luis", "Jot"};
  EXPECT_EQ(names, want);
}

// ---------------------------------------------------------------- equality of stored strings

TEST(CmpStored, EqualityAcrossEncodings) {
  struct Case {
    std::string a;
    bool a_long;
    std::string b;
    bool b_long;
    int want;  // sign
  };
  const Case cases[] = {
      {"cn=x", false, "cn=x", false, 0},
      {"cn=x", false, "cn=y", false, -1},
      {"cn=x", false, "cn=X", false, 1},
      {"cn=x", false, "cn=xy", false, -1},
      {"cn=xy", false, "cn=x", false, 1},
      {"a", true, "a", false, 0},
      {"a", false, "a", true, 0},
      {"", true, "", true, 0},
      {"", true, "a", false, -1},
      {"a", false, "", true, 1},
      {"a\0b"s, true, "a\0b"s, true, 0},
      {"a\0b"s, true, "a\0c"s, true, -1},
      {"a\0"s, true, "a"s, false, 1},
      {"a"s, false, "a\0"s, true, -1},
      // The mixed path compares bytes as signed values; the text path as
      // unsigned. Either way only equality is relied upon.
      {"\x80", true, "a", false, -1},
      {"\x80", false, "a", false, 1},
  };
  for (const Case& c : cases) {
    const std::string a = encode(c.a, c.a_long);
    const std::string b = encode(c.b, c.b_long);
    EXPECT_EQ(sign(cmp_stored(a.data(), b.data())), c.want)
        << "'" << c.a << "' long " << c.a_long << " vs '" << c.b << "' long " << c.b_long;
  }
}

TEST(CmpStoredCounted, EqualityWithAKey) {
  struct Case {
    std::string s, key;
    int want;  // sign
  };
  const Case cases[] = {
      {"dc=example", "dc=example", 0}, {"dc=example", "dc=exampl", 1},
      {"dc=exampl", "dc=example", -1}, {"dc=Example", "dc=example", -1},
      {"", "", 0},                     {"", "a", -1},
      {"a", "", 1},                    {"a\0b"s, "a\0b"s, 0},
      {"a\0b"s, "a"s, 1},              {"\x80", "a", 1},  // unsigned bytes
  };
  for (const Case& c : cases) {
    for (const std::string& s : encodings(c.s)) {
      EXPECT_EQ(sign(cmp_stored_counted(s.data(), key_of(c.key))), c.want)
          << "'" << c.s << "' vs '" << c.key << "' long " << (s[0] == 0);
    }
  }
}

// ---------------------------------------------------------------- hash

TEST(StringHash, KnownValues) {
  struct Case {
    std::string bytes;
    uint32_t want;
  };
  // Worked out by hand / independently: h = h * 33 XOR byte, mod 2^32.
  const Case cases[] = {
      {"", 0},
      {"a", 97},
      {"ab", 3299},
      {"abc", 108832},
      {"\xff", 255},  // bytes are unsigned, never sign-extended
      {"\xc3\xa9", 6538},
      {"a\0b"s, 105667},
      {"cn=admin,dc=example,dc=com", 825931702},  // wraps past 2^32
  };
  for (const Case& c : cases) {
    EXPECT_EQ(string_hash(c.bytes.data(), c.bytes.size()), c.want) << c.bytes;
    EXPECT_EQ(string_hash_nocase(c.bytes.data(), c.bytes.size()), c.want) << c.bytes;
  }
}

TEST(StringHash, NocaseFoldsOnlyAsciiLetters) {
  const std::string mixed = "CN=Admin,DC=Example[]@\xc3\x89Z";
  const std::string lower = folded(mixed);
  EXPECT_EQ(string_hash_nocase(mixed.data(), mixed.size()), string_hash(lower.data(), lower.size()));
  EXPECT_NE(string_hash(mixed.data(), mixed.size()), string_hash(lower.data(), lower.size()));
  // "É" (c3 89) and "é" (c3 a9) are different bytes, and so stay apart.
  EXPECT_NE(string_hash_nocase("\xc3\x89", 2), string_hash_nocase("\xc3\xa9", 2));
  // The characters around the letters are not folded.
  for (const char* pair : {"@`", "[{", "Zz"}) {
    const bool same = string_hash_nocase(pair, 1) == string_hash_nocase(pair + 1, 1);
    EXPECT_EQ(same, pair[0] == 'Z') << pair;
  }
}

TEST(StringHash, CountsEveryByteGiven) {
  // The length is the count given, not a text length: a NUL is a byte.
  EXPECT_NE(string_hash("a\0", 2), string_hash("a", 1));
  EXPECT_EQ(string_hash("abX", 2), string_hash("ab", 2));
  EXPECT_EQ(string_hash(nullptr, 0), 0u);
}

}  // namespace
