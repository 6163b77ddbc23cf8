// The simple bind, end to end over TCP against the tracing server: the
// stored password forms (and the hashed ones it cannot verify), name
// normalisation, data-file and journal entries, the answers for every
// failure (49 for wrong credentials, 53 for a name without a password, 7
// for SASL), the trace line, and the bound identity as the access control
// lists see it (per connection, across a reload of the data file). Then
// the same binds from real LDAP clients, and on the example directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "codec/ldap_message.h"
#include "tests/data_fixture.h"
#include "tests/harness.h"
#include "tests/ldap_wire.h"

using namespace harness;

namespace {

// ---- BER by hand, for requests the client libraries would never send ----

std::string length_octets(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  std::string digits;
  for (; n > 0; n >>= 8) digits.insert(digits.begin(), static_cast<char>(n & 0xff));
  return std::string(1, static_cast<char>(0x80 | digits.size())) + digits;
}
std::string tlv(unsigned char identifier, const std::string& contents) {
  return std::string(1, static_cast<char>(identifier)) + length_octets(contents.size()) + contents;
}
std::string ber_int(unsigned value) { return tlv(0x02, std::string(1, static_cast<char>(value))); }
std::string octets(const std::string& s) { return tlv(0x04, s); }

// A BindRequest with the given version and raw authentication element.
std::string bind_with(uint64_t id, unsigned version, const std::string& name,
                      const std::string& authentication) {
  return ldap_message(id, ldap_bind_request, ber_int(version) + octets(name) + authentication);
}

// A subtree search of everything under base, all attributes.
std::string search_all(uint64_t id, const std::string& base) {
  std::string contents = octets(base) + tlv(0x0a, "\x02") + tlv(0x0a, std::string(1, '\0')) +
                         ber_int(0) + ber_int(0) + tlv(0x01, std::string(1, '\0')) +
                         tlv(0x87, "objectClass") + tlv(0x30, "");
  return ldap_message(id, ldap_search_request, contents);
}

struct result {
  int64_t id = -1;
  uint64_t op = 0;
  int64_t code = -1;
  std::string message;
};

// Reads one answer; id stays -1 when none came or it does not decode.
result read_result(int fd) {
  result r;
  std::string msg;
  if (read_message(fd, &msg) != 1) return r;
  const char* start = msg.data();
  const char* end = start + msg.size();
  int64_t id;
  uint64_t op, len;
  uint64_t header = ldap_decode_message(start, end, &id, &op, &len);
  if (header == 0) return r;
  r.op = op;
  if (op != ldap_search_result_entry) {
    counted_str matched, text, referral;
    if (ldap_decode_result(start + header, end, &r.code, &matched, &text, &referral) == 0)
      return r;
    r.message.assign(text.bytes, text.len);
  }
  r.id = id;
  return r;
}

// ---- The directory the server answers from -----------------------------

// MD5 of "secret" in the stored form (as pwhash prints it), and crypt(3)
// results for the same password: MD5-crypt and traditional DES.
const char kMd5Secret[] = "{MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==";
const char kMd5CryptSecret[] = "$1$abcdefgh$cHJi5PXp/ki/ktXzqlk6I1";
const char kDesSecret[] = "abNANd1rDfiNc";

std::vector<fixture::entry> directory(const std::vector<fixture::entry>& before = {}) {
  std::vector<fixture::entry> entries = before;
  const std::vector<fixture::entry> base = {
      {"o=example", {{"objectClass", "organization"}, {"o", "example"}}},
      {"cn=Admin,o=example", {{"objectClass", "person"}, {"userPassword", kMd5Secret}}},
      {"cn=crypt,o=example", {{"objectClass", "person"}, {"userPassword", kMd5CryptSecret}}},
      {"cn=des,o=example", {{"objectClass", "person"}, {"userPassword", kDesSecret}}},
      {"cn=plain,o=example", {{"objectClass", "person"}, {"userPassword", "letmein"}}},
      {"cn=empty,o=example", {{"objectClass", "person"}, {"userPassword", ""}}},
      {"cn=nopw,o=example", {{"objectClass", "person"}, {"cn", "nopw"}}},
      {"cn=gone,o=example", {{"objectClass", "person"}, {"userPassword", "x"}}},
      {"cn=shadowed,o=example", {{"objectClass", "person"}, {"userPassword", "old"}}},
      {"cn=device,o=example", {{"objectClass", "device"}, {"userPassword", "dev"}}},
  };
  entries.insert(entries.end(), base.begin(), base.end());
  return entries;
}

// Journal records: new entries, one whose password attribute is spelled
// in other letter case, one without a password, a deletion, a replacement.
const char kJournal[] =
    "dn: cn=j,o=example\nobjectClass: person\nuserPassword: jpw\n\n"
    "dn: cn=k,o=example\nobjectClass: person\nUSERPASSWORD: kpw\n\n"
    "dn: cn=jnopw,o=example\nobjectClass: person\ncn: jnopw\n\n"
    "dn: cn=gone,o=example\n\n"
    "dn: cn=shadowed,o=example\nobjectClass: person\nuserPassword: new\n\n";

// A dn index, and dn compared ignoring case: what ldifimport writes.
fixture::options indexed_dn() {
  fixture::options o;
  o.nocase = {"dn"};
  o.hash = {{"dn", 0}};
  return o;
}

class Bind : public ::testing::Test {
 protected:
  void start(const std::vector<fixture::entry>& entries, const fixture::options& opts,
             const std::string& journal) {
    ASSERT_EQ(fixture::write_data_file(srv_.data_path(), entries, opts), "");
    if (!journal.empty()) write_file(srv_.dir.file("journal"), journal);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why)) << why;
  }

  int connect() {
    int fd = connect_to(srv_.port);
    EXPECT_GE(fd, 0);
    return fd;
  }

  // Sends a request and reads its one answer.
  result ask(int fd, const std::string& request) {
    EXPECT_TRUE(send_bytes(fd, request));
    return read_result(fd);
  }

  // The number of entries a search of everything under o=example returns.
  int visible_entries(int fd, uint64_t id) {
    EXPECT_TRUE(send_bytes(fd, search_all(id, "o=example")));
    for (int n = 0;; ++n) {
      result r = read_result(fd);
      if (r.id != static_cast<int64_t>(id)) {
        ADD_FAILURE() << "search " << id << " answered wrongly";
        return -1;
      }
      if (r.op == ldap_search_result_done) return n;
      if (r.op != ldap_search_result_entry) {
        ADD_FAILURE() << "unexpected op " << r.op;
        return -1;
      }
    }
  }

  server srv_;
};

