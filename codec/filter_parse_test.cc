#include "codec/filter_parse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/filter.h"

namespace {

// "a3 07 04 02" -> the bytes; blanks are ignored, 'text' in single quotes
// stands for its own bytes.
std::string hex(const char* text) {
  std::string out;
  int hi = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\'') {
      while (*++p != '\0' && *p != '\'') out.push_back(*p);
      if (*p == '\0') break;
      continue;
    }
    int d;
    if (*p >= '0' && *p <= '9') {
      d = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      d = *p - 'a' + 10;
    } else {
      continue;
    }
    if (hi < 0) {
      hi = d;
    } else {
      out.push_back(static_cast<char>(hi << 4 | d));
      hi = -1;
    }
  }
  return out;
}

std::string to_hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : s) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// Parses text with storage of exactly the text's size (so that AddressSanitizer
// sees any write beyond what the interface promises).
struct parsed {
  std::vector<char> storage;
  Filter* tree = nullptr;
  uint64_t consumed = 0;
  filter_parse_error error{~uint64_t{0}, nullptr};

  explicit parsed(const std::string& text) : storage(text.size()) {
    consumed =
        filter_from_text(text.data(), text.data() + text.size(), storage.data(), &tree, &error);
  }
  ~parsed() { free_filter(tree); }
  std::string encoded() const {
    std::string out(ldap_encode_filter(nullptr, tree), '\0');
    EXPECT_EQ(ldap_encode_filter(out.data(), tree), out.size());
    return out;
  }
};

struct good_case {
  const char* text;
  const char* bytes;  // the encoding of the parsed tree
};

TEST(FilterFromText, ParsesEveryKindIntoItsEncoding) {
  const good_case cases[] = {
      {"(cn=a)", "a3 07 04 02 'cn' 04 01 'a'"},
      {"(cn=)", "a3 06 04 02 'cn' 04 00"},
      {"(cn=*)", "87 02 'cn'"},
      {"(cn=ab*)", "a4 0a 04 02 'cn' 30 04 80 02 'ab'"},
      {"(cn=*yz)", "a4 0a 04 02 'cn' 30 04 82 02 'yz'"},
      {"(cn=*b*)", "a4 09 04 02 'cn' 30 03 81 01 'b'"},
      {"(cn=a*b*c)", "a4 0f 04 02 'cn' 30 09 80 01 'a' 81 01 'b' 82 01 'c'"},
      {"(cn=*b*cd*)", "a4 0d 04 02 'cn' 30 07 81 01 'b' 81 02 'cd'"},
      {"(age>=5)", "a5 08 04 03 'age' 04 01 '5'"},
      {"(age<=5)", "a6 08 04 03 'age' 04 01 '5'"},
      {"(cn~=x)", "a8 07 04 02 'cn' 04 01 'x'"},
      {"(!(cn=a))", "a2 09 a3 07 04 02 'cn' 04 01 'a'"},
      {"(&)", "a0 00"},
      {"(|)", "a1 00"},
      // Children in the written order.
      {"(&(cn=*)(sn=*))", "a0 08 87 02 'cn' 87 02 'sn'"},
      {"(|(cn=a)(sn=b))", "a1 12 a3 07 04 02 'cn' 04 01 'a' a3 07 04 02 'sn' 04 01 'b'"},
      {"(&(objectClass=person)(uid=a*))",
       "a0 23 a3 15 04 0b 'objectClass' 04 06 'person' a4 0a 04 03 'uid' 30 03 80 01 'a'"},
      {"(&(|(a=1)(!(b=*)))(c=2))",
       "a0 17 a1 0d a3 06 04 01 'a' 04 01 '1' a2 03 87 01 'b' a3 06 04 01 'c' 04 01 '2'"},
      // Escapes in either letter case stand for their byte, also in substrings.
      {"(cn=\\2a\\28\\29\\5C\\00)", "a3 0b 04 02 'cn' 04 05 2a 28 29 5c 00"},
      {"(cn=\\2a*\\2A)", "a4 0c 04 02 'cn' 30 06 80 01 2a 82 01 2a"},
      // Bytes above 0x7f, spaces and other punctuation are themselves.
      {"(cn=M\xc3\xbcller, Jo #1=)", "a3 15 04 02 'cn' 04 0f 'M' c3 bc 'ller, Jo #1='"},
      // Descriptions: options, numeric OIDs, hyphens.
      {"(cn;lang-de=x)", "a3 0f 04 0a 'cn;lang-de' 04 01 'x'"},
      {"(2.5.4.3=x)", "a3 0c 04 07 '2.5.4.3' 04 01 'x'"},
      {"(x-my-attr=*)", "87 09 'x-my-attr'"},
  };
  for (const good_case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = c.text;
    parsed p(text);
    ASSERT_NE(p.tree, nullptr) << p.error.offset << ": " << p.error.message;
    EXPECT_EQ(p.consumed, text.size());
    EXPECT_EQ(to_hex(p.encoded()), to_hex(hex(c.bytes)));
  }
}

