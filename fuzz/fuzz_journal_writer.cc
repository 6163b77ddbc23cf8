// The journal writer and the journal's LDIF parser together: every record
// write_change agrees to write must read back through parse_ldif as the
// same entry (the normalised DN, each type's name without its options,
// every value's exact bytes, in order). A record the parser misread would
// corrupt the directory at every later start of the server.
//
// Input: DN length (1 byte) and DN bytes, normalised as the server
// normalises request DNs; then attributes, each a type length (1 byte),
// the type, a value count (1 byte) and each value as length (1 byte) and
// bytes, while the input lasts.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "codec/search.h"
#include "core/bytes.h"
#include "core/dn.h"
#include "fuzz/fuzz_support.h"
#include "journal/arena.h"
#include "journal/intern_pool.h"
#include "journal/journal_writer.h"
#include "journal/ldif_parser.h"

namespace {

std::string journal_file;

struct parsed_entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> pairs;
};
std::vector<parsed_entry> parsed;

std::string stored(const char* s) { return std::string(stored_str_data(s), stored_str_len(s)); }

int capture(const ldif_record* r) {
  parsed_entry e;
  if (r->dn != ldif_no_dn) e.dn = stored(value_arena.base + r->dn);
  const int64_t object_class = intern_text(&name_pool, "objectClass");
  for (uint32_t i = 0; i < r->count; ++i) {
    const char* value = r->pairs[i].name == static_cast<uint64_t>(object_class)
                            ? object_class_pool.strings.base + r->pairs[i].value
                            : value_arena.base + r->pairs[i].value;
    e.pairs.emplace_back(stored(name_pool.strings.base + r->pairs[i].name), stored(value));
  }
  parsed.push_back(std::move(e));
  return 0;
}

struct reader {
  const uint8_t* p;
  const uint8_t* end;
  bool piece(std::string* out) {
    if (p == end) return false;
    const size_t n = *p++;
    if (static_cast<size_t>(end - p) < n) return false;
    out->assign(reinterpret_cast<const char*>(p), n);
    p += n;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  journal_file = fuzz_scratch_path("journal");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reader in{data, data + size};
  std::string dn;
  if (!in.piece(&dn)) return 0;
  dn.resize(static_cast<size_t>(canonical_dn(dn.data(), dn.data(), static_cast<int32_t>(dn.size()))));

  // The request entry, with storage that outlives it.
  std::vector<std::string> types;
  std::vector<std::vector<std::string>> values;
  while (in.p != in.end) {
    std::string type;
    if (!in.piece(&type) || in.p == in.end) break;
    const size_t count = *in.p++;
    std::vector<std::string> vals;
    std::string v;
    for (size_t i = 0; i < count && in.piece(&v); ++i) vals.push_back(v);
    types.push_back(type);
    values.push_back(vals);
  }
  std::vector<std::vector<string_node>> nodes(types.size());
  std::vector<request_attribute> attributes(types.size());
  for (size_t a = 0; a < types.size(); ++a) {
    nodes[a].resize(values[a].size());
    for (size_t i = 0; i < values[a].size(); ++i) {
      nodes[a][i].str = counted_str{values[a][i].size(), values[a][i].data()};
      nodes[a][i].next = i + 1 < values[a].size() ? &nodes[a][i + 1] : nullptr;
    }
    attributes[a].type = counted_str{types[a].size(), types[a].data()};
    attributes[a].vals = values[a].empty() ? nullptr : nodes[a].data();
    attributes[a].next = a + 1 < types.size() ? &attributes[a + 1] : nullptr;
  }
  request_entry e{counted_str{dn.size(), dn.data()}, types.empty() ? nullptr : attributes.data()};

  const int fd = open(journal_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0);
  const int written = write_change(fd, &e);
  close(fd);
  if (written != 0) return 0;

  parsed.clear();
  entry_callback = capture;
  intern_pool_init(&name_pool);
  intern_pool_init(&object_class_pool);
  FUZZ_CHECK(parse_ldif(journal_file.c_str(), 0, nullptr) == 0);
  intern_pool_release(&name_pool);
  intern_pool_release(&object_class_pool);
  arena_release(&value_arena);

  FUZZ_CHECK(parsed.size() == 1);
  FUZZ_CHECK(parsed[0].dn == dn);
  std::vector<std::pair<std::string, std::string>> expected;
  for (size_t a = 0; a < types.size(); ++a) {
    const std::string name = types[a].substr(0, types[a].find(';'));
    for (const std::string& v : values[a]) expected.emplace_back(name, v);
  }
  FUZZ_CHECK(parsed[0].pairs == expected);
  return 0;
}