// The BindResponse for each answer the server gives, with its text.
constexpr int64_t kSuccess = 0;
constexpr int64_t kNoSasl = 7;               // authMethodNotSupported
constexpr int64_t kWrongCredentials = 49;    // invalidCredentials
constexpr int64_t kUnauthenticated = 53;     // unwillingToPerform

std::string text_of(int64_t code) {
  switch (code) {
    case kSuccess: return "go ahead";
    case kNoSasl: return "SASL is not supported; use a simple bind";
    case kUnauthenticated: return "unauthenticated bind (name without password) refused";
    case 2: return "undecodable BindRequest";
    default: return "authentication failure";
  }
}

void expect_answer(const result& r, uint64_t id, int64_t code) {
  EXPECT_EQ(r.id, static_cast<int64_t>(id));
  EXPECT_EQ(r.op, ldap_bind_response);
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.message, text_of(code));
}
void expect_success(const result& r, uint64_t id) { expect_answer(r, id, kSuccess); }
void expect_failure(const result& r, uint64_t id) { expect_answer(r, id, kWrongCredentials); }

TEST_F(Bind, AnsweredByStoredFormNameAndPassword) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), kJournal));
  const struct {
    const char* why;
    std::string name;
    std::string password;
    int64_t code;
  } cases[] = {
      {"anonymous", "", "", kSuccess},
      {"a password without a name is no anonymous bind", "", "anything", kWrongCredentials},
      {"md5, right", "cn=Admin,o=example", "secret", kSuccess},
      {"md5, wrong", "cn=Admin,o=example", "Secret", kWrongCredentials},
      {"md5, the stored hash as password", "cn=Admin,o=example", kMd5Secret, kWrongCredentials},
      {"md5-crypt, right", "cn=crypt,o=example", "secret", kSuccess},
      {"md5-crypt, wrong", "cn=crypt,o=example", "secrets", kWrongCredentials},
      {"md5-crypt, the stored hash as password", "cn=crypt,o=example", kMd5CryptSecret,
       kWrongCredentials},
      {"des crypt, right", "cn=des,o=example", "secret", kSuccess},
      {"des crypt, wrong", "cn=des,o=example", "secre", kWrongCredentials},
      {"plain, right", "cn=plain,o=example", "letmein", kSuccess},
      {"plain, wrong", "cn=plain,o=example", "letmein!", kWrongCredentials},
      {"a name without a password is refused", "cn=plain,o=example", "", kUnauthenticated},
      {"also where the stored password is empty", "cn=empty,o=example", "", kUnauthenticated},
      {"also for a name that does not exist", "cn=nobody,o=example", "", kUnauthenticated},
      {"empty stored password, something given", "cn=empty,o=example", "x", kWrongCredentials},
      {"attribute types in capitals, spaces after commas", "CN=Admin, O=example", "secret",
       kSuccess},
      {"semicolon separator", "cn=plain; o=example", "letmein", kSuccess},
      {"values in other letter case", "cn=ADMIN,o=EXAMPLE", "secret", kSuccess},
      {"unknown DN", "cn=nobody,o=example", "secret", kWrongCredentials},
      {"journal entry, right", "cn=j,o=example", "jpw", kSuccess},
      {"journal entry in other letter case", "CN=J,O=Example", "jpw", kSuccess},
      {"journal entry, wrong", "cn=j,o=example", "jpw2", kWrongCredentials},
      {"journal entry, name spelled by the data file's table", "cn=k,o=example", "kpw", kSuccess},
      {"journal entry without password", "cn=jnopw,o=example", "x", kWrongCredentials},
      {"deleted in the journal", "cn=gone,o=example", "x", kWrongCredentials},
      {"replaced in the journal: new password", "cn=shadowed,o=example", "new", kSuccess},
      {"replaced in the journal: old password", "cn=shadowed,o=example", "old", kWrongCredentials},
  };
  // One connection for all: no failure ends it.
  int fd = connect();
  uint64_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    expect_answer(ask(fd, bind_request(id, c.name, c.password)), id, c.code);
    ++id;
  }
  close(fd);
}

