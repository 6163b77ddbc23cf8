#include "codec/search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "codec/ber.h"
#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "tests/codec_bytes.h"

namespace {

std::string Str(counted_str s) { return s.len ? std::string(s.bytes, s.len) : std::string(); }
counted_str Cs(const char* text) { return counted_str{std::strlen(text), text}; }

// "a,b,c" of a list.
std::string Join(const string_node* list) {
  std::string s;
  for (const string_node* n = list; n; n = n->next) {
    if (n != list) s += ",";
    s += Str(n->str);
  }
  return s;
}

std::string FilterText(const Filter* f) {
  std::string buf(static_cast<size_t>(filter_to_text(nullptr, f)), '\0');
  filter_to_text(buf.data(), f);
  return buf;
}

// "cn:[x,y] sn:[]" of an attribute list.
std::string Attributes(const partial_attribute* a) {
  std::string s;
  for (; a; a = a->next) {
    if (!s.empty()) s += " ";
    s += Str(a->type) + ":[";
    for (const string_node* v = a->vals; v; v = v->next) {
      if (v != a->vals) s += ",";
      s += Str(v->str);
    }
    s += "]";
  }
  return s;
}

bool IsCleared(const search_request& r) {
  return r.baseObject.len == 0 && r.baseObject.bytes == nullptr && r.scope == 0 &&
         r.derefAliases == 0 && r.sizeLimit == 0 && r.timeLimit == 0 && r.typesOnly == 0 &&
         r.filter == nullptr && r.attributes == nullptr;
}

// A record full of garbage: the decoder must not trust anything in it.
search_request Garbage() {
  search_request r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

// ---- SearchRequest decoding ----------------------------------------------------

// The pieces of a request; a case replaces the ones it is about.
struct Pieces {
  const char* base = "04 04 'dc=x'";
  const char* scope = "0A 01 02";
  const char* deref = "0A 01 00";
  const char* size = "02 01 00";
  const char* time = "02 01 00";
  const char* types = "01 01 00";
  const char* filter = "87 0B 'objectClass'";
  const char* attrs = "30 00";
  const char* trailer = "";

  std::string Bytes() const {
    return Hex(base) + Hex(scope) + Hex(deref) + Hex(size) + Hex(time) + Hex(types) +
           Hex(filter) + Hex(attrs) + Hex(trailer);
  }
};

Pieces With(const char* Pieces::*field, const char* value) {
  Pieces p;
  p.*field = value;
  return p;
}

struct RequestCase {
  const char* name;
  Pieces pieces;
  bool ok;
  uint32_t scope = 2, deref = 0;
  int64_t size = 0, time = 0, types = 0;
  const char* filter = "(objectClass=*)";
  const char* attrs = "";
  const char* base = "dc=x";
};

const RequestCase kRequestCases[] = {
    {"defaults", Pieces{}, true},
    {"scope baseObject", With(&Pieces::scope, "0A 01 00"), true, 0},
    {"scope singleLevel", With(&Pieces::scope, "0A 01 01"), true, 1},
    {"scope 3", With(&Pieces::scope, "0A 01 03"), false},
    {"scope negative", With(&Pieces::scope, "0A 01 FF"), false},
    {"scope as INTEGER", With(&Pieces::scope, "02 01 01"), false},
    {"derefAlways", With(&Pieces::deref, "0A 01 03"), true, 2, 3},
    {"derefAliases 4", With(&Pieces::deref, "0A 01 04"), false},
    {"derefAliases negative", With(&Pieces::deref, "0A 01 80"), false},
    {"typesOnly TRUE", With(&Pieces::types, "01 01 01"), true, 2, 0, 0, 0, 1},
    {"typesOnly FF", With(&Pieces::types, "01 01 FF"), false},
    {"typesOnly as INTEGER", With(&Pieces::types, "02 01 01"), false},
    {"sizeLimit -1", With(&Pieces::size, "02 01 FF"), false},
    {"sizeLimit 255", With(&Pieces::size, "02 02 00 FF"), true, 2, 0, 255},
    {"sizeLimit large", With(&Pieces::size, "02 04 7F FF FF FF"), true, 2, 0, 2147483647},
    {"sizeLimit redundant octet", With(&Pieces::size, "02 02 00 01"), false},
    {"timeLimit", With(&Pieces::time, "02 01 1E"), true, 2, 0, 0, 30},
    {"timeLimit negative", With(&Pieces::time, "02 01 80"), false},
    {"empty base", With(&Pieces::base, "04 00"), true, 2, 0, 0, 0, 0, "(objectClass=*)", "", ""},
    {"base not OCTET STRING", With(&Pieces::base, "80 04 'dc=x'"), false},
    {"filter", With(&Pieces::filter, "A0 0E 87 02 'cn' A3 08 04 02 'sn' 04 02 'b*'"), true, 2, 0,
     0, 0, 0, "(&(sn=b*)(cn=*))"},
    {"filter unsupported", With(&Pieces::filter, "A9 00"), false},
    {"filter missing", With(&Pieces::filter, ""), false},
    {"three descriptions", With(&Pieces::attrs, "30 0C 04 02 'cn' 04 02 'sn' 04 02 'ou'"), true,
     2, 0, 0, 0, 0, "(objectClass=*)", "cn,sn,ou"},
    {"one description", With(&Pieces::attrs, "30 03 04 01 '*'"), true, 2, 0, 0, 0, 0,
     "(objectClass=*)", "*"},
    {"second description not OCTET STRING",
     With(&Pieces::attrs, "30 0C 04 02 'cn' 80 02 'sn' 04 02 'ou'"), false},
    {"first description not OCTET STRING", With(&Pieces::attrs, "30 04 30 02 04 00"), false},
    {"last description past the SEQUENCE", With(&Pieces::attrs, "30 07 04 02 'cn' 04 02 'sn'"),
     false},
    {"description list as SET", With(&Pieces::attrs, "31 00"), false},
    {"description list past the end", With(&Pieces::attrs, "30 05 04 02 'cn'"), false},
    {"description list missing", With(&Pieces::attrs, ""), false},
    // Whatever follows the SEQUENCE is not consumed.
    {"trailing bytes", With(&Pieces::trailer, "A0 03 04 01 78"), true},
};

TEST(SearchRequestDecode, Table) {
  for (const RequestCase& c : kRequestCases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = c.pieces.Bytes();
    Input in(bytes);
    search_request r = Garbage();
    const uint64_t n = ldap_decode_search_request(in.begin(), in.end(), &r);
    if (!c.ok) {
      EXPECT_EQ(n, 0u);
      EXPECT_TRUE(IsCleared(r));
      continue;
    }
    EXPECT_EQ(n, bytes.size() - Hex(c.pieces.trailer).size());
    EXPECT_EQ(Str(r.baseObject), c.base);
    EXPECT_EQ(r.scope, c.scope);
    EXPECT_EQ(r.derefAliases, c.deref);
    EXPECT_EQ(r.sizeLimit, c.size);
    EXPECT_EQ(r.timeLimit, c.time);
    EXPECT_EQ(r.typesOnly, c.types);
    ASSERT_NE(r.filter, nullptr);
    EXPECT_EQ(FilterText(r.filter), c.filter);
    EXPECT_EQ(Join(r.attributes), c.attrs);
    for (const string_node* a = r.attributes; a; a = a->next) {
      EXPECT_EQ(a->attribute_offset, 0u);
      EXPECT_GE(a->str.bytes, in.begin());  // points into the input
      EXPECT_LE(a->str.bytes + a->str.len, in.end());
    }
    free_search_request(&r);
    EXPECT_TRUE(IsCleared(r));
    free_search_request(&r);  // a cleared record frees nothing
  }
}

// Prefixes cut the request at every point, including after the filter and
// inside the description list, where nodes are already allocated: each must
// fail, clear the record and release everything (the leak checker watches).
TEST(SearchRequestDecode, EveryTruncationFails) {
  Pieces p;
  p.filter = "A1 12 A4 0A 04 02 'cn' 30 04 80 02 'ab' A2 04 87 02 'sn'";
  p.attrs = "30 0C 04 02 'cn' 04 02 'sn' 04 02 'ou'";
  const std::string whole = p.Bytes();
  {
    Input in(whole);
    search_request r{};
    ASSERT_EQ(ldap_decode_search_request(in.begin(), in.end(), &r), whole.size());
    EXPECT_EQ(FilterText(r.filter), "(|(!(sn=*))(cn=ab*))");
    free_search_request(&r);
  }
  for (size_t k = 0; k < whole.size(); ++k) {
    SCOPED_TRACE(k);
    Input in(whole.substr(0, k));
    search_request r = Garbage();
    EXPECT_EQ(ldap_decode_search_request(in.begin(), in.end(), &r), 0u);
    EXPECT_TRUE(IsCleared(r));
  }
}

TEST(SearchRequestDecode, SingleByteMutations) {
  Pieces p;
  p.filter = "A0 0E 87 02 'cn' A3 08 04 02 'sn' 04 02 'b*'";
  p.attrs = "30 08 04 02 'cn' 04 02 'sn'";
  const std::string whole = p.Bytes();
  const unsigned char replacements[] = {0x00, 0x01, 0x03, 0x04, 0x30, 0x7F, 0x80, 0x81, 0xFF};
  for (size_t i = 0; i < whole.size(); ++i) {
    for (unsigned char b : replacements) {
      std::string m = whole;
      m[i] = static_cast<char>(b);
      Input in(m);
      search_request r = Garbage();
      const uint64_t n = ldap_decode_search_request(in.begin(), in.end(), &r);
      if (n == 0) {
        EXPECT_TRUE(IsCleared(r));
        continue;
      }
      EXPECT_LE(n, in.size());
      EXPECT_LT(r.scope, 3u);
      EXPECT_LT(r.derefAliases, 4u);
      EXPECT_GE(r.sizeLimit, 0);
      EXPECT_GE(r.timeLimit, 0);
      EXPECT_LE(static_cast<uint64_t>(r.typesOnly), 1u);
      EXPECT_NE(r.filter, nullptr);
      free_search_request(&r);
    }
  }
}

// ---- SearchRequest encoding and the round trip through the server side --------

TEST(SearchRequestEncode, ExactBytes) {
  Filter present{};
  present.choice = filter_present;
  present.attribute = Cs("objectClass");
  string_node cn{Cs("cn"), 0, nullptr};
  search_request r{};
  r.baseObject = Cs("dc=x");
  r.scope = scope_whole_subtree;
  r.derefAliases = 3;
  r.sizeLimit = 128;
  r.typesOnly = 1;
  r.filter = &present;
  r.attributes = &cn;
  EXPECT_EQ(ToHex(Encoded([&](char* d) { return ldap_encode_search_request(d, &r); })),
            ToHex(Hex("04 04 'dc=x' 0A 01 02 0A 01 03 02 02 00 80 02 01 00 01 01 01 "
                      "87 0B 'objectClass' 30 04 04 02 'cn'")));
  r.attributes = nullptr;
  r.filter = nullptr;
  r.baseObject = counted_str{0, nullptr};
  r.timeLimit = 3600;
  EXPECT_EQ(ToHex(Encoded([&](char* d) { return ldap_encode_search_request(d, &r); })),
            ToHex(Hex("04 00 0A 01 02 0A 01 03 02 02 00 80 02 02 0E 10 01 01 01 30 00")));
}

// A request as a client sends it, in a whole LDAPMessage, read back by the
// server's decoders.
TEST(SearchRequestEncode, RoundTripThroughTheServerDecoder) {
  struct Case {
    const char* name;
    uint32_t scope, deref;
    int64_t size, time, types;
    std::vector<const char*> attrs;
  } cases[] = {
      {"base, no attributes", scope_base_object, 0, 0, 0, 0, {}},
      {"one level, limits", scope_single_level, 1, 500, 30, 1, {"cn"}},
      {"subtree, large limits", scope_whole_subtree, 3, int64_t{1} << 40, INT64_MAX, 0,
       {"cn", "mail", "objectClass", "1.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // (&(cn=a*z)(!(sn>=m))) as a client builds it.
    filter_substring final_part{substring_final, Cs("z"), nullptr};
    filter_substring initial_part{substring_initial, Cs("a"), &final_part};
    Filter ge{};
    ge.choice = filter_greater_or_equal;
    ge.attribute = Cs("sn");
    ge.value = Cs("m");
    Filter neg{};
    neg.choice = filter_not;
    neg.children = &ge;
    Filter sub{};
    sub.choice = filter_substrings;
    sub.attribute = Cs("cn");
    sub.substrings = &initial_part;
    sub.next = &neg;
    Filter conj{};
    conj.choice = filter_and;
    conj.children = &sub;

    std::vector<string_node> nodes(c.attrs.size());
    for (size_t i = 0; i < nodes.size(); ++i)
      nodes[i] = string_node{Cs(c.attrs[i]), 0, i + 1 < nodes.size() ? &nodes[i + 1] : nullptr};
    search_request sent{};
    sent.baseObject = Cs("ou=people,dc=example");
    sent.scope = c.scope;
    sent.derefAliases = c.deref;
    sent.sizeLimit = c.size;
    sent.timeLimit = c.time;
    sent.typesOnly = c.types;
    sent.filter = &conj;
    sent.attributes = nodes.empty() ? nullptr : nodes.data();

    const std::string contents =
        Encoded([&](char* d) { return ldap_encode_search_request(d, &sent); });
    const uint64_t h = ldap_encode_message_header(nullptr, 7, ldap_search_request, contents.size());
    std::string message(h, '\0');
    ldap_encode_message_header(message.data(), 7, ldap_search_request, contents.size());
    message += contents;

    Input in(message);
    int64_t id = 0;
    uint64_t op = 0, op_len = 0;
    const uint64_t at = ldap_decode_message(in.begin(), in.end(), &id, &op, &op_len);
    ASSERT_EQ(at, h);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(op, ldap_search_request);
    search_request got = Garbage();
    ASSERT_EQ(ldap_decode_search_request(in.begin() + at, in.end(), &got), op_len);
    EXPECT_EQ(Str(got.baseObject), "ou=people,dc=example");
    EXPECT_EQ(got.scope, c.scope);
    EXPECT_EQ(got.derefAliases, c.deref);
    EXPECT_EQ(got.sizeLimit, c.size);
    EXPECT_EQ(got.timeLimit, c.time);
    EXPECT_EQ(got.typesOnly, c.types);
    EXPECT_EQ(Join(got.attributes), Join(sent.attributes));
    // The operands come back reversed, the substrings too.
    EXPECT_EQ(FilterText(&conj), "(&(cn=a*)(cn=*z)(!(sn>=m)))");
    EXPECT_EQ(FilterText(got.filter), "(&(!(sn>=m))(cn=*z)(cn=a*))");
    // The decoded request encodes again to the same size.
    EXPECT_EQ(ldap_encode_search_request(nullptr, &got), contents.size());
    free_search_request(&got);
    EXPECT_TRUE(IsCleared(got));
  }
}

// ---- Lists of strings -------------------------------------------------------

TEST(StringList, Encode) {
  string_node bc{Cs("bc"), 0, nullptr};
  string_node a{Cs("a"), 0, &bc};
  string_node empty{Cs(""), 0, nullptr};
  struct Case {
    const char* name;
    const string_node* list;
    unsigned form;
    const char* want;
  } cases[] = {
      {"SET of a, bc", &a, string_list_set, "31 07 04 01 61 04 02 62 63"},
      {"SEQUENCE of a, bc", &a, string_list_sequence, "30 07 04 01 61 04 02 62 63"},
      {"absent SET", nullptr, string_list_set, "31 00"},
      {"absent SEQUENCE", nullptr, string_list_sequence, "30 00"},
      {"empty value", &empty, string_list_set, "31 02 04 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(Encoded([&](char* d) { return ber_encode_string_list(d, c.list, c.form); })),
              ToHex(Hex(c.want)));
  }
  // Long contents take a long-form length.
  const std::string big(200, 'v');
  string_node long_value{counted_str{big.size(), big.data()}, 0, nullptr};
  EXPECT_EQ(ToHex(Encoded([&](char* d) {
              return ber_encode_string_list(d, &long_value, string_list_set);
            })),
            ToHex(Hex("31 81 CB 04 81 C8") + big));
}

// ---- SearchResultEntry ------------------------------------------------------

TEST(SearchEntryEncode, ExactBytes) {
  string_node x{Cs("x"), 0, nullptr};
  partial_attribute cn{Cs("cn"), &x, nullptr};
  string_node person{Cs("person"), 0, nullptr};
  string_node top{Cs("top"), 0, &person};
  partial_attribute oc{Cs("objectClass"), &top, nullptr};
  partial_attribute cn_then_oc{Cs("cn"), &x, &oc};
  partial_attribute bare{Cs("cn"), nullptr, nullptr};
  struct Case {
    const char* name;
    search_entry entry;
    const char* want;
  } cases[] = {
      {"one attribute", {Cs("cn=x"), &cn},
       "04 04 63 6E 3D 78 30 0B 30 09 04 02 63 6E 31 03 04 01 78"},
      {"two attributes", {Cs("cn=x"), &cn_then_oc},
       "04 04 'cn=x' 30 29 30 09 04 02 'cn' 31 03 04 01 'x' "
       "30 1C 04 0B 'objectClass' 31 0D 04 03 'top' 04 06 'person'"},
      {"no attributes", {Cs("cn=x"), nullptr}, "04 04 'cn=x' 30 00"},
      {"attribute without values", {Cs(""), &bare}, "04 00 30 08 30 06 04 02 'cn' 31 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(Encoded([&](char* d) { return ldap_encode_search_entry(d, &c.entry); })),
              ToHex(Hex(c.want)));
  }
  EXPECT_EQ(ToHex(Encoded([&](char* d) { return ldap_encode_partial_attributes(d, &cn); })),
            "30 09 04 02 63 6E 31 03 04 01 78");
  EXPECT_EQ(ldap_encode_partial_attributes(nullptr, nullptr), 0u);
}

struct EntryCase {
  const char* name;
  const char* in;
  uint64_t size;  // 0: fails
  const char* name_out;
  const char* attributes;
};

const EntryCase kEntryCases[] = {
    {"values reversed", "04 04 'cn=x' 30 0E 30 0C 04 02 'cn' 31 06 04 01 'a' 04 01 'b'", 22,
     "cn=x", "cn:[b,a]"},
    {"empty attribute list", "04 04 'cn=x' 30 00", 8, "cn=x", ""},
    {"attributes in order",
     "04 00 30 1A 30 09 04 02 'cn' 31 03 04 01 'x' 30 0D 04 02 'oc' 31 07 04 01 '1' 04 02 '22'",
     30, "", "cn:[x] oc:[22,1]"},
    {"attribute without values", "04 00 30 08 30 06 04 02 'cn' 31 00", 12, "", "cn:[]"},
    {"trailing bytes", "04 00 30 00 04 01 'z'", 4, "", ""},
    {"SET short of the attribute", "04 00 30 0C 30 0A 04 02 'cn' 31 03 04 01 'x' 00", 0, nullptr,
     nullptr},
    {"SET past the attribute", "04 00 30 0C 30 09 04 02 'cn' 31 04 04 01 'x' 00", 0, nullptr,
     nullptr},
    // A value must lie within its own attribute, not take bytes of the
    // attribute behind it.
    {"value past its SET", "04 00 30 0B 30 07 04 02 'cn' 31 01 04 01 'y'", 0, nullptr, nullptr},
    {"value not OCTET STRING", "04 00 30 0B 30 09 04 02 'cn' 31 03 80 01 'x'", 0, nullptr,
     nullptr},
    {"second attribute bad",
     "04 00 30 16 30 09 04 02 'cn' 31 03 04 01 'x' 30 09 04 02 'sn' 31 03 30 01 'y'", 0, nullptr,
     nullptr},
    {"type not OCTET STRING", "04 00 30 09 30 07 80 02 'cn' 31 01 'x'", 0, nullptr, nullptr},
    {"type past the attribute", "04 00 30 06 30 02 04 02 'cn'", 0, nullptr, nullptr},
    {"attribute without SET", "04 00 30 06 30 04 04 02 'cn'", 0, nullptr, nullptr},
    {"values as SEQUENCE", "04 00 30 08 30 06 04 02 'cn' 30 00", 0, nullptr, nullptr},
    {"attribute not a SEQUENCE", "04 00 30 02 31 00", 0, nullptr, nullptr},
    {"attribute past the list", "04 00 30 02 30 02 04 00", 0, nullptr, nullptr},
    {"list as SET", "04 00 31 00", 0, nullptr, nullptr},
    {"list past the end", "04 00 30 02 30", 0, nullptr, nullptr},
    {"list missing", "04 00", 0, nullptr, nullptr},
    {"name not OCTET STRING", "80 00 30 00", 0, nullptr, nullptr},
    {"empty input", "", 0, nullptr, nullptr},
};

TEST(SearchEntryDecode, Table) {
  for (const EntryCase& c : kEntryCases) {
    SCOPED_TRACE(c.name);
    Input in(Hex(c.in));
    search_entry e;
    std::memset(&e, 0xA5, sizeof e);
    const uint64_t n = ldap_decode_search_entry(in.begin(), in.end(), &e);
    EXPECT_EQ(n, c.size);
    if (c.size == 0) {
      EXPECT_EQ(e.attributes, nullptr);
      continue;
    }
    EXPECT_EQ(Str(e.objectName), c.name_out);
    EXPECT_EQ(Attributes(e.attributes), c.attributes);
    free_partial_attributes(e.attributes);
  }
  free_partial_attributes(nullptr);
  free_string_list(nullptr);
}

TEST(SearchEntryDecode, EveryTruncationFails) {
  for (const EntryCase& c : kEntryCases) {
    if (c.size == 0) continue;
    SCOPED_TRACE(c.name);
    const std::string whole = Hex(c.in).substr(0, c.size);
    for (size_t k = 0; k < whole.size(); ++k) {
      SCOPED_TRACE(k);
      Input in(whole.substr(0, k));
      search_entry e;
      std::memset(&e, 0xA5, sizeof e);
      EXPECT_EQ(ldap_decode_search_entry(in.begin(), in.end(), &e), 0u);
      EXPECT_EQ(e.attributes, nullptr);
    }
  }
}

TEST(SearchEntryDecode, SingleByteMutations) {
  const std::string whole = Hex(kEntryCases[2].in);
  const unsigned char replacements[] = {0x00, 0x01, 0x04, 0x30, 0x31, 0x7F, 0x80, 0x81, 0xFF};
  for (size_t i = 0; i < whole.size(); ++i) {
    for (unsigned char b : replacements) {
      std::string m = whole;
      m[i] = static_cast<char>(b);
      Input in(m);
      search_entry e{};
      const uint64_t n = ldap_decode_search_entry(in.begin(), in.end(), &e);
      if (n == 0) {
        EXPECT_EQ(e.attributes, nullptr);
        continue;
      }
      EXPECT_LE(n, in.size());
      Attributes(e.attributes);
      free_partial_attributes(e.attributes);
    }
  }
}

// What the server encodes, the client decodes, values reversed.
TEST(SearchEntryDecode, RoundTrip) {
  const std::string big(300, 'q');
  string_node v3{counted_str{big.size(), big.data()}, 0, nullptr};
  string_node v2{Cs("two"), 0, &v3};
  string_node v1{Cs("one"), 0, &v2};
  string_node m{Cs("a@b"), 0, nullptr};
  partial_attribute mail{Cs("mail"), &m, nullptr};
  partial_attribute desc{Cs("description"), &v1, &mail};
  const search_entry sent{Cs("cn=someone,dc=example"), &desc};
  Input in(Encoded([&](char* d) { return ldap_encode_search_entry(d, &sent); }));
  search_entry got{};
  ASSERT_EQ(ldap_decode_search_entry(in.begin(), in.end(), &got), in.size());
  EXPECT_EQ(Str(got.objectName), "cn=someone,dc=example");
  EXPECT_EQ(Attributes(got.attributes), "description:[" + big + ",two,one] mail:[a@b]");
  free_partial_attributes(got.attributes);
}

}  // namespace
