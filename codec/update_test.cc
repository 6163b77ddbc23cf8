#include "codec/update.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "codec/ldap_message.h"
#include "tests/codec_bytes.h"

namespace {

std::string Str(counted_str s) { return s.len ? std::string(s.bytes, s.len) : std::string(); }
counted_str Cs(const char* text) { return counted_str{std::strlen(text), text}; }

// ---- Building requests -----------------------------------------------------

// One element with a definite length (short form, or 0x81 below 256).
std::string Tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  if (content.size() < 128) {
    out.push_back(static_cast<char>(content.size()));
  } else {
    out.push_back('\x81');
    out.push_back(static_cast<char>(content.size()));
  }
  return out + content;
}

std::string Cat(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string& p : parts) s += p;
  return s;
}

std::string Os(const std::string& s) { return Tlv(0x04, s); }
std::string Seq(std::initializer_list<std::string> parts) { return Tlv(0x30, Cat(parts)); }
std::string Set(std::initializer_list<std::string> parts) { return Tlv(0x31, Cat(parts)); }
std::string Enum(unsigned char v) { return Tlv(0x0A, std::string(1, static_cast<char>(v))); }

// A ModifyRequest change: operation, then the PartialAttribute.
std::string Change(unsigned char op, const std::string& type,
                   std::initializer_list<std::string> vals) {
  std::string values;
  for (const std::string& v : vals) values += Os(v);
  return Seq({Enum(op), Seq({Os(type), Tlv(0x31, values)})});
}

// An AddRequest attribute.
std::string Attr(const std::string& type, std::initializer_list<std::string> vals) {
  std::string values;
  for (const std::string& v : vals) values += Os(v);
  return Seq({Os(type), Tlv(0x31, values)});
}

// "0 cn:['a','b']; 1 sn:[]" ("[]" only for a null list; '' is an empty value).
std::string Values(const string_node* list) {
  std::string s = "[";
  for (const string_node* v = list; v; v = v->next) {
    if (v != list) s += ",";
    s += "'" + Str(v->str) + "'";
    EXPECT_EQ(v->attribute_offset, 0u);
  }
  return s + "]";
}

std::string Render(const modify_request& r) {
  std::string s = Str(r.object) + "|";
  for (const modification* m = &r.first; m; m = m->next) {
    if (m != &r.first) s += "; ";
    s += std::to_string(m->operation) + " " + Str(m->type) + ":" + Values(m->vals);
  }
  return s;
}

std::string Render(const add_request& r) {
  std::string s = Str(r.entry) + "|";
  for (const add_attribute* a = &r.first; a; a = a->next) {
    if (a != &r.first) s += " ";
    s += Str(a->type) + ":" + Values(&a->vals);
  }
  return s;
}

template <typename Record>
bool IsCleared(const Record& r) {
  Record zero;
  std::memset(&zero, 0, sizeof zero);
  // Every byte, padding included: the decoders clear a record with memset.
  // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
  return std::memcmp(&zero, &r, sizeof r) == 0;
}

