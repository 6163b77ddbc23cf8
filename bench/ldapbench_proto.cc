// Requests, stream framing, answer checks, keys file and percentiles of the
// ldapbench load generator.
#include "bench/ldapbench_proto.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/ber.h"
#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "codec/search.h"
#include "core/bytes.h"

namespace {

counted_str view(std::string_view s) { return counted_str{s.size(), s.data()}; }

// The LDAPMessage around protocolOp contents.
std::string frame(int64_t id, uint64_t op, const std::string& content) {
  const uint64_t header =
      ldap_encode_message_header(nullptr, static_cast<uint64_t>(id), op, content.size());
  std::string out(header + content.size(), '\0');
  ldap_encode_message_header(out.data(), static_cast<uint64_t>(id), op, content.size());
  std::memcpy(out.data() + header, content.data(), content.size());
  return out;
}

// A universal OCTET STRING appended to out.
void append_octets(std::string* out, std::string_view s) {
  const int64_t n = ber_encode_counted_str(nullptr, view(s));
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n));
  ber_encode_counted_str(out->data() + at, view(s));
}

// inner wrapped in a universal constructed header (SEQUENCE or SET).
std::string constructed(uint64_t tag, const std::string& inner) {
  const uint64_t h = ber_encode_header(nullptr, ber_universal, ber_constructed, tag, inner.size());
  std::string out(h, '\0');
  ber_encode_header(out.data(), ber_universal, ber_constructed, tag, inner.size());
  return out + inner;
}

std::string search(int64_t id, std::string_view base, Filter* filter,
                   const std::vector<std::string>& attributes) {
  std::vector<string_node> nodes(attributes.size());
  for (size_t i = 0; i < attributes.size(); ++i) {
    nodes[i].str = view(attributes[i]);
    nodes[i].attribute_offset = 0;
    nodes[i].next = i + 1 < attributes.size() ? &nodes[i + 1] : nullptr;
  }
  search_request r{};
  r.baseObject = view(base);
  r.scope = scope_whole_subtree;
  r.derefAliases = 0;
  r.sizeLimit = 0;
  r.timeLimit = 0;
  r.typesOnly = 0;
  r.filter = filter;
  r.attributes = nodes.empty() ? nullptr : nodes.data();
  std::string content(ldap_encode_search_request(nullptr, &r), '\0');
  ldap_encode_search_request(content.data(), &r);
  return frame(id, ldap_search_request, content);
}

bool equal_nocase(counted_str a, std::string_view b) {
  return a.len == b.size() && compare_bytes_nocase(a.bytes, a.len, b.data()) == 0;
}

}  // namespace

std::string bench_bind_request(int64_t id, std::string_view dn, std::string_view password) {
  // The encoder takes NUL-terminated texts.
  const std::string name(dn);
  const std::string secret(password);
  const int64_t n = ldap_encode_bind_request(nullptr, 3, name.c_str(), secret.c_str());
  if (n < 0) return std::string();
  std::string content(static_cast<size_t>(n), '\0');
  ldap_encode_bind_request(content.data(), 3, name.c_str(), secret.c_str());
  return frame(id, ldap_bind_request, content);
}

std::string bench_equality_search(int64_t id, std::string_view base, std::string_view attr,
                                  std::string_view value,
                                  const std::vector<std::string>& attributes) {
  Filter f{};
  f.choice = filter_equality;
  f.attribute = view(attr);
  f.value = view(value);
  return search(id, base, &f, attributes);
}

std::string bench_prefix_search(int64_t id, std::string_view base, std::string_view attr,
                                std::string_view prefix,
                                const std::vector<std::string>& attributes) {
  filter_substring initial{substring_initial, view(prefix), nullptr};
  Filter f{};
  f.choice = filter_substrings;
  f.attribute = view(attr);
  f.substrings = &initial;
  return search(id, base, &f, attributes);
}

std::string bench_modify_replace(int64_t id, std::string_view dn, std::string_view attr,
                                 std::string_view value) {
  std::string one_value;
  append_octets(&one_value, value);
  std::string partial;
  append_octets(&partial, attr);
  partial += constructed(ber_tag_set, one_value);
  std::string change;
  const uint64_t op_len = ber_encode_integer(nullptr, ber_universal, ber_primitive,
                                             ber_tag_enumerated, 2);  // replace
  change.resize(op_len);
  ber_encode_integer(change.data(), ber_universal, ber_primitive, ber_tag_enumerated, 2);
  change += constructed(ber_tag_sequence, partial);
  std::string content;
  append_octets(&content, dn);
  content += constructed(ber_tag_sequence, constructed(ber_tag_sequence, change));
  return frame(id, ldap_modify_request, content);
}

