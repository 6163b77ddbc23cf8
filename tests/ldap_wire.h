// LDAP requests built by hand and answers taken apart, for end-to-end
// tests that talk to a server over a socket. The builders write BER
// directly (not through the codecs under test), so a codec fault cannot
// hide itself in both directions.
#ifndef FERROWYN_TESTS_LDAP_WIRE_H_
#define FERROWYN_TESTS_LDAP_WIRE_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace wire {

// One TLV with a definite length in the shortest form.
std::string tlv(unsigned char identifier, const std::string& contents);
std::string octets(const std::string& s);
std::string integer(unsigned char identifier, uint64_t value);

// Filters.
std::string equal(const std::string& type, const std::string& value);
std::string present(const std::string& type);
std::string prefix(const std::string& type, const std::string& initial);

// A SearchRequest message: scope 0 base, 1 one level, 2 subtree.
std::string search_request(uint64_t id, const std::string& base, unsigned scope,
                           const std::string& filter, const std::vector<std::string>& attributes = {});
// A ModifyRequest replacing one attribute's values.
std::string modify_replace(uint64_t id, const std::string& dn, const std::string& type,
                           const std::vector<std::string>& vals);
using attribute_list = std::vector<std::pair<std::string, std::vector<std::string>>>;
std::string add_request(uint64_t id, const std::string& dn, const attribute_list& attrs);
std::string del_request(uint64_t id, const std::string& dn);

// One LDAPResult answer: messageID, protocolOp tag number, resultCode;
// id -1 when nothing (or nothing decodable) arrived.
struct result {
  int64_t id = -1;
  uint64_t op = 0;
  int64_t code = -1;
};
result read_result(int fd);

// The entries of a search answer, DN -> sorted "type: value" lines, and
// the SearchResultDone's code (-1 when the answer was cut short).
struct search_answer {
  std::map<std::string, std::vector<std::string>> entries;
  int64_t code = -1;
};
search_answer read_search(int fd);

}  // namespace wire

#endif  // FERROWYN_TESTS_LDAP_WIRE_H_
