// The load generator's requests must be what a server decodes as meant
// (checked with the server's own decoders), its framing must cut a stream
// into whole messages however the bytes arrive, and its checks, keys file
// and percentiles must be right, or the benchmark measures the wrong thing.
#include "bench/ldapbench_proto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/ber.h"
#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "codec/search.h"
#include "codec/update.h"

namespace {

std::string str(counted_str s) { return std::string(s.bytes, s.len); }

// Decodes the envelope of a whole message: the protocolOp contents.
struct envelope {
  int64_t id = -1;
  uint64_t op = 0;
  const char* content = nullptr;
  uint64_t content_len = 0;
};

envelope open_envelope(const std::string& msg) {
  envelope e;
  uint64_t size = 0;
  EXPECT_EQ(ldap_message_size(msg.data(), msg.data() + msg.size(), &size), 1);
  EXPECT_EQ(size, msg.size());
  const uint64_t at =
      ldap_decode_message(msg.data(), msg.data() + msg.size(), &e.id, &e.op, &e.content_len);
  EXPECT_NE(at, 0u);
  e.content = msg.data() + at;
  EXPECT_EQ(at + e.content_len, msg.size());
  return e;
}

// A response message built with the server's encoders.
std::string result_message(int64_t id, uint64_t op, uint64_t code) {
  const uint64_t body = ldap_encode_result(nullptr, code, "", "");
  const uint64_t header = ldap_encode_message_header(nullptr, static_cast<uint64_t>(id), op, body);
  std::string out(header + body, '\0');
  ldap_encode_message_header(out.data(), static_cast<uint64_t>(id), op, body);
  ldap_encode_result(out.data() + header, code, "", "");
  return out;
}

std::string entry_message(int64_t id, const std::string& dn,
                          const std::vector<std::string>& types) {
  std::vector<string_node> values(types.size());
  std::vector<partial_attribute> attrs(types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    values[i] = string_node{{1, "v"}, 0, nullptr};
    attrs[i] = partial_attribute{{types[i].size(), types[i].data()}, &values[i],
                                 i + 1 < types.size() ? &attrs[i + 1] : nullptr};
  }
  search_entry e{{dn.size(), dn.data()}, types.empty() ? nullptr : attrs.data()};
  const uint64_t body = ldap_encode_search_entry(nullptr, &e);
  const uint64_t header = ldap_encode_message_header(nullptr, static_cast<uint64_t>(id),
                                                     ldap_search_result_entry, body);
  std::string out(header + body, '\0');
  ldap_encode_message_header(out.data(), static_cast<uint64_t>(id), ldap_search_result_entry,
                             body);
  ldap_encode_search_entry(out.data() + header, &e);
  return out;
}

bench_message as_message(const std::string& msg) {
  const envelope e = open_envelope(msg);
  return bench_message{e.id, e.op, e.content, e.content_len};
}

// ---- Requests -------------------------------------------------------------

TEST(LdapbenchRequest, BindDecodesAsSimpleBindWithNameAndPassword) {
  const std::string msg = bench_bind_request(300, "uid=user0000042,ou=people,dc=example,dc=com",
                                             "password42");
  const envelope e = open_envelope(msg);
  EXPECT_EQ(e.id, 300);
  EXPECT_EQ(e.op, ldap_bind_request);
  int64_t version = 0;
  counted_str name{};
  uint64_t auth = 99;
  const char* end = e.content + e.content_len;
  const uint64_t n = ldap_decode_bind_request(e.content, end, &version, &name, &auth);
  ASSERT_NE(n, 0u);
  EXPECT_EQ(version, 3);
  EXPECT_EQ(str(name), "uid=user0000042,ou=people,dc=example,dc=com");
  EXPECT_EQ(auth, 0u);  // simple
  unsigned cls = 0, constructed = 1;
  uint64_t tag = 9;
  const char* content = nullptr;
  uint64_t len = 0;
  ASSERT_EQ(ber_decode_header(e.content + n, end, &cls, &constructed, &tag, &content, &len),
            e.content_len - n);
  EXPECT_EQ(cls, ber_context);
  EXPECT_EQ(constructed, ber_primitive);
  EXPECT_EQ(std::string(content, len), "password42");
}

TEST(LdapbenchRequest, SearchesDecodeWithTheirFilterAttributesAndId) {
  const std::vector<std::string> two = {"cn", "mail"};
  // Message ids on both sides of the one- and two-octet INTEGER limits.
  for (const int64_t id : {int64_t{1}, int64_t{127}, int64_t{128}, int64_t{65536}}) {
    SCOPED_TRACE(id);
    const std::string eq = bench_equality_search(id, "ou=people,dc=example,dc=com", "uid",
                                                 "user0000007", two);
    const envelope e = open_envelope(eq);
    EXPECT_EQ(e.id, id);
    EXPECT_EQ(e.op, ldap_search_request);
    search_request r{};
    ASSERT_NE(ldap_decode_search_request(e.content, e.content + e.content_len, &r), 0u);
    EXPECT_EQ(str(r.baseObject), "ou=people,dc=example,dc=com");
    EXPECT_EQ(r.scope, scope_whole_subtree);
    EXPECT_EQ(r.sizeLimit, 0);
    ASSERT_NE(r.filter, nullptr);
    EXPECT_EQ(r.filter->choice, filter_equality);
    EXPECT_EQ(str(r.filter->attribute), "uid");
    EXPECT_EQ(str(r.filter->value), "user0000007");
    std::vector<std::string> got;
    for (const string_node* a = r.attributes; a != nullptr; a = a->next) got.push_back(str(a->str));
    EXPECT_EQ(got, two);
    free_search_request(&r);
  }

  const std::string sub = bench_prefix_search(5, "dc=example,dc=com", "cn", "Anna000012", {"cn"});
  const envelope e = open_envelope(sub);
  search_request r{};
  ASSERT_NE(ldap_decode_search_request(e.content, e.content + e.content_len, &r), 0u);
  ASSERT_NE(r.filter, nullptr);
  EXPECT_EQ(r.filter->choice, filter_substrings);
  EXPECT_EQ(str(r.filter->attribute), "cn");
  ASSERT_NE(r.filter->substrings, nullptr);
  EXPECT_EQ(r.filter->substrings->kind, substring_initial);
  EXPECT_EQ(str(r.filter->substrings->value), "Anna000012");
  EXPECT_EQ(r.filter->substrings->next, nullptr);
  free_search_request(&r);
}

TEST(LdapbenchRequest, ModifyReplacesOneAttributeWithOneValue) {
  const std::string msg =
      bench_modify_replace(9, "uid=user0000001,ou=people,dc=example,dc=com", "description",
                           "changed by ldapbench");
  const envelope e = open_envelope(msg);
  EXPECT_EQ(e.op, ldap_modify_request);
  modify_request r{};
  ASSERT_NE(ldap_decode_modify_request(e.content, e.content + e.content_len, &r), 0u);
  EXPECT_EQ(str(r.object), "uid=user0000001,ou=people,dc=example,dc=com");
  EXPECT_EQ(r.first.operation, modify_replace);
  EXPECT_EQ(str(r.first.type), "description");
  ASSERT_NE(r.first.vals, nullptr);
  EXPECT_EQ(str(r.first.vals->str), "changed by ldapbench");
  EXPECT_EQ(r.first.vals->next, nullptr);
  EXPECT_EQ(r.first.next, nullptr);
  free_modify_request(&r);
}

TEST(LdapbenchRequest, UnbindIsAPrimitiveNullOfApplicationTwo) {
  const std::string msg = bench_unbind_request(7);
  const envelope e = open_envelope(msg);
  EXPECT_EQ(e.id, 7);
  EXPECT_EQ(e.op, ldap_unbind_request);
  EXPECT_EQ(e.content_len, 0u);
  ASSERT_GE(msg.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(msg[msg.size() - 2]), 0x42);  // primitive
}

// ---- Framing --------------------------------------------------------------------

TEST(LdapbenchStream, CutsWholeMessagesHoweverTheBytesArrive) {
  const std::string big = entry_message(2, "uid=x," + std::string(20000, 'o'), {"cn"});
  const std::string stream = result_message(1, ldap_bind_response, 0) + big +
                             result_message(2, ldap_search_result_done, 0);
  // Chunk sizes: byte by byte, odd sizes, all at once.
  for (const size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
    SCOPED_TRACE(chunk);
    message_stream s;
    std::vector<std::pair<int64_t, uint64_t>> got;
    std::vector<uint64_t> lengths;
    size_t sent = 0;
    while (sent < stream.size()) {
      uint64_t room = 0;
      char* at = message_stream_space(&s, chunk, &room);
      ASSERT_GE(room, chunk);
      const size_t n = std::min(chunk, stream.size() - sent);
      std::memcpy(at, stream.data() + sent, n);
      message_stream_received(&s, n);
      sent += n;
      bench_message m;
      int r;
      while ((r = message_stream_next(&s, &m)) == 1) {
        got.emplace_back(m.id, m.op);
        lengths.push_back(m.content_len);
      }
      ASSERT_EQ(r, 0);
    }
    const std::vector<std::pair<int64_t, uint64_t>> want = {
        {1, ldap_bind_response}, {2, ldap_search_result_entry}, {2, ldap_search_result_done}};
    EXPECT_EQ(got, want);
    ASSERT_EQ(lengths.size(), 3u);
    EXPECT_EQ(lengths[1], as_message(big).content_len);
  }
}

TEST(LdapbenchStream, RefusesBytesThatCannotBeAnLdapMessage) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"not a SEQUENCE", std::string("\x04\x03" "abc", 5)},
      {"longer than the limit", std::string("\x30\x84\x7f\xff\xff\xff", 6)},
      {"SEQUENCE without an envelope inside", std::string("\x30\x03\x04\x01x", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    message_stream s;
    uint64_t room = 0;
    char* at = message_stream_space(&s, c.bytes.size(), &room);
    std::memcpy(at, c.bytes.data(), c.bytes.size());
    message_stream_received(&s, c.bytes.size());
    bench_message m;
    EXPECT_EQ(message_stream_next(&s, &m), -1);
  }
}

