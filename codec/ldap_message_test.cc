#include "codec/ldap_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/ber.h"
#include "tests/codec_bytes.h"

namespace {

// A whole message built the way every sender builds it: contents first at
// a fixed place, the header sized by a counting pass and written right in
// front of them.
std::string BuildMessage(uint64_t id, uint64_t op, const std::string& contents) {
  constexpr size_t kRoom = 32;
  std::string buf(kRoom + contents.size(), '\xA5');
  buf.replace(kRoom, contents.size(), contents);
  const uint64_t h = ldap_encode_message_header(nullptr, id, op, contents.size());
  EXPECT_LE(h, kRoom);
  EXPECT_EQ(ldap_encode_message_header(&buf[kRoom - h], id, op, contents.size()), h);
  return buf.substr(kRoom - h);
}

// ---- Envelope --------------------------------------------------------------

TEST(LdapMessage, EncodeHeader) {
  struct Case {
    uint64_t id, op, len;
    const char* want;
  } cases[] = {
      {1, ldap_bind_response, 7, "30 0C 02 01 01 61 07"},
      {0, ldap_search_result_done, 0, "30 05 02 01 00 65 00"},
      {128, ldap_search_result_entry, 0, "30 06 02 02 00 80 64 00"},
      // A messageID that came in as 02 01 FF goes back as unsigned.
      {static_cast<uint64_t>(int64_t{-1}), ldap_del_response, 7,
       "30 14 02 09 00 FF FF FF FF FF FF FF FF 6B 07"},
      {2, ldap_del_request, 3, "30 08 02 01 02 6A 03"},  // constructed DelRequest
      {2, ldap_abandon_request, 1, "30 06 02 01 02 70 01"},
      {3, ldap_search_result_entry, 300, "30 82 01 33 02 01 03 64 82 01 2C"},
      {3, 200, 0, "30 07 02 01 03 7F 81 48 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(
        ToHex(Encoded([&](char* d) { return ldap_encode_message_header(d, c.id, c.op, c.len); })),
        ToHex(Hex(c.want)));
  }
}

TEST(LdapMessage, BuildAndDecodeWholeMessage) {
  const std::string result = Hex("0A 01 00 04 00 04 00");
  const std::string msg = BuildMessage(1, ldap_bind_response, result);
  EXPECT_EQ(ToHex(msg), "30 0C 02 01 01 61 07 0A 01 00 04 00 04 00");
  ASSERT_EQ(msg.size(), 14u);
  Input in(msg);
  int64_t id = 0;
  uint64_t op = 0, len = 0;
  EXPECT_EQ(ldap_decode_message(in.begin(), in.end(), &id, &op, &len), 7u);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(op, ldap_bind_response);
  EXPECT_EQ(len, 7u);
  uint64_t size = 0;
  EXPECT_EQ(ldap_message_size(in.begin(), in.end(), &size), 1);
  EXPECT_EQ(size, 14u);
}

TEST(LdapMessage, MessageIdRoundTrip) {
  // The answer to a request numbered 02 01 FF carries -1 back as unsigned.
  Input req(Hex("30 05 02 01 FF 42 00"));
  int64_t id = 0;
  uint64_t op = 99, len = 99;
  ASSERT_EQ(ldap_decode_message(req.begin(), req.end(), &id, &op, &len), 7u);
  EXPECT_EQ(id, -1);
  const std::string answer = BuildMessage(static_cast<uint64_t>(id), ldap_bind_response, "");
  EXPECT_EQ(ToHex(answer), "30 0D 02 09 00 FF FF FF FF FF FF FF FF 61 00");
  Input in(answer);
  int64_t back = 0;
  EXPECT_EQ(ldap_decode_message(in.begin(), in.end(), &back, &op, &len), answer.size());
  EXPECT_EQ(back, -1);

  for (uint64_t v : {uint64_t{0}, uint64_t{127}, uint64_t{128}, uint64_t{2147483647},
                     uint64_t{1} << 63, UINT64_MAX}) {
    SCOPED_TRACE(v);
    Input m(BuildMessage(v, ldap_search_request, "xyz"));
    int64_t got = 0;
    EXPECT_EQ(ldap_decode_message(m.begin(), m.end(), &got, &op, &len), m.size() - 3);
    EXPECT_EQ(static_cast<uint64_t>(got), v);
    EXPECT_EQ(op, ldap_search_request);
    EXPECT_EQ(len, 3u);
  }
}

TEST(LdapMessage, Decode) {
  struct Case {
    const char* in;
    uint64_t size;  // 0: fails
    int64_t id;
    uint64_t op, len;
  } cases[] = {
      {"30 05 02 01 01 42 00", 7, 1, ldap_unbind_request, 0},       // primitive op
      {"30 0A 02 01 02 6A 05 'dc=ex'", 7, 2, ldap_del_request, 5},  // constructed op
      {"30 0A 02 01 02 4A 05 'dc=ex'", 7, 2, ldap_del_request, 5},
      {"30 06 02 01 03 50 01 05", 7, 3, ldap_abandon_request, 1},
      // Controls behind the protocolOp are not looked at.
      {"30 0C 02 01 04 42 00 A0 05 30 03 04 01 78", 7, 4, ldap_unbind_request, 0},
      {"30 07 02 01 05 7F 81 48 00", 9, 5, 200, 0},
      {"30 82 00 05 02 01 01 42 00", 0, 0, 0, 0},  // leading-zero length
      {"30 05 02 01 01 82 00", 0, 0, 0, 0},        // context class op
      {"30 05 02 01 01 A2 00", 0, 0, 0, 0},
      {"30 05 02 01 01 02 00", 0, 0, 0, 0},  // universal class op
      {"30 05 02 01 01 C2 00", 0, 0, 0, 0},  // private class op
      {"31 05 02 01 01 42 00", 0, 0, 0, 0},  // SET, not SEQUENCE
      {"10 05 02 01 01 42 00", 0, 0, 0, 0},  // primitive SEQUENCE
      {"60 05 02 01 01 42 00", 0, 0, 0, 0},
      {"30 05 0A 01 01 42 00", 0, 0, 0, 0},        // messageID not INTEGER
      {"30 05 02 02 00 01 42", 0, 0, 0, 0},        // redundant messageID octet
      {"30 06 02 01 01 42 00", 0, 0, 0, 0},        // SEQUENCE longer than input
      {"30 05 02 01 01 42 01", 0, 0, 0, 0},        // protocolOp longer than input
      {"30 03 02 01 01", 0, 0, 0, 0},              // no protocolOp
      {"30 80 02 01 01 42 00 00 00", 0, 0, 0, 0},  // indefinite length
      {"", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    int64_t id = -99;
    uint64_t op = 99, len = 99;
    EXPECT_EQ(ldap_decode_message(in.begin(), in.end(), &id, &op, &len), c.size);
    if (c.size) {
      EXPECT_EQ(id, c.id);
      EXPECT_EQ(op, c.op);
      EXPECT_EQ(len, c.len);
    }
  }
}

TEST(LdapMessage, DecodeEveryTruncatedPrefixFails) {
  const std::string msgs[] = {
      BuildMessage(1, ldap_bind_response, Hex("0A 01 00 04 00 04 00")),
      BuildMessage(300, ldap_search_request, std::string(200, 'x')),
      Hex("30 05 02 01 01 42 00"),
  };
  for (const std::string& msg : msgs) {
    SCOPED_TRACE(ToHex(msg.substr(0, 8)));
    for (size_t k = 0; k < msg.size(); ++k) {
      Input in(msg.substr(0, k));
      int64_t id;
      uint64_t op, len;
      EXPECT_EQ(ldap_decode_message(in.begin(), in.end(), &id, &op, &len), 0u) << k;
    }
  }
}

// ---- Framing ---------------------------------------------------------------

TEST(LdapMessageSize, Table) {
  struct Case {
    const char* in;
    int result;
    uint64_t size;
  } cases[] = {
      {"", 0, 0},
      {"30", 0, 0},
      {"30 05", 1, 7},
      {"30 05 02 01 01 42 00", 1, 7},
      {"30 05 02 01 01 42 00 30 05", 1, 7},  // the next message does not count
      {"30 81", 0, 0},
      {"30 82 40", 0, 0},
      {"30 82 40 00", 1, 16388},  // far beyond one 8192-byte read
      {"30 84 00 01 00 00", -1, 0},
      {"30 84 00", -1, 0},  // leading zero seen at once
      {"30 84 01 00 00 00", 1, 6 + (uint64_t{1} << 24)},
      {"30 80", -1, 0},  // indefinite
      {"30 89", -1, 0},
      {"30 81 05", -1, 0},
      // Not a universal constructed SEQUENCE: refused on the first octet.
      {"04", -1, 0},
      {"02 01 01", -1, 0},
      {"10", -1, 0},
      {"60", -1, 0},
      {"70 05", -1, 0},
      {"B0", -1, 0},
      {"F0", -1, 0},
      {"31", -1, 0},
      {"20", -1, 0},
      // Long-form identifiers: refused once the tag number is readable.
      {"3F", 0, 0},
      {"3F 10", 0, 0},
      {"3F 10 05", 1, 8},
      {"3F 11", -1, 0},
      {"3F 81", 0, 0},
      {"3F 81 00", -1, 0},
      {"3F 80", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    uint64_t size = 99;
    EXPECT_EQ(ldap_message_size(in.begin(), in.end(), &size), c.result);
    EXPECT_EQ(size, c.result == 1 ? c.size : 99u);
  }
}

TEST(LdapMessageSize, HeaderSplitAtEveryByte) {
  const std::string msgs[] = {
      BuildMessage(7, ldap_search_request, std::string(20, 'a')),
      BuildMessage(7, ldap_search_request, std::string(300, 'b')),
      BuildMessage(UINT64_MAX, ldap_add_request, std::string(70000, 'c')),
  };
  for (const std::string& msg : msgs) {
    SCOPED_TRACE(msg.size());
    // The SEQUENCE header's own size: 1 identifier octet plus length octets.
    const unsigned char b = static_cast<unsigned char>(msg[1]);
    const size_t header = b < 0x80 ? 2 : 2 + (b & 0x7F);
    for (size_t k = 0; k <= msg.size(); ++k) {
      Input in(msg.substr(0, k));
      uint64_t size = 99;
      const int r = ldap_message_size(in.begin(), in.end(), &size);
      if (k < header) {
        EXPECT_EQ(r, 0) << k;
        EXPECT_EQ(size, 99u) << k;
      } else {
        EXPECT_EQ(r, 1) << k;
        EXPECT_EQ(size, msg.size()) << k;
      }
    }
  }
}

TEST(LdapMessageSize, CoversControls) {
  // A DelRequest followed by a controls element inside the SEQUENCE.
  const std::string ops = Hex("4A 05 'dc=ex' A0 0E 30 0C 04 0A '1.2.3.4.5.'");
  std::string msg;
  msg += Hex("30");
  msg.push_back(static_cast<char>(3 + ops.size()));
  msg += Hex("02 01 09") + ops;
  Input in(msg + Hex("30 05 02 01 0A 42 00"));  // and the next message
  uint64_t size = 0;
  ASSERT_EQ(ldap_message_size(in.begin(), in.end(), &size), 1);
  EXPECT_EQ(size, msg.size());
  int64_t id;
  uint64_t op, len;
  const uint64_t at = ldap_decode_message(in.begin(), in.end(), &id, &op, &len);
  ASSERT_EQ(at, 7u);
  EXPECT_EQ(op, ldap_del_request);
  EXPECT_LT(at + len, size);  // the controls lie behind the protocolOp
  // What follows the whole message frames as the next one.
  ASSERT_EQ(ldap_message_size(in.begin() + size, in.end(), &size), 1);
  EXPECT_EQ(size, 7u);
}

// ---- LDAPResult --------------------------------------------------------------

TEST(LdapResult, Encode) {
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ldap_encode_result(d, 0, "", "go ahead"); })),
            ToHex(Hex("0A 01 00 04 00 04 08 'go ahead'")));
  EXPECT_EQ(ToHex(Encoded(
                [](char* d) { return ldap_encode_result(d, ldap_no_such_object, "dc=ex", ""); })),
            ToHex(Hex("0A 01 20 04 05 'dc=ex' 04 00")));
  EXPECT_EQ(ToHex(Encoded([](char* d) {
              return ldap_encode_result(d, ldap_insufficient_access_rights, "", "");
            })),
            "0A 01 32 04 00 04 00");
  const std::string long_text(200, 'm');
  EXPECT_EQ(Encoded([&](char* d) { return ldap_encode_result(d, 1, "", long_text.c_str()); }),
            Hex("0A 01 01 04 00 04 81 C8") + long_text);
}