// Hashed forms of "secret" the server cannot verify yet: OpenLDAP's salted
// SHA ones (python3 hashlib, salt "saltsalt"), crypt(3) results (openssl
// passwd -6, mkpasswd -m yescrypt and -m bcrypt), the same behind {CRYPT},
// and passlib's PBKDF2. Neither the password nor the stored text binds.
TEST_F(Bind, StoredHashesItCannotVerifyBindWithNothing) {
  const struct {
    const char* cn;
    const char* stored;
  } hashes[] = {
      {"ssha", "{SSHA}1G904nLkTkGWjKNnQuB/hpWXC/hzYWx0c2FsdA=="},
      {"ssha512",
       "{SSHA512}aCu7JRc+kLsuEmFs1zTY+AiP7DSGnjjG+dH28Dp+E5usqoAixeTPihKqZmkWal4mUfp63tqvCAkFV1LKTDFH6XNhbHRzYWx0"},
      {"sha512crypt",
       "$6$saltsaltsalt$PMWE8DTlam1JU37Piyk43bHcMxTJq6sgu5DKB0/tGPjanN35jcY68QkpDfPFUGPWX5uCxIQkSPzMmqEiVNgts."},
      {"cryptsha512",
       "{CRYPT}$6$saltsaltsalt$PMWE8DTlam1JU37Piyk43bHcMxTJq6sgu5DKB0/tGPjanN35jcY68QkpDfPFUGPWX5uCxIQkSPzMmqEiVNgts."},
      {"yescrypt", "$y$j9T$2ZvywptSbOJz8faW.F6GR1$qnTOb8OtQCM7dmhk1zq.E4x.CR/bkiF6gtrXY3PJOJA"},
      {"bcrypt", "$2b$05$Z39NH./krEsUuPFJboNfzOlvw7omAdHtGbWM0j3eLd0z9oCNOTFVG"},
      {"pbkdf2", "{PBKDF2-SHA256}10000$c2FsdHNhbHQ$Ud43QyQpfkrBrm7iUov0KEpocQ1H1A65JKeSZBcZ.HQ"},
  };
  std::vector<fixture::entry> entries = {{"o=example", {{"objectClass", "organization"}}}};
  std::string journal;
  for (const auto& h : hashes) {
    entries.push_back({std::string("cn=") + h.cn + ",o=example",
                       {{"objectClass", "person"}, {"userPassword", h.stored}}});
    // The same value in a journal entry, which is read another way.
    journal += std::string("dn: cn=j") + h.cn + ",o=example\nobjectClass: person\nuserPassword: " +
               h.stored + "\n\n";
  }
  ASSERT_NO_FATAL_FAILURE(start(entries, indexed_dn(), journal));
  int fd = connect();
  uint64_t id = 1;
  for (const auto& h : hashes) {
    for (const std::string prefix : {"cn=", "cn=j"}) {
      const std::string dn = prefix + h.cn + ",o=example";
      SCOPED_TRACE(dn);
      expect_failure(ask(fd, bind_request(id, dn, h.stored)), id);
      ++id;
      expect_failure(ask(fd, bind_request(id, dn, "secret")), id);
      ++id;
    }
  }
  close(fd);
}