TEST(FilterFromText, StopsAtTheClosingParenthesis) {
  const std::string text = "(&(cn=a)(sn=b)) (uid=x) trailing";
  parsed p(text);
  ASSERT_NE(p.tree, nullptr);
  EXPECT_EQ(p.consumed, 15u);
}

TEST(FilterFromText, StringsPointIntoTheStorage) {
  const std::string text = "(|(cn=a\\41b)(sn=x*y))";
  parsed p(text);
  ASSERT_NE(p.tree, nullptr);
  const char* lo = p.storage.data();
  const char* hi = lo + p.storage.size();
  auto inside = [&](counted_str s) {
    return s.len == 0 || (s.bytes >= lo && s.bytes + s.len <= hi);
  };
  const Filter* eq = p.tree->children;
  ASSERT_NE(eq, nullptr);
  EXPECT_TRUE(inside(eq->attribute));
  EXPECT_EQ(std::string(eq->value.bytes, eq->value.len), "aAb");
  EXPECT_TRUE(inside(eq->value));
  const Filter* sub = eq->next;
  ASSERT_NE(sub, nullptr);
  EXPECT_TRUE(inside(sub->attribute));
  for (const filter_substring* s = sub->substrings; s != nullptr; s = s->next)
    EXPECT_TRUE(inside(s->value));
}

// The parsed tree survives the decoder: what the text says is what the
// server reads back (in the decoder's reversed list order).
TEST(FilterFromText, EncodingsDecodeToTheSameText) {
  const char* texts[] = {"(&(cn=a)(sn=b))", "(|(cn=ab*)(!(mail=*)))", "(age>=10)"};
  const char* back[] = {"(&(sn=b)(cn=a))", "(|(!(mail=*))(cn=ab*))", "(age>=10)"};
  for (size_t i = 0; i < std::size(texts); ++i) {
    parsed p(texts[i]);
    ASSERT_NE(p.tree, nullptr);
    const std::string bytes = p.encoded();
    Filter* decoded = nullptr;
    ASSERT_EQ(ldap_decode_filter(bytes.data(), bytes.data() + bytes.size(), &decoded),
              bytes.size());
    std::string text(static_cast<size_t>(filter_to_text(nullptr, decoded)), '\0');
    filter_to_text(text.data(), decoded);
    EXPECT_EQ(text, back[i]);
    free_filter(decoded);
  }
}

TEST(FilterFromText, NestingIsBoundedLikeTheDecoder) {
  auto nots = [](int n) {
    std::string t;
    for (int i = 0; i < n; ++i) t += "(!";
    t += "(cn=a)";
    for (int i = 0; i < n; ++i) t += ")";
    return t;
  };
  {
    const std::string text = nots(static_cast<int>(filter_max_depth));
    parsed p(text);
    ASSERT_NE(p.tree, nullptr) << p.error.message;
    const std::string bytes = p.encoded();
    Filter* decoded = nullptr;
    EXPECT_EQ(ldap_decode_filter(bytes.data(), bytes.data() + bytes.size(), &decoded),
              bytes.size());
    free_filter(decoded);
  }
  {
    const std::string text = nots(static_cast<int>(filter_max_depth) + 1);
    parsed p(text);
    EXPECT_EQ(p.tree, nullptr);
    EXPECT_EQ(p.consumed, 0u);
    EXPECT_EQ(p.error.offset, 2u * filter_max_depth + 1);
    EXPECT_STREQ(p.error.message, "filters nested too deeply");
  }
}