TEST(LdapResult, EncodeDecodeRoundTrip) {
  const uint64_t codes[] = {ldap_success, ldap_protocol_error, ldap_entry_already_exists, 255,
                            4096};
  for (uint64_t code : codes) {
    const std::string enc =
        Encoded([&](char* d) { return ldap_encode_result(d, code, "cn=a,dc=ex", "why not"); });
    Input in(enc);
    int64_t got = -1;
    counted_str dn{}, msg{}, ref{7, "x"};
    EXPECT_EQ(ldap_decode_result_full(in.begin(), in.end(), &got, &dn, &msg, &ref), in.size());
    EXPECT_EQ(static_cast<uint64_t>(got), code);
    EXPECT_EQ(std::string(dn.bytes, dn.len), "cn=a,dc=ex");
    EXPECT_EQ(std::string(msg.bytes, msg.len), "why not");
    EXPECT_EQ(ref.len, 0u);
    EXPECT_EQ(ref.bytes, nullptr);
  }
}

TEST(LdapResult, Decode) {
  constexpr const char* kUnset = "<unset>";
  constexpr const char* kAbsent = "<absent>";  // length 0, null pointer
  struct Case {
    const char* in;
    uint64_t lenient;  // ldap_decode_result: size, 0 fails
    uint64_t full;     // ldap_decode_result_full: size, 0 fails
    int64_t code;
    const char* dn;
    const char* message;
    const char* referral;  // as left by ldap_decode_result
  } cases[] = {
      // Only resultCode and matchedDN: the lenient decoder fills in the rest.
      {"0A 01 00 04 00", 5, 0, 0, "", kAbsent, kAbsent},
      {"0A 01 20 04 02 'dc'", 7, 0, 32, "dc", kAbsent, kAbsent},
      {"0A 01 00 04 00 04 02 'ok'", 9, 9, 0, "", "ok", kAbsent},
      {"0A 01 00 04 00 04 00 04 03 'ref'", 12, 12, 0, "", "", "ref"},
      // Trailing bytes that are no OCTET STRING: ignored and not counted by
      // one, fatal for the other.
      {"0A 01 00 04 00 04 00 A3 03 04 01 'r'", 7, 0, 0, "", "", kUnset},
      {"0A 01 00 04 00 04 00 04 05 'r'", 7, 0, 0, "", "", kUnset},
      {"0A 01 00 04 00 04 00 FF", 7, 0, 0, "", "", kUnset},
      // Behind a referral nothing more is looked at.
      {"0A 01 00 04 00 04 00 04 01 'r' 02 01 00", 10, 10, 0, "", "", "r"},
      // errorMessage present but broken.
      {"0A 01 00 04 00 02 01 00", 0, 0, 0, nullptr, nullptr, nullptr},
      {"0A 01 00 04 00 04 04 'abc'", 0, 0, 0, nullptr, nullptr, nullptr},
      // resultCode or matchedDN broken.
      {"02 01 00 04 00 04 00", 0, 0, 0, nullptr, nullptr, nullptr},
      {"0A 00 04 00 04 00", 0, 0, 0, nullptr, nullptr, nullptr},
      {"0A 01 00 80 00 04 00", 0, 0, 0, nullptr, nullptr, nullptr},
      {"0A 01 00", 0, 0, 0, nullptr, nullptr, nullptr},
      {"", 0, 0, 0, nullptr, nullptr, nullptr},
  };
  const char sentinel_bytes[] = "sentinel";
  const counted_str sentinel = {8, sentinel_bytes};
  auto check = [&](const counted_str& got, const char* want, const char* what) {
    SCOPED_TRACE(what);
    if (want == kUnset) {
      EXPECT_EQ(got.bytes, sentinel.bytes);
      EXPECT_EQ(got.len, sentinel.len);
    } else if (want == kAbsent) {
      EXPECT_EQ(got.len, 0u);
      EXPECT_EQ(got.bytes, nullptr);
    } else {
      ASSERT_NE(got.bytes, nullptr);
      EXPECT_EQ(std::string(got.bytes, got.len), want);
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    int64_t code = -99;
    counted_str dn = sentinel, msg = sentinel, ref = sentinel;
    EXPECT_EQ(ldap_decode_result(in.begin(), in.end(), &code, &dn, &msg, &ref), c.lenient);
    if (c.lenient) {
      EXPECT_EQ(code, c.code);
      check(dn, c.dn, "matchedDN");
      check(msg, c.message, "errorMessage");
      check(ref, c.referral, "referral");
    }
    code = -99;
    dn = msg = ref = sentinel;
    EXPECT_EQ(ldap_decode_result_full(in.begin(), in.end(), &code, &dn, &msg, &ref), c.full);
    if (c.full) {
      EXPECT_EQ(code, c.code);
      check(dn, c.dn, "matchedDN");
      check(msg, c.message, "errorMessage");
      check(ref, c.referral, "referral");
    }
  }
}

// ---- BindRequest -------------------------------------------------------------

TEST(LdapBindRequest, Encode) {
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ldap_encode_bind_request(d, 3, "", ""); })),
            "02 01 03 04 00 80 00");
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ldap_encode_bind_request(d, 3, "cn=a", "pw"); })),
            ToHex(Hex("02 01 03 04 04 'cn=a' 80 02 'pw'")));
  EXPECT_EQ(ToHex(Encoded([](char* d) { return ldap_encode_bind_request(d, 2, "", "secret"); })),
            ToHex(Hex("02 01 02 04 00 80 06 'secret'")));
  // The anonymous bind sent whole.
  const std::string contents =
      Encoded([](char* d) { return ldap_encode_bind_request(d, 3, "", ""); });
  EXPECT_EQ(ToHex(BuildMessage(1, ldap_bind_request, contents)),
            "30 0C 02 01 01 60 07 02 01 03 04 00 80 00");
}