TEST_F(Bind, VersionIsNotCheckedAndAnyPrimitiveContextTagCarriesThePassword) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  int fd = connect();
  expect_success(ask(fd, bind_with(1, 2, "cn=plain,o=example", tlv(0x80, "letmein"))), 1);
  expect_success(ask(fd, bind_with(2, 3, "cn=plain,o=example", tlv(0x81, "letmein"))), 2);
  expect_success(ask(fd, bind_with(3, 3, "cn=plain,o=example", tlv(0x82, "letmein"))), 3);
  expect_failure(ask(fd, bind_with(4, 3, "cn=plain,o=example", tlv(0x82, "letmeout"))), 4);
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr(
      "bind request: version 2 for name \"cn=plain,o=example\" with method 0.\n", 5000));
  EXPECT_TRUE(srv_.wait_stderr(
      "bind request: version 3 for name \"cn=plain,o=example\" with method 2.\n", 5000));
}

TEST_F(Bind, TraceLineShowsTheNameAsReceived) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  int fd = connect();
  expect_success(ask(fd, bind_request(5, "CN=Admin, O=example", "secret")), 5);
  expect_success(ask(fd, bind_request(6, "", "")), 6);
  ASSERT_TRUE(send_bytes(fd, unbind_request(7)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);
  ASSERT_TRUE(srv_.wait_stderr("with id 7: op 2.\n", 5000));
  EXPECT_EQ(srv_.stderr_text(),
            "got message of length 32 with id 5: op 0.\n"
            "bind request: version 3 for name \"CN=Admin, O=example\" with method 0.\n"
            "got message of length 7 with id 6: op 0.\n"
            "bind request: version 3 for name \"\" with method 0.\n"
            "got message of length 0 with id 7: op 2.\n");
}

TEST_F(Bind, RecordWithoutPasswordIsReportedJournalEntryIsNot) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), kJournal));
  const std::string line = "no userPassword attribute found, bind failed!\n";
  int fd = connect();
  expect_failure(ask(fd, bind_request(1, "cn=nopw,o=example", "x")), 1);
  expect_failure(ask(fd, bind_request(2, "cn=jnopw,o=example", "x")), 2);
  expect_failure(ask(fd, bind_request(3, "o=example", "x")), 3);
  close(fd);
  const std::string err = srv_.stderr_text();
  size_t first = err.find(line);
  ASSERT_NE(first, std::string::npos) << err;
  // Once for cn=nopw, once for o=example, never for the journal entry.
  size_t second = err.find(line, first + 1);
  ASSERT_NE(second, std::string::npos) << err;
  EXPECT_EQ(err.find(line, second + 1), std::string::npos) << err;
  EXPECT_LT(err.find("id 1: op 0"), first);
  EXPECT_LT(first, err.find("id 2: op 0"));
  EXPECT_LT(err.find("id 3: op 0"), second);
}

TEST_F(Bind, DataFileWithoutAnyPasswordAttribute) {
  ASSERT_NO_FATAL_FAILURE(start({{"o=example", {{"objectClass", "organization"}}},
                                 {"cn=a,o=example", {{"objectClass", "person"}}}},
                                indexed_dn(), "dn: cn=j,o=example\nobjectClass: person\nuserPassword: jpw\n\n"));
  int fd = connect();
  expect_failure(ask(fd, bind_request(1, "cn=a,o=example", "x")), 1);
  // A journal entry keeps its own spelling when the table lacks the name.
  expect_success(ask(fd, bind_request(2, "cn=j,o=example", "jpw")), 2);
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("no userPassword attribute found, bind failed!\n", 5000));
}

TEST_F(Bind, WithoutDnIndexOnlyJournalEntriesCanBind) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), {}, kJournal));
  int fd = connect();
  expect_failure(ask(fd, bind_request(1, "cn=plain,o=example", "letmein")), 1);
  expect_success(ask(fd, bind_request(2, "cn=j,o=example", "jpw")), 2);
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr("no index for dn, lookup failed!\n", 5000));
}