struct bad_case {
  const char* text;
  uint64_t offset;
  const char* message;
};

TEST(FilterFromText, RefusesMalformedTextsAndSaysWhere) {
  const bad_case cases[] = {
      {"", 0, "unexpected end of text, expected \"(\""},
      {"cn=a", 0, "expected \"(\""},
      {" (cn=a)", 0, "expected \"(\""},
      {"(", 1, "unexpected end of text"},
      {"(cn=a", 5, "unexpected end of text, expected \")\""},
      {"()", 1, "missing attribute description"},
      {"(=a)", 1, "missing attribute description"},
      {"(-cn=a)", 1, "missing attribute description"},
      {"(c_n=a)", 2, "expected \"=\", \"~=\", \">=\" or \"<=\" after the attribute"},
      {"(cn =a)", 3, "expected \"=\", \"~=\", \">=\" or \"<=\" after the attribute"},
      {"(cn~a)", 3, "expected \"=\", \"~=\", \">=\" or \"<=\" after the attribute"},
      {"(cn)", 3, "expected \"=\", \"~=\", \">=\" or \"<=\" after the attribute"},
      {"(1=a)", 1, "an attribute description starts with a letter or is a numeric OID"},
      {"(1.=a)", 3, "a numeric OID needs digits between its dots"},
      {"(cn;=a)", 4, "empty attribute option"},
      {"(cn:dn:=a)", 3, "extensible match filters are not supported"},
      {"(cn>=a*)", 6, "\"*\" in a value must be written \\2a"},
      {"(cn~=*)", 5, "\"*\" in a value must be written \\2a"},
      {"(cn=a(b)", 5, "\"(\" in a value must be written \\28"},
      {"(cn=**)", 5, "two \"*\" with nothing between them"},
      {"(cn=a**b)", 6, "two \"*\" with nothing between them"},
      {"(cn=\\2)", 4, "\"\\\" must be followed by two hexadecimal digits"},
      {"(cn=\\zz)", 4, "\"\\\" must be followed by two hexadecimal digits"},
      {"(cn=\\", 4, "\"\\\" must be followed by two hexadecimal digits"},
      {"(!)", 2, "\"!\" must be followed by a filter"},
      {"(!cn=a)", 2, "\"!\" must be followed by a filter"},
      {"(!", 2, "unexpected end of text, expected \"(\""},
      {"(!(cn=a)(sn=b))", 8, "\"!\" takes exactly one filter"},
      {"(!(cn=a)x)", 8, "expected \")\""},
      {"(!(cn=a)", 8, "unexpected end of text, expected \")\""},
      {"(&(cn=a)x)", 8, "expected \"(\" or \")\""},
      {"(&(cn=a)", 8, "unexpected end of text, expected \")\""},
      {"(&(cn=a)(sn=b", 13, "unexpected end of text, expected \")\""},
      {"(|(cn=a)(&(sn=b)(x=\\q)))", 19, "\"\\\" must be followed by two hexadecimal digits"},
  };
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.text);
    parsed p(c.text);
    EXPECT_EQ(p.tree, nullptr);
    EXPECT_EQ(p.consumed, 0u);
    EXPECT_EQ(p.error.offset, c.offset);
    EXPECT_STREQ(p.error.message, c.message);
  }
}

TEST(FilterFromText, ANulByteInAValueMustBeEscaped) {
  const std::string text("(cn=a\0b)", 8);
  parsed p(text);
  EXPECT_EQ(p.tree, nullptr);
  EXPECT_EQ(p.error.offset, 5u);
  EXPECT_STREQ(p.error.message, "a NUL byte in a value must be written \\00");
}

}  // namespace
