#include "tests/ldap_wire.h"

#include <algorithm>

#include "tests/harness.h"

namespace wire {

namespace {

std::string length_octets(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  std::string digits;
  for (; n > 0; n >>= 8) digits.insert(digits.begin(), static_cast<char>(n & 0xff));
  return std::string(1, static_cast<char>(0x80 | digits.size())) + digits;
}

// Reads the TLV at s[*pos]; false when it does not fit.
bool next_tlv(const std::string& s, size_t* pos, unsigned char* tag, std::string* contents) {
  if (*pos + 2 > s.size()) return false;
  *tag = static_cast<unsigned char>(s[*pos]);
  size_t len = static_cast<unsigned char>(s[*pos + 1]);
  size_t at = *pos + 2;
  if (len & 0x80) {
    const size_t n = len & 0x7f;
    if (n > sizeof(size_t)) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) {
      if (at >= s.size()) return false;
      len = len << 8 | static_cast<unsigned char>(s[at++]);
    }
  }
  if (len > s.size() - at) return false;
  *contents = s.substr(at, len);
  *pos = at + len;
  return true;
}

uint64_t unsigned_value(const std::string& bytes) {
  uint64_t v = 0;
  for (unsigned char c : bytes) v = v << 8 | c;
  return v;
}

// Splits a message into messageID, protocolOp tag number and contents.
bool envelope(const std::string& msg, int64_t* id, uint64_t* op, std::string* contents) {
  size_t pos = 0;
  unsigned char tag;
  std::string seq, mid;
  if (!next_tlv(msg, &pos, &tag, &seq) || tag != 0x30) return false;
  pos = 0;
  if (!next_tlv(seq, &pos, &tag, &mid) || tag != 0x02) return false;
  if (!next_tlv(seq, &pos, &tag, contents) || (tag & 0xc0) != 0x40) return false;
  *id = static_cast<int64_t>(unsigned_value(mid));
  *op = tag & 0x1f;
  return true;
}

int64_t result_code(const std::string& contents) {
  size_t pos = 0;
  unsigned char tag;
  std::string code;
  if (!next_tlv(contents, &pos, &tag, &code) || tag != 0x0a) return -1;
  return static_cast<int64_t>(unsigned_value(code));
}

}  // namespace

std::string tlv(unsigned char identifier, const std::string& contents) {
  return std::string(1, static_cast<char>(identifier)) + length_octets(contents.size()) + contents;
}

std::string octets(const std::string& s) { return tlv(0x04, s); }

std::string integer(unsigned char identifier, uint64_t value) {
  std::string bytes;
  do {
    bytes.insert(bytes.begin(), static_cast<char>(value & 0xff));
    value >>= 8;
  } while (value > 0);
  if (static_cast<unsigned char>(bytes[0]) & 0x80) bytes.insert(bytes.begin(), '\0');
  return tlv(identifier, bytes);
}

std::string equal(const std::string& type, const std::string& value) {
  return tlv(0xa3, octets(type) + octets(value));
}

std::string present(const std::string& type) { return tlv(0x87, type); }

std::string prefix(const std::string& type, const std::string& initial) {
  return tlv(0xa4, octets(type) + tlv(0x30, tlv(0x80, initial)));
}

std::string search_request(uint64_t id, const std::string& base, unsigned scope,
                           const std::string& filter, const std::vector<std::string>& attributes) {
  std::string list;
  for (const std::string& a : attributes) list += octets(a);
  std::string contents = octets(base) + integer(0x0a, scope) + integer(0x0a, 0) +
                         integer(0x02, 0) + integer(0x02, 0) + tlv(0x01, std::string(1, '\0')) +
                         filter + tlv(0x30, list);
  return harness::ldap_message(id, 3, contents);
}

std::string modify_replace(uint64_t id, const std::string& dn, const std::string& type,
                           const std::vector<std::string>& vals) {
  std::string set;
  for (const std::string& v : vals) set += octets(v);
  std::string change = tlv(0x30, integer(0x0a, 2) + tlv(0x30, octets(type) + tlv(0x31, set)));
  return harness::ldap_message(id, 6, octets(dn) + tlv(0x30, change));
}

std::string add_request(uint64_t id, const std::string& dn, const attribute_list& attrs) {
  std::string list;
  for (const auto& [type, vals] : attrs) {
    std::string set;
    for (const std::string& v : vals) set += octets(v);
    list += tlv(0x30, octets(type) + tlv(0x31, set));
  }
  return harness::ldap_message(id, 8, octets(dn) + tlv(0x30, list));
}

std::string del_request(uint64_t id, const std::string& dn) {
  return harness::ldap_message(id, 10, dn, /*primitive=*/true);
}

result read_result(int fd) {
  result r;
  std::string msg, contents;
  if (harness::read_message(fd, &msg) != 1) return r;
  if (!envelope(msg, &r.id, &r.op, &contents)) {
    r.id = -1;
    return r;
  }
  r.code = result_code(contents);
  return r;
}

search_answer read_search(int fd) {
  search_answer answer;
  for (;;) {
    std::string msg, contents;
    int64_t id;
    uint64_t op;
    if (harness::read_message(fd, &msg) != 1 || !envelope(msg, &id, &op, &contents)) return answer;
    if (op == 5) {
      answer.code = result_code(contents);
      return answer;
    }
    if (op != 4) return answer;
    size_t pos = 0;
    unsigned char tag;
    std::string dn, list, attribute;
    if (!next_tlv(contents, &pos, &tag, &dn) || !next_tlv(contents, &pos, &tag, &list)) return answer;
    std::vector<std::string>& lines = answer.entries[dn];
    for (size_t a = 0; next_tlv(list, &a, &tag, &attribute);) {
      size_t p = 0;
      std::string type, set, value;
      if (!next_tlv(attribute, &p, &tag, &type) || !next_tlv(attribute, &p, &tag, &set)) break;
      for (size_t v = 0; next_tlv(set, &v, &tag, &value);) lines.push_back(type + ": " + value);
    }
    std::sort(lines.begin(), lines.end());
  }
}

}  // namespace wire