TEST_F(Bind, CredentialsLongerThanTheMessageFail) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  int fd = connect();
  // The element claims 16 bytes; 7 follow. Whatever lies beyond is not
  // the password, so nothing is compared.
  expect_failure(ask(fd, bind_with(1, 3, "cn=plain,o=example", std::string("\x80\x10", 2) + "letmein")),
                 1);
  // Nor do credentials whose length octets are cut off.
  expect_failure(ask(fd, bind_with(2, 3, "cn=plain,o=example", std::string("\x80\x82\x01", 3))), 2);
  // Without a name such credentials are no anonymous bind either.
  expect_failure(ask(fd, bind_with(3, 3, "", std::string("\x80\x10", 2) + "letmein")), 3);
  // The connection goes on.
  expect_success(ask(fd, bind_request(4, "cn=plain,o=example", "letmein")), 4);
  close(fd);
}

TEST_F(Bind, UndecodableRequestsGetProtocolErrorAndTheConnectionGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  const struct {
    const char* why;
    std::string contents;
  } cases[] = {
      {"constructed [0]", ber_int(3) + octets("cn=plain,o=example") + tlv(0xa0, octets("letmein"))},
      {"universal OCTET STRING credentials", ber_int(3) + octets("cn=plain,o=example") + octets("letmein")},
      {"application class credentials", ber_int(3) + octets("cn=plain,o=example") + tlv(0x40, "letmein")},
      {"no credentials", ber_int(3) + octets("cn=plain,o=example")},
      {"no name", ber_int(3)},
      {"empty", ""},
      {"name is not an OCTET STRING", ber_int(3) + tlv(0x80, "cn=plain,o=example") + tlv(0x80, "x")},
      {"version is not an INTEGER", octets("3") + octets("") + tlv(0x80, "")},
  };
  int fd = connect();
  uint64_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    expect_answer(ask(fd, ldap_message(id, ldap_bind_request, c.contents)), id, 2);
    expect_success(ask(fd, bind_request(id + 1, "", "")), id + 1);
    id += 2;
  }
  close(fd);
  EXPECT_EQ(srv_.stderr_text().find("bind request: version 3 for name \"cn=plain"), std::string::npos)
      << srv_.stderr_text();
}

TEST_F(Bind, SaslIsRefusedAtOnceAndTheConnectionGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  const struct {
    const char* why;
    std::string name;
    std::string credentials;  // the contents of [3]
  } cases[] = {
      {"a mechanism alone", "cn=plain,o=example", octets("PLAIN")},
      {"a mechanism and credentials", "cn=plain,o=example",
       octets("PLAIN") + octets(std::string("\0cn=plain,o=example\0letmein", 27))},
      {"no name, as EXTERNAL is sent", "", octets("EXTERNAL")},
      {"empty SaslCredentials", "", ""},
      {"a mechanism whose length runs past the element", "", std::string("\x04\x7f", 2) + "PLAIN"},
  };
  int fd = connect();
  uint64_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    expect_answer(ask(fd, bind_with(id, 3, c.name, tlv(0xa3, c.credentials))), id, kNoSasl);
    expect_success(ask(fd, bind_request(id + 1, "cn=plain,o=example", "letmein")), id + 1);
    id += 2;
  }
  close(fd);
  EXPECT_TRUE(srv_.wait_stderr(
      "bind request: version 3 for name \"cn=plain,o=example\" with method 3.\n", 5000));
  EXPECT_TRUE(srv_.wait_stderr("bind request: version 3 for name \"\" with method 3.\n", 5000));
}

// ---- The bound identity as the ACLs see it ------------------------------

// The ACL block's contents for a data file whose block starts at file
// offset b: one entry, "(objectClass=person) may read every attribute of
// every entry". Filter 0 is the subject, filter 1 the any marker; the
// marker's "*" string doubles as the attribute name "*".
std::string persons_read_all(uint32_t b) {
  auto word = [](uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
  };
  std::string person = tlv(0xa3, octets("objectClass") + octets("person"));
  while (person.size() % 4 != 0) person += '\0';
  const uint32_t any = b + 24;
  const uint32_t subject = b + 28;
  const uint32_t list = subject + static_cast<uint32_t>(person.size());
  const uint32_t entry = list + 8;
  std::string block = word(2) + word(subject) + word(any) + word(list);  // F, filters, X
  block += std::string("*\0\0\0", 4) + person;
  block += word(1) + word(entry);                                   // A, the entry
  block += word(0) + word(1) + std::string("\x01\x00\x00\x00", 4);  // subject, target, grant r
  block += word(any) + word(0);                                     // names: "*"
  return block;
}