// ---- Checks ----------------------------------------------------------------------

TEST(LdapbenchCheck, ResultCodeOfEveryResponseKind) {
  const struct {
    uint64_t op;
    uint64_t code;
  } cases[] = {{ldap_bind_response, 0},
               {ldap_bind_response, 48},
               {ldap_search_result_done, 0},
               {ldap_modify_response, 50},
               {ldap_modify_response, 32}};
  for (const auto& c : cases) {
    const std::string msg = result_message(4, c.op, c.code);
    EXPECT_EQ(bench_result_code(as_message(msg)), static_cast<int64_t>(c.code));
  }
  const std::string garbage = bench_unbind_request(3);  // no LDAPResult inside
  EXPECT_EQ(bench_result_code(as_message(garbage)), -1);
}

TEST(LdapbenchCheck, EntryDnIgnoresCaseAndAttributesCountOnce) {
  const std::vector<std::string> want = {"cn", "mail"};
  const struct {
    const char* name;
    std::string dn;
    std::vector<std::string> types;
    bool dn_matches;
    uint64_t found;
  } cases[] = {
      {"exact", "uid=user1,ou=people,dc=example,dc=com", {"cn", "mail"}, true, 2},
      {"other case", "UID=User1,OU=People,DC=example,DC=com", {"CN", "Mail"}, true, 2},
      {"one missing", "uid=user1,ou=people,dc=example,dc=com", {"cn", "sn"}, true, 1},
      {"twice", "uid=user1,ou=people,dc=example,dc=com", {"cn", "cn"}, true, 1},
      {"other entry", "uid=user12,ou=people,dc=example,dc=com", {"cn", "mail"}, false, 2},
      {"none", "uid=user1,ou=people,dc=example,dc=com", {}, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string msg = entry_message(2, c.dn, c.types);
    bool dn_matches = !c.dn_matches;
    uint64_t found = 99;
    ASSERT_TRUE(bench_check_entry(as_message(msg), "uid=user1,ou=people,dc=example,dc=com", want,
                                  &dn_matches, &found));
    EXPECT_EQ(dn_matches, c.dn_matches);
    EXPECT_EQ(found, c.found);
  }
}

// ---- Keys file --------------------------------------------------------------------

TEST(LdapbenchKeys, ParsesTheGeneratorsLinesAndRefusesOthers) {
  std::vector<bench_key> keys;
  std::string error;
  ASSERT_TRUE(parse_keys("0\tIda000000\t+1 555 867 1033\n1\tGreta000000\t+1 555 029 6386\n",
                         &keys, &error));
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1].cn_prefix, "Greta000000");
  EXPECT_EQ(keys[1].phone, "+1 555 029 6386");
  ASSERT_TRUE(parse_keys("0\tA B\tx", &keys, &error));  // no final newline
  EXPECT_EQ(keys.size(), 1u);

  const struct {
    const char* name;
    const char* text;
  } bad[] = {
      {"two fields", "0\tAnna\n"},
      {"four fields", "0\tAnna\t1\t2\n"},
      {"gap in the numbers", "0\tA\t1\n2\tB\t2\n"},
      {"not a number", "x\tA\t1\n"},
      {"empty prefix", "0\t\t1\n"},
      {"empty line", "0\tA\t1\n\n"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    error.clear();
    EXPECT_FALSE(parse_keys(c.text, &keys, &error));
    EXPECT_FALSE(error.empty());
  }
}

// ---- Statistics and names ------------------------------------------------------------

TEST(LdapbenchStats, NearestRankPercentiles) {
  std::vector<uint64_t> hundred;
  for (uint64_t i = 1; i <= 100; ++i) hundred.push_back(i * 10);
  const struct {
    std::vector<uint64_t> values;
    double p;
    uint64_t want;
  } cases[] = {
      {hundred, 50, 500}, {hundred, 99, 990}, {hundred, 100, 1000}, {hundred, 0.5, 10},
      {{7}, 50, 7},       {{7}, 99, 7},       {{1, 2, 3}, 50, 2},   {{}, 50, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(percentile(c.values, c.p), c.want) << c.p;
}

TEST(LdapbenchNames, UidWidthFollowsTheGenerator) {
  // gen_ldif.py pads to max(7, digits of the number of people).
  const struct {
    uint64_t i, people;
    const char* want;
  } cases[] = {{5, 10, "user0000005"},
               {99999, 100000, "user0099999"},
               {5, 9999999, "user0000005"},
               {5, 10000000, "user00000005"},
               {12345678, 20000000, "user12345678"}};
  for (const auto& c : cases) EXPECT_EQ(bench_uid(c.i, c.people), c.want);
}

}  // namespace