// A record full of garbage: the decoder must not trust anything in it.
template <typename Record>
Record Garbage() {
  Record r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

// A request, bytes that follow it in the buffer, and the expected rendering
// ("" for a rejected request).
struct Case {
  const char* name;
  std::string request;
  std::string trailer;
  std::string want;
};

// ---- ModifyRequest ---------------------------------------------------------

std::vector<Case> ModifyCases() {
  const std::string dn = Os("cn=x,o=y");
  return {
      // Accepted.
      {"one replace", dn + Seq({Change(2, "cn", {"a"})}), "", "cn=x,o=y|2 cn:['a']"},
      {"values keep their order", dn + Seq({Change(0, "mail", {"a", "b", "c"})}), "",
       "cn=x,o=y|0 mail:['a','b','c']"},
      {"changes keep their order",
       dn + Seq({Change(0, "cn", {"a"}), Change(1, "sn", {"b", "c"}), Change(2, "o", {"d"})}),
       "", "cn=x,o=y|0 cn:['a']; 1 sn:['b','c']; 2 o:['d']"},
      {"empty SET gives no values", dn + Seq({Change(1, "description", {})}), "",
       "cn=x,o=y|1 description:[]"},
      {"empty SET between changes",
       dn + Seq({Change(0, "cn", {"a"}), Change(1, "sn", {}), Change(2, "o", {"b"})}), "",
       "cn=x,o=y|0 cn:['a']; 1 sn:[]; 2 o:['b']"},
      {"empty value", dn + Seq({Change(2, "cn", {""})}), "", "cn=x,o=y|2 cn:['']"},
      {"empty DN", Os("") + Seq({Change(0, "cn", {"a"})}), "", "|0 cn:['a']"},
      {"a following message is not read", dn + Seq({Change(2, "cn", {"a"})}),
       Hex("30 05 02 01 03 42 00"), "cn=x,o=y|2 cn:['a']"},
      {"change SEQUENCE length not used",
       dn + Hex("30 0D 30 00 0A 01 01 30 06 04 02 'cn' 31 00"), "", "cn=x,o=y|1 cn:[]"},
      {"long-form lengths", dn + Seq({Change(0, "cn", {std::string(200, 'v')})}), "",
       "cn=x,o=y|0 cn:['" + std::string(200, 'v') + "']"},

      // Rejected.
      {"object not an OCTET STRING", Tlv(0x0A, "x") + Seq({Change(0, "cn", {"a"})}), "", ""},
      {"object constructed", Tlv(0x24, "") + Seq({Change(0, "cn", {"a"})}), "", ""},
      {"no changes SEQUENCE", dn, "", ""},
      {"empty changes SEQUENCE", dn + Hex("30 00"), "", ""},
      {"changes as a SET", dn + Tlv(0x31, Change(0, "cn", {"a"})), "", ""},
      {"changes run past the end", dn + Hex("30 11") + Change(0, "cn", {"a"}), "", ""},
      {"change not a SEQUENCE", dn + Seq({Tlv(0x31, Enum(0) + Seq({Os("cn"), Set({})}))}), "",
       ""},
      {"operation 3", dn + Seq({Change(3, "cn", {"a"})}), "", ""},
      {"operation 255", dn + Seq({Change(255, "cn", {"a"})}), "", ""},
      {"operation negative",
       dn + Seq({Seq({Tlv(0x0A, "\xFF\xFF"), Seq({Os("cn"), Set({})})})}), "", ""},
      {"operation as an INTEGER", dn + Seq({Seq({Tlv(0x02, "\x01"), Seq({Os("cn"), Set({})})})}),
       "", ""},
      {"operation 3 in a later change",
       dn + Seq({Change(0, "cn", {"a", "b"}), Change(1, "sn", {"c"}), Change(3, "o", {"d"})}), "",
       ""},
      {"modification leaves the changes SEQUENCE",
       dn + Hex("30 0D 30 0B 0A 01 00 30 08 04 02 'cn' 31 00"), Hex("05 00"), ""},
      {"modification not a SEQUENCE", dn + Seq({Seq({Enum(0), Tlv(0x31, Os("cn") + Set({}))})}),
       "", ""},
      {"type not an OCTET STRING", dn + Seq({Seq({Enum(0), Seq({Tlv(0x0C, "cn"), Set({})})})}),
       "", ""},
      {"vals SET ends before its modification",
       dn + Hex("30 0F 30 0D 0A 01 00 30 08 04 02 'cn' 31 00 04 00"), "", ""},
      {"vals SET ends after its modification",
       dn + Hex("30 0F 30 0D 0A 01 00 30 04 04 02 'cn' 31 02 04 00"), "", ""},
      {"vals not a SET", dn + Seq({Seq({Enum(0), Seq({Os("cn"), Seq({Os("a")})})})}), "", ""},
      {"missing vals SET", dn + Seq({Seq({Enum(0), Seq({Os("cn")})})}), "", ""},
      {"value not an OCTET STRING",
       dn + Seq({Seq({Enum(0), Seq({Os("cn"), Set({Os("a"), Tlv(0x02, "\x01")})})})}), "", ""},
      {"value runs past its SET",
       dn + Seq({Seq({Enum(0), Seq({Os("cn"), Hex("31 03 04 05 'abc'")})})}), "", ""},
      {"bad value in a later change",
       dn + Seq({Change(0, "cn", {"a", "b"}),
                 Seq({Enum(2), Seq({Os("sn"), Set({Os("c"), Os("d"), Tlv(0x05, "")})})})}),
       "", ""},
      {"garbage after the last change", dn + Seq({Change(0, "cn", {"a"}), Hex("05 00")}), "", ""},
  };
}

TEST(ModifyRequest, DecodesTable) {
  for (const Case& c : ModifyCases()) {
    SCOPED_TRACE(c.name);
    const Input in(c.request + c.trailer);
    modify_request r = Garbage<modify_request>();
    const uint64_t n = ldap_decode_modify_request(in.begin(), in.end(), &r);
    if (c.want.empty()) {
      EXPECT_EQ(n, 0u);
      EXPECT_TRUE(IsCleared(r));
    } else {
      EXPECT_EQ(n, c.request.size());
      EXPECT_EQ(Render(r), c.want);
      // The strings point into the received bytes.
      EXPECT_GE(r.object.bytes, in.begin());
      EXPECT_LE(r.object.bytes + r.object.len, in.end());
    }
    free_modify_request(&r);
  }
}

TEST(ModifyRequest, FurtherChangesAreHeapNodesReachedThroughNext) {
  const Input in(Os("cn=x") + Seq({Change(0, "cn", {"a"}), Change(1, "sn", {})}));
  modify_request r = Garbage<modify_request>();
  ASSERT_EQ(ldap_decode_modify_request(in.begin(), in.end(), &r), in.size());
  ASSERT_NE(r.first.next, nullptr);
  EXPECT_EQ(r.first.operation, modify_add);
  EXPECT_EQ(Str(r.first.type), "cn");
  EXPECT_EQ(r.first.next->operation, modify_delete);
  EXPECT_EQ(Str(r.first.next->type), "sn");
  EXPECT_EQ(r.first.next->vals, nullptr);
  EXPECT_EQ(r.first.next->next, nullptr);
  free_modify_request(&r);
  // Freeing leaves nothing to free a second time.
  EXPECT_EQ(r.first.next, nullptr);
  EXPECT_EQ(r.first.vals, nullptr);
  free_modify_request(&r);
}

TEST(ModifyRequest, EveryTruncationFails) {
  for (const Case& c : ModifyCases()) {
    SCOPED_TRACE(c.name);
    for (size_t len = 0; len < c.request.size(); ++len) {
      SCOPED_TRACE(len);
      const Input in(c.request.substr(0, len));
      modify_request r = Garbage<modify_request>();
      EXPECT_EQ(ldap_decode_modify_request(in.begin(), in.end(), &r), 0u);
      EXPECT_TRUE(IsCleared(r));
    }
  }
}

// ---- AddRequest ------------------------------------------------------------

std::vector<Case> AddCases() {
  const std::string dn = Os("cn=x,o=y");
  return {
      // Accepted.
      {"one attribute", dn + Seq({Attr("cn", {"x"})}), "", "cn=x,o=y|cn:['x']"},
      {"values keep their order", dn + Seq({Attr("cn", {"a", "b"})}), "",
       "cn=x,o=y|cn:['a','b']"},
      {"attributes keep their order",
       dn + Seq({Attr("objectClass", {"top", "person"}), Attr("cn", {"x"}),
                 Attr("sn", {"p", "q", "r"})}),
       "", "cn=x,o=y|objectClass:['top','person'] cn:['x'] sn:['p','q','r']"},
      {"empty SET gives one empty value", dn + Seq({Attr("cn", {})}), "", "cn=x,o=y|cn:['']"},
      {"empty SET between attributes",
       dn + Seq({Attr("cn", {"a", "b"}), Attr("sn", {}), Attr("o", {"c"})}), "",
       "cn=x,o=y|cn:['a','b'] sn:[''] o:['c']"},
      {"empty DN", Os("") + Seq({Attr("cn", {"x"})}), "", "|cn:['x']"},
      {"a following message is not read", dn + Seq({Attr("cn", {"x"})}),
       Hex("30 05 02 01 03 42 00"), "cn=x,o=y|cn:['x']"},
      {"attribute SEQUENCE length not used", dn + Seq({Hex("30 00") + Os("cn") + Set({Os("a")})}),
       "", "cn=x,o=y|cn:['a']"},
      {"a value is bounded by the list, not its SET",
       dn + Seq({Seq({Os("cn"), Hex("31 01 04 01 'a'")})}), "", "cn=x,o=y|cn:['a']"},
      {"long-form lengths", dn + Seq({Attr("cn", {std::string(150, 'v'), "w"})}), "",
       "cn=x,o=y|cn:['" + std::string(150, 'v') + "','w']"},

      // Rejected.
      {"entry not an OCTET STRING", Tlv(0x02, "\x01") + Seq({Attr("cn", {"x"})}), "", ""},
      {"entry constructed", Tlv(0x24, "") + Seq({Attr("cn", {"x"})}), "", ""},
      {"no attribute list", dn, "", ""},
      {"empty attribute list", dn + Hex("30 00"), "", ""},
      {"attribute list as a SET", dn + Tlv(0x31, Attr("cn", {"x"})), "", ""},
      {"attribute list runs past the end", dn + Hex("30 20") + Attr("cn", {"x"}), "", ""},
      {"attribute not a SEQUENCE", dn + Seq({Tlv(0x31, Os("cn") + Set({Os("x")}))}), "", ""},
      {"type not an OCTET STRING", dn + Seq({Seq({Tlv(0x0C, "cn"), Set({Os("x")})})}), "", ""},
      {"missing values", dn + Seq({Seq({Os("cn")})}), "", ""},
      {"values not a SET", dn + Seq({Seq({Os("cn"), Seq({Os("x")})})}), "", ""},
      {"first value not an OCTET STRING", dn + Seq({Seq({Os("cn"), Set({Tlv(0x02, "\x01")})})}),
       "", ""},
      {"later value not an OCTET STRING",
       dn + Seq({Seq({Os("cn"), Set({Os("a"), Os("b"), Tlv(0x05, "")})})}), "", ""},
      {"bad later attribute",
       dn + Seq({Attr("cn", {"a", "b"}), Attr("sn", {"c", "d"}),
                 Seq({Os("o"), Set({Os("e"), Os("f"), Tlv(0x01, "\x01")})})}),
       "", ""},
      {"value runs past the list", dn + Seq({Seq({Os("cn"), Hex("31 02 04 05 'ab'")})}), "",
       ""},
      {"garbage after the last attribute", dn + Seq({Attr("cn", {"a"}), Hex("05 00")}), "", ""},
  };
}

TEST(AddRequest, DecodesTable) {
  for (const Case& c : AddCases()) {
    SCOPED_TRACE(c.name);
    const Input in(c.request + c.trailer);
    add_request r = Garbage<add_request>();
    const uint64_t n = ldap_decode_add_request(in.begin(), in.end(), &r);
    if (c.want.empty()) {
      EXPECT_EQ(n, 0u);
      EXPECT_TRUE(IsCleared(r));
    } else {
      EXPECT_EQ(n, c.request.size());
      EXPECT_EQ(Render(r), c.want);
      EXPECT_GE(r.entry.bytes, in.begin());
      EXPECT_LE(r.entry.bytes + r.entry.len, in.end());
    }
    free_add_request(&r);
  }
}

TEST(AddRequest, FirstValueAndAttributeAreHeldInTheRecord) {
  const Input in(Os("o=y") + Seq({Attr("cn", {}), Attr("sn", {"a", "b"})}));
  add_request r = Garbage<add_request>();
  ASSERT_EQ(ldap_decode_add_request(in.begin(), in.end(), &r), in.size());
  EXPECT_EQ(r.first.vals.str.len, 0u);
  EXPECT_EQ(r.first.vals.next, nullptr);
  ASSERT_NE(r.first.next, nullptr);
  const add_attribute* second = r.first.next;
  EXPECT_EQ(Str(second->vals.str), "a");
  ASSERT_NE(second->vals.next, nullptr);
  EXPECT_EQ(Str(second->vals.next->str), "b");
  EXPECT_EQ(second->vals.next->next, nullptr);
  EXPECT_EQ(second->next, nullptr);
  free_add_request(&r);
  EXPECT_EQ(r.first.next, nullptr);
  free_add_request(&r);
}

TEST(AddRequest, EveryTruncationFails) {
  for (const Case& c : AddCases()) {
    SCOPED_TRACE(c.name);
    for (size_t len = 0; len < c.request.size(); ++len) {
      SCOPED_TRACE(len);
      const Input in(c.request.substr(0, len));
      add_request r = Garbage<add_request>();
      EXPECT_EQ(ldap_decode_add_request(in.begin(), in.end(), &r), 0u);
      EXPECT_TRUE(IsCleared(r));
    }
  }
}

// ---- DelRequest ------------------------------------------------------------

TEST(DelRequest, DnIsTheWholeProtocolOpContents) {
  struct {
    const char* name;
    const char* message;
    const char* want;  // null: rejected
  } cases[] = {
      {"primitive form", "30 0D 02 01 05 4A 08 'cn=x,o=y'", "cn=x,o=y"},
      {"constructed form", "30 0D 02 01 05 6A 08 'cn=x,o=y'", "cn=x,o=y"},
      {"contents are not an OCTET STRING element", "30 09 02 01 05 4A 04 04 02 'cn'",
       "\x04\x02" "cn"},
      {"empty contents", "30 05 02 01 05 4A 00", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Another message follows in the same read.
    const Input in(Hex(c.message) + Hex("30 06 02 01 06 4A 01 'z'"));
    int64_t id;
    uint64_t op, op_len;
    const uint64_t offset = ldap_decode_message(in.begin(), in.end(), &id, &op, &op_len);
    ASSERT_NE(offset, 0u);
    ASSERT_EQ(op, ldap_del_request);
    const char* start = in.begin() + offset;
    counted_str dn{99, nullptr};
    const uint64_t n = ldap_decode_del_request(start, start + op_len, &dn);
    if (!c.want) {
      EXPECT_EQ(n, 0u);
      continue;
    }
    EXPECT_EQ(n, std::strlen(c.want));
    EXPECT_EQ(dn.len, n);
    EXPECT_EQ(dn.bytes, start);
    EXPECT_EQ(Str(dn), c.want);
  }
}

TEST(DelRequest, StartAtOrPastEndFails) {
  const Input in(std::string("cn=x"));
  counted_str dn{};
  EXPECT_EQ(ldap_decode_del_request(in.begin(), in.begin(), &dn), 0u);
  EXPECT_EQ(ldap_decode_del_request(in.end(), in.begin(), &dn), 0u);
  EXPECT_EQ(ldap_decode_del_request(in.begin(), in.begin() + 1, &dn), 1u);
  EXPECT_EQ(Str(dn), "c");
}

TEST(DelRequest, Encode) {
  for (const char* text : {"cn=x", "cn=x,o=y", ""}) {
    SCOPED_TRACE(text);
    const counted_str dn = Cs(text);
    EXPECT_EQ(ldap_encode_del_request(nullptr, dn), std::strlen(text));
    EXPECT_EQ(Encoded([&](char* d) { return ldap_encode_del_request(d, dn); }), text);
  }
}

TEST(DelRequest, WholeMessage) {
  const counted_str dn = Cs("cn=x");
  const std::string contents =
      Encoded([&](char* d) { return ldap_encode_del_request(d, dn); });
  const std::string header = Encoded([&](char* d) {
    return ldap_encode_message_header(d, 2, ldap_del_request, contents.size());
  });
  const std::string message = header + contents;
  EXPECT_EQ(ToHex(message), "30 09 02 01 02 6A 04 63 6E 3D 78");

  // And the server reads it back.
  const Input in(message);
  int64_t id;
  uint64_t op, op_len;
  const uint64_t offset = ldap_decode_message(in.begin(), in.end(), &id, &op, &op_len);
  ASSERT_NE(offset, 0u);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(op, ldap_del_request);
  counted_str back{};
  ASSERT_EQ(ldap_decode_del_request(in.begin() + offset, in.begin() + offset + op_len, &back),
            4u);
  EXPECT_EQ(Str(back), "cn=x");
}

}  // namespace