// Writes the entries with the ACL at path. The block is the last one of
// the file, so its offset is fixed by a first write with a block of the
// same size.
void write_with_acl(const std::string& path, const std::vector<fixture::entry>& entries) {
  fixture::options opts = indexed_dn();
  opts.acl = persons_read_all(0);
  ASSERT_EQ(fixture::write_data_file(path, entries, opts), "");
  const uint32_t b = static_cast<uint32_t>(read_file(path).size() - 8 - opts.acl.size());
  opts.acl = persons_read_all(b);
  ASSERT_EQ(fixture::write_data_file(path, entries, opts), "");
  ASSERT_EQ(read_file(path).substr(b, 4), std::string("\x02\0\0\0", 4));
}

class BindIdentity : public Bind {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(write_with_acl(srv_.data_path(), directory()));
    write_file(srv_.dir.file("journal"), kJournal);
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn_trace"), {}, &why)) << why;
  }
};

// o=example, seven person records (cn=gone is deleted), the device, and
// three journal entries that are new.
constexpr int kAllEntries = 1 + 7 + 1 + 3;

// Binds that must leave whoever is bound (or nobody) bound, each with its
// answer: every kind of failure.
struct refused_bind {
  const char* why;
  std::string request;  // messageID 100
  int64_t code;
};
std::vector<refused_bind> refused_binds() {
  return {
      {"wrong password", bind_request(100, "cn=crypt,o=example", "wrong"), kWrongCredentials},
      {"unknown name", bind_request(100, "cn=nobody,o=example", "letmein"), kWrongCredentials},
      {"a password without a name", bind_request(100, "", "letmein"), kWrongCredentials},
      // The stored password is empty: an empty one must still not bind.
      {"a name without a password", bind_request(100, "cn=empty,o=example", ""), kUnauthenticated},
      {"SASL", bind_with(100, 3, "cn=plain,o=example", tlv(0xa3, octets("PLAIN"))), kNoSasl},
  };
}

// Every bind starts from anonymous: only a successful named bind gives the
// connection an identity, and a failed or an anonymous bind leaves it
// anonymous (RFC 4511 4.2.1), whoever was bound before.
TEST_F(BindIdentity, OnlyASuccessfulNamedBindGivesRightsAndEveryOtherTakesThemAway) {
  int fd = connect();
  EXPECT_EQ(visible_entries(fd, 1), 0);  // anonymous: no ACL entry applies
  for (const refused_bind& b : refused_binds()) {
    SCOPED_TRACE(b.why);
    expect_answer(ask(fd, b.request), 100, b.code);
    EXPECT_EQ(visible_entries(fd, 3), 0);
  }
  for (const refused_bind& b : refused_binds()) {
    SCOPED_TRACE(b.why);
    expect_success(ask(fd, bind_request(4, "cn=plain,o=example", "letmein")), 4);
    EXPECT_EQ(visible_entries(fd, 5), kAllEntries);
    expect_answer(ask(fd, b.request), 100, b.code);
    EXPECT_EQ(visible_entries(fd, 7), 0);
  }
  expect_success(ask(fd, bind_request(4, "cn=plain,o=example", "letmein")), 4);
  expect_success(ask(fd, bind_request(8, "", "")), 8);
  EXPECT_EQ(visible_entries(fd, 9), 0);
  // A bind as an entry the subject filter does not match takes them away.
  expect_success(ask(fd, bind_request(10, "cn=device,o=example", "dev")), 10);
  EXPECT_EQ(visible_entries(fd, 11), 0);
  // And keeps them away through every failure.
  for (const refused_bind& b : refused_binds()) {
    SCOPED_TRACE(b.why);
    expect_answer(ask(fd, b.request), 100, b.code);
    EXPECT_EQ(visible_entries(fd, 12), 0);
  }
  close(fd);
}

TEST_F(BindIdentity, EveryConnectionStartsUnbound) {
  int fd = connect();
  expect_success(ask(fd, bind_request(1, "cn=plain,o=example", "letmein")), 1);
  EXPECT_EQ(visible_entries(fd, 2), kAllEntries);
  ASSERT_TRUE(send_bytes(fd, unbind_request(3)));
  EXPECT_TRUE(wait_closed(fd, 5000));
  close(fd);

  fd = connect();
  EXPECT_EQ(visible_entries(fd, 1), 0);
  close(fd);
}

TEST_F(BindIdentity, JournalEntryIdentityIsMatchedByItsAttributes) {
  int fd = connect();
  expect_success(ask(fd, bind_request(1, "cn=j,o=example", "jpw")), 1);
  EXPECT_EQ(visible_entries(fd, 2), kAllEntries);
  close(fd);
}