TEST(LdapBindRequest, Decode) {
  struct Case {
    const char* in;
    uint64_t size;  // 0: fails
    int64_t version;
    const char* name;
    uint64_t auth_tag;
  } cases[] = {
      {"02 01 03 04 00 80 00", 5, 3, "", 0},
      {"02 01 03 04 04 'cn=a' 80 02 'pw'", 9, 3, "cn=a", 0},
      {"02 01 02 04 00 80 00", 5, 2, "", 0},  // any version
      {"02 01 FF 04 00 80 00", 5, -1, "", 0},
      {"02 01 03 04 00 83 00", 5, 3, "", 3},  // other context tags go out
      {"02 01 03 04 00 9F 1F 00", 5, 3, "", 31},
      // Only the identifier is read: the content need not be there.
      {"02 01 03 04 00 80 05", 5, 3, "", 0},
      {"02 01 03 04 00 80", 5, 3, "", 0},
      // SASL credentials come constructed: refused.
      {"02 01 03 04 00 A3 04 04 02 'xy'", 0, 0, nullptr, 0},
      {"02 01 03 04 00 40 00", 0, 0, nullptr, 0},  // application class
      {"02 01 03 04 00 04 00", 0, 0, nullptr, 0},  // universal class
      {"02 01 03 04 00 C0 00", 0, 0, nullptr, 0},  // private class
      {"02 01 03 04 00", 0, 0, nullptr, 0},        // no authentication
      {"02 01 03 04 00 9F", 0, 0, nullptr, 0},     // unreadable identifier
      {"02 01 03 80 00 80 00", 0, 0, nullptr, 0},  // name not OCTET STRING
      {"0A 01 03 04 00 80 00", 0, 0, nullptr, 0},  // version not INTEGER
      {"02 01 03 04 05 'ab'", 0, 0, nullptr, 0},
      {"", 0, 0, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    int64_t version = -99;
    counted_str name = {};
    uint64_t auth = 99;
    EXPECT_EQ(ldap_decode_bind_request(in.begin(), in.end(), &version, &name, &auth), c.size);
    if (c.size) {
      EXPECT_EQ(version, c.version);
      EXPECT_EQ(std::string(name.bytes, name.len), c.name);
      EXPECT_EQ(auth, c.auth_tag);
    }
  }
}

TEST(LdapBindRequest, RoundTripAndPasswordRead) {
  const std::string long_pw(300, 'p');
  struct Case {
    uint64_t version;
    const char* name;
    const char* password;
  } cases[] = {
      {3, "", ""},
      {3, "cn=admin,dc=example,dc=com", "correct horse"},
      {2, "uid=x", long_pw.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Input in(Encoded(
        [&](char* d) { return ldap_encode_bind_request(d, c.version, c.name, c.password); }));
    int64_t version = 0;
    counted_str name{};
    uint64_t auth = 99;
    const uint64_t at = ldap_decode_bind_request(in.begin(), in.end(), &version, &name, &auth);
    ASSERT_NE(at, 0u);
    EXPECT_EQ(static_cast<uint64_t>(version), c.version);
    EXPECT_EQ(std::string(name.bytes, name.len), c.name);
    EXPECT_EQ(auth, 0u);
    // The bind operation reads the [0] password through the string decoder
    // and takes it although the identifier check fails.
    counted_str pw{};
    EXPECT_EQ(ber_decode_string(in.begin() + at, in.end(), &pw), 0u);
    EXPECT_EQ(std::string(pw.bytes, pw.len), c.password);
    EXPECT_EQ(pw.bytes + pw.len, in.end());
  }
}

TEST(LdapExtendedRequest, Decode) {
  const struct {
    const char* what;
    const char* hex;
    bool ok;
    std::string name, value;
    int has_value;
  } cases[] = {
      {"a name", "80 03 31 2e 32", true, "1.2", "", 0},
      {"a name and a value", "80 01 31 81 02 76 77", true, "1", "vw", 1},
      {"an empty value", "80 01 31 81 00", true, "1", "", 1},
      {"an empty name", "80 00", true, "", "", 0},
      {"no name", "", false, "", "", 0},
      {"the name not [0]", "04 01 31", false, "", "", 0},
      {"the name constructed", "a0 01 31", false, "", "", 0},
      {"the value not [1]", "80 01 31 82 00", false, "", "", 0},
      {"bytes after the value", "80 01 31 81 00 00", false, "", "", 0},
      {"a name longer than the bytes", "80 05 31", false, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Input in(Hex(c.hex));
    counted_str name{0, nullptr}, value{0, nullptr};
    int has_value = -1;
    const uint64_t n = ldap_decode_extended_request(in.begin(), in.end(), &name, &value, &has_value);
    EXPECT_EQ(n != 0, c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(n, static_cast<uint64_t>(in.end() - in.begin()));
    EXPECT_EQ(std::string(name.bytes, name.len), c.name);
    EXPECT_EQ(has_value, c.has_value);
    if (has_value != 0) {
      EXPECT_EQ(std::string(value.bytes, value.len), c.value);
    }
  }
}

TEST(LdapExtendedResponse, Encode) {
  const struct {
    const char* name;
    const char* value;
    uint64_t value_len;
    const char* hex;
  } cases[] = {
      {nullptr, nullptr, 0, "0a 01 02 04 00 04 01 6d"},
      {"1.2", nullptr, 0, "0a 01 02 04 00 04 01 6d 8a 03 31 2e 32"},
      {nullptr, "dn:x", 4, "0a 01 02 04 00 04 01 6d 8b 04 64 6e 3a 78"},
      {nullptr, "", 0, "0a 01 02 04 00 04 01 6d 8b 00"},
  };
  for (const auto& c : cases) {
    const uint64_t n = ldap_encode_extended_response(nullptr, 2, "m", c.name, c.value, c.value_len);
    std::string out(n, '\0');
    EXPECT_EQ(ldap_encode_extended_response(out.data(), 2, "m", c.name, c.value, c.value_len), n);
    EXPECT_EQ(out, Hex(c.hex)) << c.hex;
  }
}

TEST(LdapCompareRequest, Decode) {
  const struct {
    const char* what;
    const char* hex;
    bool ok;
  } cases[] = {
      {"dn, type and value", "04 03 63 6e 3d 30 06 04 02 63 6e 04 00", true},
      {"an empty DN", "04 00 30 05 04 01 63 04 00", true},
      {"an empty type", "04 00 30 04 04 00 04 00", false},
      {"no value", "04 00 30 03 04 01 63", false},
      {"bytes after the value", "04 00 30 06 04 01 63 04 00 00", false},
      {"bytes after the assertion", "04 00 30 05 04 01 63 04 00 00", false},
      {"the assertion no SEQUENCE", "04 00 31 05 04 01 63 04 00", false},
      {"nothing", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Input in(Hex(c.hex));
    counted_str dn, type, value;
    EXPECT_EQ(ldap_decode_compare_request(in.begin(), in.end(), &dn, &type, &value) != 0, c.ok);
  }
}

TEST(LdapControls, Decode) {
  const struct {
    const char* what;
    const char* hex;
    int64_t count;
    int critical;       // of the first control
    const char* value;  // of the first control, null for none
  } cases[] = {
      {"none", "", 0, 0, nullptr},
      {"one, type only", "a0 05 30 03 04 01 31", 1, 0, nullptr},
      {"critical as DER TRUE", "a0 08 30 06 04 01 31 01 01 ff", 1, 1, nullptr},
      {"critical as another non-zero byte", "a0 08 30 06 04 01 31 01 01 01", 1, 1, nullptr},
      {"criticality FALSE and a value", "a0 0c 30 0a 04 01 31 01 01 00 04 02 76 77", 1, 0, "vw"},
      {"two", "a0 0a 30 03 04 01 31 30 03 04 01 32", 2, 0, nullptr},
      {"an empty list", "a0 00", 0, 0, nullptr},
      {"not [0]", "30 05 30 03 04 01 31", -1, 0, nullptr},
      {"bytes after the list", "a0 05 30 03 04 01 31 00", -1, 0, nullptr},
      {"a control that is no SEQUENCE", "a0 03 04 01 31", -1, 0, nullptr},
      {"a BOOLEAN of two bytes", "a0 09 30 07 04 01 31 01 02 00 ff", -1, 0, nullptr},
      {"bytes after the value", "a0 08 30 06 04 01 31 04 00 00", -1, 0, nullptr},
      {"a list longer than the bytes", "a0 09 30 03 04 01 31", -1, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Input in(Hex(c.hex));
    ldap_control out[ldap_max_controls];
    const int64_t n = ldap_decode_controls(in.begin(), in.end(), out);
    EXPECT_EQ(n, c.count);
    if (n <= 0) continue;
    EXPECT_EQ(std::string(out[0].type.bytes, out[0].type.len), "1");
    EXPECT_EQ(out[0].critical, c.critical);
    if (c.value == nullptr) {
      EXPECT_EQ(out[0].value.bytes, nullptr);
    } else {
      EXPECT_EQ(std::string(out[0].value.bytes, out[0].value.len), c.value);
    }
  }
  // One more than the most taken.
  std::string many;
  for (uint64_t i = 0; i <= ldap_max_controls; ++i) many += Hex("30 03 04 01 31");
  std::string list = Hex("a0") + static_cast<char>(many.size()) + many;
  Input in(list);
  ldap_control out[ldap_max_controls];
  EXPECT_EQ(ldap_decode_controls(in.begin(), in.end(), out), -1);
}

}  // namespace
