// Simple paged results (RFC 2696) end to end: ldapsearch -E pr=N and
// python3-ldap3's paged_search get every entry exactly once, in pages of
// the size asked; a page size of 0 abandons the paging; a cookie from
// before a change to the directory ends it with 53.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codec/ber.h"
#include "codec/ldap_message.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

const char* const kLdapsearch = "/usr/bin/ldapsearch";
constexpr int kPeople = 2500;

// A directory of kPeople people under ou=people,o=paged; the administrator
// may change everything, everyone reads.
void import(server* s) {
  std::string ldif = "dn: o=paged\nobjectClass: organization\no: paged\n\n"
                     "dn: cn=admin,o=paged\nobjectClass: person\ncn: admin\nsn: a\nuserPassword: admin\n\n"
                     "dn: ou=people,o=paged\nobjectClass: organizationalUnit\nou: people\n\n";
  for (int i = 0; i < kPeople; ++i) {
    const std::string n = std::to_string(i);
    ldif += "dn: cn=p" + n + ",ou=people,o=paged\nobjectClass: person\ncn: p" + n + "\nsn: s" + n +
            "\n\n";
  }
  write_file(s->dir.file("p.ldif"), ldif);
  write_file(s->dir.file("p.acl"), "(dn=cn=admin,o=paged) * * +rwad\n* * * +r\n");
  const run_result r = run_program(program_path("ldifimport"),
                                   {"-a", s->dir.file("p.acl"), s->data_path(), s->dir.file("p.ldif")});
  ASSERT_EQ(r.status, 0) << r.err;
}

class Paged : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(import(&srv_));
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn"), {}, &why)) << why;
  }
  server srv_;
};

// The paged results control with the page size and cookie.
std::string page_control(uint64_t size, const std::string& cookie, bool critical = false) {
  const std::string value =
      wire::tlv(0x30, wire::integer(0x02, size) + wire::octets(cookie));
  return wire::tlv(0xa0, wire::tlv(0x30, wire::octets("1.2.840.113556.1.4.319") +
                                             (critical ? wire::tlv(0x01, "\xff") : "") +
                                             wire::octets(value)));
}

// One page: the entries' DNs, the SearchResultDone's code, and the cookie
// of its paged results control ("" for an empty one, "none" without one).
struct page {
  std::vector<std::string> dns;
  int64_t code = -1;
  std::string cookie = "none";
};

page ask_page(int fd, uint64_t id, const std::string& filter, const std::string& controls) {
  const std::string whole = wire::search_request(id, "ou=people,o=paged", 1, filter, {"cn"});
  int64_t got_id = 0;
  uint64_t op = 0, len = 0;
  const uint64_t header =
      ldap_decode_message(whole.data(), whole.data() + whole.size(), &got_id, &op, &len);
  page p;
  if (header == 0 || !send_bytes(fd, ldap_message(id, ldap_search_request, whole.substr(header, len),
                                                  false, controls)))
    return p;
  for (;;) {
    std::string msg;
    if (read_message(fd, &msg) != 1) return p;
    const char* end = msg.data() + msg.size();
    const uint64_t h = ldap_decode_message(msg.data(), end, &got_id, &op, &len);
    if (h == 0) return p;
    if (op == ldap_search_result_entry) {
      counted_str dn;
      if (ber_decode_string(msg.data() + h, end, &dn) != 0) p.dns.emplace_back(dn.bytes, dn.len);
      continue;
    }
    counted_str matched, text, referral;
    ldap_decode_result(msg.data() + h, end, &p.code, &matched, &text, &referral);
    ldap_control list[ldap_max_controls];
    const int64_t n = ldap_decode_controls(msg.data() + h + len, end, list);
    for (int64_t i = 0; i < n; ++i) {
      if (std::string(list[i].type.bytes, list[i].type.len) != "1.2.840.113556.1.4.319") continue;
      const char* v = list[i].value.bytes;
      const char* v_end = v + list[i].value.len;
      uint64_t seq = 0;
      const uint64_t s = ber_decode_sequence(v, v_end, &seq);
      int64_t size = 0;
      const uint64_t k = s == 0 ? 0 : ber_decode_integer(v + s, v_end, &size);
      counted_str cookie;
      if (k != 0 && ber_decode_string(v + s + k, v_end, &cookie) != 0)
        p.cookie.assign(cookie.bytes, cookie.len);
    }
    return p;
  }
}

}  // namespace