TEST_F(BindIdentity, ReloadResolvesTheIdentityAgainByItsDn) {
  int fd = connect();
  expect_success(ask(fd, bind_request(1, "cn=plain,o=example", "letmein")), 1);
  EXPECT_EQ(visible_entries(fd, 2), kAllEntries);

  // New entries in front move every record to another offset.
  std::vector<fixture::entry> more = directory(
      {{"cn=new1,o=example", {{"objectClass", "person"}, {"description", std::string(300, 'x')}}},
       {"cn=new2,o=example", {{"objectClass", "device"}}}});
  ASSERT_NO_FATAL_FAILURE(write_with_acl(srv_.data_path(), more));
  EXPECT_EQ(visible_entries(fd, 3), kAllEntries + 2);
  EXPECT_TRUE(srv_.wait_stderr("Data file changed, reloading.\n", 5000));

  // Without the bound entry the client is anonymous again.
  std::vector<fixture::entry> without;
  for (const fixture::entry& e : directory())
    if (e.dn != "cn=plain,o=example") without.push_back(e);
  ASSERT_NO_FATAL_FAILURE(write_with_acl(srv_.data_path(), without));
  EXPECT_EQ(visible_entries(fd, 4), 0);
  // Even when the entry comes back: the identity was dropped.
  ASSERT_NO_FATAL_FAILURE(write_with_acl(srv_.data_path(), directory()));
  EXPECT_EQ(visible_entries(fd, 5), 0);
  close(fd);
}

TEST_F(BindIdentity, ReloadKeepsAJournalIdentity) {
  int fd = connect();
  expect_success(ask(fd, bind_request(1, "cn=j,o=example", "jpw")), 1);
  ASSERT_NO_FATAL_FAILURE(write_with_acl(srv_.data_path(), directory()));
  EXPECT_EQ(visible_entries(fd, 2), kAllEntries);
  EXPECT_TRUE(srv_.wait_stderr("Data file changed, reloading.\n", 5000));
  close(fd);
}

// ---- Other clients ------------------------------------------------------

bool executable(const char* path) { return access(path, X_OK) == 0; }