std::string bench_unbind_request(int64_t id) {
  // [APPLICATION 2] is a primitive NULL, which the envelope encoder (always
  // constructed) does not write.
  std::string inner(ber_encode_integer(nullptr, ber_universal, ber_primitive, ber_tag_integer,
                                       static_cast<uint64_t>(id)),
                    '\0');
  ber_encode_integer(inner.data(), ber_universal, ber_primitive, ber_tag_integer,
                     static_cast<uint64_t>(id));
  inner += std::string("\x42\x00", 2);
  return constructed(ber_tag_sequence, inner);
}

int message_stream_next(message_stream* s, bench_message* m) {
  if (s->start == s->fill) return 0;
  const char* at = s->buf.data() + s->start;
  const char* end = s->buf.data() + s->fill;
  uint64_t size = 0;
  const int known = ldap_message_size(at, end, &size);
  if (known < 0) return -1;
  if (known == 0) return 0;
  if (size > bench_max_message) return -1;
  if (size > static_cast<uint64_t>(end - at)) return 0;
  int64_t id = 0;
  uint64_t op = 0;
  uint64_t op_len = 0;
  const uint64_t offset = ldap_decode_message(at, at + size, &id, &op, &op_len);
  if (offset == 0 || offset > size || op_len > size - offset) return -1;
  *m = bench_message{id, op, at + offset, op_len};
  s->start += size;
  return 1;
}

char* message_stream_space(message_stream* s, uint64_t want, uint64_t* room) {
  if (s->start == s->fill) {
    s->start = s->fill = 0;
  } else if (s->start > 0 && s->buf.size() - s->fill < want) {
    std::memmove(s->buf.data(), s->buf.data() + s->start, s->fill - s->start);
    s->fill -= s->start;
    s->start = 0;
  }
  if (s->buf.size() - s->fill < want) {
    s->buf.resize(std::max<uint64_t>(s->fill + want, 2 * s->buf.size()));
  }
  *room = s->buf.size() - s->fill;
  return s->buf.data() + s->fill;
}

void message_stream_received(message_stream* s, uint64_t n) { s->fill += n; }

int64_t bench_result_code(const bench_message& m) {
  int64_t code = -1;
  counted_str matched{}, message{}, referral{};
  if (ldap_decode_result(m.content, m.content + m.content_len, &code, &matched, &message,
                         &referral) == 0)
    return -1;
  return code;
}

bool bench_check_entry(const bench_message& m, std::string_view want_dn,
                       const std::vector<std::string>& want_attrs, bool* dn_matches,
                       uint64_t* attrs_found) {
  search_entry e{};
  if (ldap_decode_search_entry(m.content, m.content + m.content_len, &e) == 0) return false;
  *dn_matches = equal_nocase(e.objectName, want_dn);
  uint64_t found = 0;
  for (const std::string& want : want_attrs) {
    for (const partial_attribute* a = e.attributes; a != nullptr; a = a->next) {
      if (equal_nocase(a->type, want)) {
        ++found;
        break;
      }
    }
  }
  *attrs_found = found;
  free_partial_attributes(e.attributes);
  return true;
}

bool parse_keys(std::string_view text, std::vector<bench_key>* keys, std::string* error) {
  keys->clear();
  uint64_t line_number = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++line_number;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) {
      *error = "line " + std::to_string(line_number) + ": not three tab-separated fields";
      return false;
    }
    const std::string_view number = line.substr(0, tab1);
    uint64_t value = 0;
    bool ok = !number.empty() && number.size() <= 19;
    for (char c : number) {
      if (c < '0' || c > '9') ok = false;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!ok || value != keys->size()) {
      *error = "line " + std::to_string(line_number) + ": expected person " +
               std::to_string(keys->size());
      return false;
    }
    const std::string_view prefix = line.substr(tab1 + 1, tab2 - tab1 - 1);
    const std::string_view phone = line.substr(tab2 + 1);
    if (prefix.empty() || phone.empty()) {
      *error = "line " + std::to_string(line_number) + ": empty field";
      return false;
    }
    keys->push_back(bench_key{std::string(prefix), std::string(phone)});
  }
  return true;
}

uint64_t percentile(const std::vector<uint64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const double n = static_cast<double>(sorted.size());
  double rank = std::ceil(p / 100.0 * n);
  if (rank < 1) rank = 1;
  if (rank > n) rank = n;
  return sorted[static_cast<size_t>(rank) - 1];
}

std::string bench_uid(uint64_t i, uint64_t people) {
  const size_t width = std::max<size_t>(7, std::to_string(people).size());
  std::string digits = std::to_string(i);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return "user" + digits;
}