TEST_F(Paged, LdapsearchGetsEveryEntryOnceInPagesOfTheSizeAsked) {
  if (access(kLdapsearch, X_OK) != 0) GTEST_SKIP() << "needs ldap-utils";
  const run_result r = run_program(
      kLdapsearch, {"-x", "-H", "ldap://127.0.0.1:" + std::to_string(srv_.port), "-E",
                    "pr=300/noprompt", "-b", "ou=people,o=paged", "-s", "one", "(cn=*)", "cn"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> seen;
  size_t pages = 0;
  for (size_t at = 0; (at = r.out.find('\n', at)) != std::string::npos; ++at) {
    const size_t start = at + 1;
    if (r.out.compare(start, 4, "dn: ") == 0)
      ++seen[r.out.substr(start + 4, r.out.find('\n', start) - start - 4)];
    if (r.out.compare(start, 21, "pagedresults: cookie=") == 0) ++pages;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kPeople));
  for (const auto& [dn, count] : seen) EXPECT_EQ(count, 1) << dn;
  EXPECT_EQ(pages, static_cast<size_t>((kPeople + 299) / 300));
}

TEST_F(Paged, Python3Ldap3PagedSearchGetsEveryEntryOnce) {
  if (!have_python3_ldap3()) GTEST_SKIP() << "python3-ldap3 is not installed";
  const std::string script =
      "import sys, ldap3\n"
      "server = ldap3.Server('127.0.0.1', port=int(sys.argv[1]))\n"
      "c = ldap3.Connection(server, auto_bind=True)\n"
      "found = c.extend.standard.paged_search('ou=people,o=paged', '(objectClass=person)',\n"
      "    attributes=['cn'], paged_size=100, generator=True)\n"
      "dns = [e['dn'] for e in found if e.get('type') == 'searchResEntry']\n"
      "print(len(dns), len(set(dns)))\n";
  const run_result r = run_program(python3_path, {"-c", script, std::to_string(srv_.port)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::to_string(kPeople) + " " + std::to_string(kPeople) + "\n");
}

// Page by page on one connection: the pages follow each other without a
// gap or an overlap, the last one has an empty cookie, and size 0 with a
// cookie abandons the paging.
TEST_F(Paged, PagesResumeWhereTheLastStoppedAndSizeZeroAbandons) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  const std::string filter = wire::equal("sn", "s7");  // one entry: a single page
  page p = ask_page(fd, 1, filter, page_control(5, ""));
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(p.dns.size(), 1u);
  EXPECT_EQ(p.cookie, "");

  const std::string all = wire::present("cn");
  std::vector<std::string> dns;
  p = ask_page(fd, 2, all, page_control(1000, "", true));  // critical is fine
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(p.dns.size(), 1000u);
  dns.insert(dns.end(), p.dns.begin(), p.dns.end());
  ASSERT_NE(p.cookie, "");
  ASSERT_NE(p.cookie, "none");
  p = ask_page(fd, 3, all, page_control(1000, p.cookie));
  EXPECT_EQ(p.dns.size(), 1000u);
  dns.insert(dns.end(), p.dns.begin(), p.dns.end());
  const std::string before_last = p.cookie;
  p = ask_page(fd, 4, all, page_control(1000, p.cookie));
  EXPECT_EQ(p.dns.size(), static_cast<size_t>(kPeople - 2000));
  EXPECT_EQ(p.cookie, "");
  dns.insert(dns.end(), p.dns.begin(), p.dns.end());
  EXPECT_EQ(std::set<std::string>(dns.begin(), dns.end()).size(), static_cast<size_t>(kPeople));

  p = ask_page(fd, 5, all, page_control(0, before_last));
  EXPECT_EQ(p.code, 0);
  EXPECT_TRUE(p.dns.empty());
  EXPECT_EQ(p.cookie, "");
  close(fd);
}

// A cookie is good only for the same search over the same data: another
// filter, or any change to the directory meanwhile, ends the paging with
// unwillingToPerform; a control value that does not decode gets
// protocolError.
TEST_F(Paged, AStaleOrForeignCookieEndsThePaging) {
  const int fd = connect_to(srv_.port);
  ASSERT_GE(fd, 0);
  const std::string all = wire::present("cn");
  page p = ask_page(fd, 1, all, page_control(10, ""));
  ASSERT_EQ(p.dns.size(), 10u);
  const std::string cookie = p.cookie;
  EXPECT_EQ(ask_page(fd, 2, wire::present("sn"), page_control(10, cookie)).code, 53);
  EXPECT_EQ(ask_page(fd, 3, all, page_control(10, "not a cookie")).code, 53);
  EXPECT_EQ(ask_page(fd, 4, all, wire::tlv(0xa0, wire::tlv(0x30, wire::octets("1.2.840.113556.1.4.319") +
                                                                 wire::octets("junk"))))
                .code,
            2);
  // The same search still resumes...
  EXPECT_EQ(ask_page(fd, 5, all, page_control(10, cookie)).dns.size(), 10u);
  // ...until the directory changes.
  const int admin = connect_to(srv_.port);
  ASSERT_GE(admin, 0);
  ASSERT_TRUE(send_bytes(admin, bind_request(1, "cn=admin,o=paged", "admin")));
  ASSERT_EQ(wire::read_result(admin).code, 0);
  ASSERT_TRUE(send_bytes(admin, wire::modify_replace(2, "cn=p1,ou=people,o=paged", "sn", {"new"})));
  ASSERT_EQ(wire::read_result(admin).code, 0);
  close(admin);
  EXPECT_EQ(ask_page(fd, 6, all, page_control(10, cookie)).code, 53);
  close(fd);
}