TEST_F(Bind, LdapsearchBindsWithDnAndPassword) {
  const char* ldapsearch = "/usr/bin/ldapsearch";
  if (!executable(ldapsearch)) GTEST_SKIP() << "ldap-utils are not installed";
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  const std::string url = "ldap://127.0.0.1:" + std::to_string(srv_.port);
  auto run = [&](const std::string& dn, const std::string& password) {
    return run_program("/usr/bin/timeout",
                       {"20", ldapsearch, "-x", "-LLL", "-H", url, "-D", dn, "-w", password, "-b",
                        "cn=plain,o=example", "-s", "base", "(objectClass=*)", "1.1"},
                       "", {"LDAPNOINIT=1"});
  };
  run_result ok = run("CN=plain, O=example", "letmein");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, "dn: cn=plain,o=example\n\n");

  // ldapsearch exits with the bind's result code and prints its name.
  const struct {
    const char* why;
    std::string dn;
    std::string password;
    int status;
    const char* says;
  } refused[] = {
      {"wrong password", "cn=plain,o=example", "letmeout", 49, "Invalid credentials (49)"},
      {"unknown DN", "cn=nobody,o=example", "letmein", 49, "Invalid credentials (49)"},
      {"no password", "cn=plain,o=example", "", 53, "Server is unwilling to perform (53)"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.why);
    run_result r = run(c.dn, c.password);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(text_of(c.status)), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Bind, LdapwhoamiSaslIsAnsweredAtOnce) {
  const char* ldapwhoami = "/usr/bin/ldapwhoami";
  if (!executable(ldapwhoami)) GTEST_SKIP() << "ldap-utils are not installed";
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), ""));
  const std::string url = "ldap://127.0.0.1:" + std::to_string(srv_.port);
  // CRAM-MD5 starts with a bind that names only the mechanism and waits
  // for the server's challenge.
  run_result r = run_program("/usr/bin/timeout",
                             {"20", ldapwhoami, "-H", url, "-Y", "CRAM-MD5", "-U", "plain", "-w",
                              "letmein"},
                             "", {"LDAPNOINIT=1"});
  if (r.err.find("no mechanism available") != std::string::npos)
    GTEST_SKIP() << "the SASL library has no CRAM-MD5 (libsasl2-modules): " << r.err;
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_NE(r.err.find("Authentication method not supported (7)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(text_of(kNoSasl)), std::string::npos) << r.err;
}

TEST_F(Bind, PythonLdap3Binds) {
  const char* python = "/usr/bin/python3";
  if (!executable(python) ||
      run_program(python, {"-c", "import ldap3"}).status != 0)
    GTEST_SKIP() << "python3-ldap3 is not installed";
  ASSERT_NO_FATAL_FAILURE(start(directory(), indexed_dn(), kJournal));
  // Simple binds for each (user, password) pair, then SASL binds.
  const std::string script =
      "import sys, ldap3\n"
      "server = ldap3.Server('127.0.0.1', port=int(sys.argv[1]), get_info=ldap3.NONE)\n"
      "def show(c):\n"
      "    ok = c.bind()\n"
      "    print(ok, c.result['result'], c.result['message'])\n"
      "    c.unbind()\n"
      "for user, password in zip(sys.argv[2::2], sys.argv[3::2]):\n"
      "    show(ldap3.Connection(server, user=user, password=password))\n"
      "show(ldap3.Connection(server, authentication=ldap3.SASL, sasl_mechanism=ldap3.EXTERNAL,\n"
      "                      receive_timeout=10))\n"
      "show(ldap3.Connection(server, authentication=ldap3.SASL, sasl_mechanism=ldap3.PLAIN,\n"
      "                      sasl_credentials=(None, 'cn=plain,o=example', 'letmein'),\n"
      "                      receive_timeout=10))\n";
  run_result r = run_program("/usr/bin/timeout",
                             {"60", python, "-c", script, std::to_string(srv_.port),
                              "cn=Admin,o=example", "secret",       //
                              "cn=Admin,o=example", "wrong",        //
                              "cn=crypt,o=example", "secret",       //
                              "cn=j,o=example", "jpw",              //
                              "cn=nobody,o=example", "secret"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "True 0 go ahead\n"
            "False 49 authentication failure\n"
            "True 0 go ahead\n"
            "True 0 go ahead\n"
            "False 49 authentication failure\n"
            "False 7 SASL is not supported; use a simple bind\n"
            "False 7 SASL is not supported; use a simple bind\n");
}

// ---- The example directory ----------------------------------------------

std::string source_root() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/"));
}

// examples/example.ldif with examples/example.acl, imported by ldifimport
// and served by the production server, as `make example` and `make run`
// do. Its ACLs let each bound entry (and the administrator) read its own
// userPassword and nobody else's, which tells whom a bind made the client.
class ExampleBind : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = source_root();
    run_result r = run_program(program_path("ldifimport"),
                               {"-a", root + "/examples/example.acl", srv_.data_path(),
                                root + "/examples/example.ldif"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string why;
    ASSERT_TRUE(start_server_on_data(&srv_, program_path("ferrowyn"), {}, &why)) << why;
  }
  server srv_;
};

constexpr char kAlice[] = "uid=alice,ou=people,dc=example,dc=com";

TEST_F(ExampleBind, ANameInAnyLetterCaseBindsAsItsEntry) {
  const struct {
    std::string name;
    std::string password;
    int64_t code;
    bool sees_alices_password;
  } cases[] = {
      {kAlice, "wonderland", kSuccess, true},
      {"UID=Alice,OU=People,DC=Example,DC=Com", "wonderland", kSuccess, true},
      {"uid=ALICE, ou=PEOPLE, dc=EXAMPLE, dc=COM", "wonderland", kSuccess, true},
      {"UID=Alice,OU=People,DC=Example,DC=Com", "Wonderland", kWrongCredentials, false},
      {"UID=Alice,OU=People,DC=Example,DC=Com", "", kUnauthenticated, false},
      {"CN=Admin,DC=Example,DC=Com", "admin", kSuccess, true},
      {"uid=Bob,ou=People,dc=Example,dc=Com", "builder", kSuccess, false},
      // MD5-crypt, the other stored form of the example.
      {"UID=HEIDI,OU=PEOPLE,DC=EXAMPLE,DC=COM", "alps", kSuccess, false},
      {"uid=zed,ou=people,dc=example,dc=com", "wonderland", kWrongCredentials, false},
  };
  uint64_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.password);
    // A connection each: the production server starts every one anonymous.
    int fd = connect_to(srv_.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_bytes(fd, bind_request(id, c.name, c.password)));
    expect_answer(read_result(fd), id, c.code);
    ++id;
    ASSERT_TRUE(send_bytes(fd, wire::search_request(id, kAlice, 0, wire::present("objectClass"),
                                                    {"userPassword"})));
    const wire::search_answer a = wire::read_search(fd);
    ++id;
    EXPECT_EQ(a.code, 0);
    const auto it = a.entries.find(kAlice);
    ASSERT_NE(it, a.entries.end());
    const bool sees = !it->second.empty() && it->second[0].rfind("userPassword:", 0) == 0;
    EXPECT_EQ(sees, c.sees_alices_password);
    close(fd);
  }
}

}  // namespace
