// ldifimport's path from LDIF to a data file: the LDIF reader over a file,
// the data file writer over the entries it read, then the file itself:
// check_data_file and the loader must accept whatever the writer wrote,
// every reader runs over it with the lookups held to their promises, and
// ldifexport's LDIF must read back as the records it came from.
//
// The last byte of the input chooses the writer's options, as the command
// line of ldifimport would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "fuzz/data_readers.h"
#include "fuzz/fuzz_support.h"
#include "store/data_file.h"
#include "store/data_writer.h"
#include "store/ldif_reader.h"

namespace {

std::string input_file;
std::string data_file;
std::string export_file;

struct plain_entry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> attributes;
};

std::string bytes_of(counted_str s) {
  return s.len == 0 ? std::string() : std::string(s.bytes, s.len);
}

// Reads every entry of an LDIF file; false on a syntax error.
bool read_ldif(const std::string& path, std::vector<plain_entry>* out, std::string* error) {
  ldif_reader* r = ldif_reader_open(path.c_str());
  FUZZ_CHECK(r != nullptr);
  ldif_entry e;
  int got;
  while ((got = ldif_reader_next(r, &e)) == 1) {
    plain_entry p{bytes_of(e.dn), {}};
    for (uint64_t i = 0; i < e.count; ++i)
      p.attributes.emplace_back(bytes_of(e.attributes[i].name), bytes_of(e.attributes[i].value));
    out->push_back(std::move(p));
  }
  if (got < 0) *error = ldif_reader_error(r);
  FUZZ_CHECK(got == 0 || ldif_reader_next(r, &e) == -1);
  ldif_reader_close(r);
  return got == 0;
}

void set_options(data_writer* w, uint8_t bits) {
  if ((bits & 1) == 0) {
    FUZZ_CHECK(data_writer_hash_index(w, "dn", (bits & 0x40) != 0 ? 1 : 0) == 0);
    FUZZ_CHECK(data_writer_sorted_index(w, "objectClass", -1) == 0);
    FUZZ_CHECK(data_writer_case_insensitive(w, "objectClass") == 0);
  }
  if ((bits & 2) != 0) FUZZ_CHECK(data_writer_sorted_index(w, "cn", -1) == 0);
  if ((bits & 4) != 0) FUZZ_CHECK(data_writer_hash_index(w, "cn", 0) == 0);
  if ((bits & 8) != 0) {
    FUZZ_CHECK(data_writer_case_insensitive(w, "cn") == 0);
    FUZZ_CHECK(data_writer_case_insensitive(w, "dn") == 0);
  }
  if ((bits & 16) != 0) FUZZ_CHECK(data_writer_sorted_index(w, "dn", 0) == 0);
  if ((bits & 32) != 0) FUZZ_CHECK(data_writer_sorted_index(w, "mail", 1) == 0);
  if ((bits & 64) != 0) FUZZ_CHECK(data_writer_sorted_index(w, "sn", 1) == 0);
  if ((bits & 128) != 0) FUZZ_CHECK(data_writer_hash_index(w, "uid", 3) == 0);
}

// The records of a checked file as ldifexport writes them: the DN, the
// first objectClass value, then every pair in order.
std::vector<plain_entry> records_of(const std::string& file) {
  const char* base = file.data();
  auto word = [base](uint64_t off) {
    uint32_t w;
    std::memcpy(&w, base + off, 4);
    return w;
  };
  auto content = [base](uint32_t s) {
    return std::string(stored_str_data(base + s), stored_str_len(base + s));
  };
  std::vector<plain_entry> out;
  uint64_t r = data_header_size + uint64_t{word(16)} + 8 * uint64_t{word(4)};
  for (uint32_t i = 0; i < word(8); ++i) {
    const uint32_t pairs = word(r);
    plain_entry e{content(word(r + 8)), {{"objectClass", content(word(r + 12))}}};
    for (uint64_t k = 0; k + 2 < pairs; ++k)
      e.attributes.emplace_back(base + word(r + 16 + 8 * k), content(word(r + 20 + 8 * k)));
    out.push_back(std::move(e));
    r += 8 * uint64_t{pairs};
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  input_file = fuzz_scratch_path("in.ldif");
  data_file = fuzz_scratch_path("data");
  export_file = fuzz_scratch_path("export.ldif");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FUZZ_CHECK(fuzz_write_file(input_file, data, size));
  std::vector<plain_entry> entries;
  std::string error;
  const bool read_all = read_ldif(input_file, &entries, &error);
  if (!read_all) FUZZ_CHECK(!error.empty());
  if (!read_all || entries.empty()) return 0;

  data_writer* w = data_writer_new();
  FUZZ_CHECK(w != nullptr);
  set_options(w, size > 0 ? data[size - 1] : 0);
  for (const plain_entry& e : entries) {
    bool ok = data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.attributes) {
      if (!ok) break;
      ok = data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    }
    if (ok) ok = data_writer_end_entry(w) == 0;
    if (!ok) {
      // ldifimport stops here with the writer's message.
      FUZZ_CHECK(data_writer_error(w)[0] != 0);
      data_writer_free(w);
      return 0;
    }
  }
  data_writer_stats stats{};
  if (data_writer_write(w, data_file.c_str(), &stats) != 0) fuzz_fail(data_writer_error(w));
  data_writer_free(w);
  FUZZ_CHECK(stats.entries == entries.size());

  std::ifstream in(data_file, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  FUZZ_CHECK(file.size() == stats.bytes);
  // An exactly sized heap copy for the readers.
  std::vector<char> bytes(file.begin(), file.end());
  FUZZ_CHECK(data_file_loads(bytes.data(), bytes.size()));
  exercise_data_file(data_file, bytes.data(), bytes.size(), true);

  // ldifexport's LDIF reads back as the records.
  const std::string exported = export_ldif(bytes.data(), bytes.size());
  FUZZ_CHECK(fuzz_write_file(export_file, reinterpret_cast<const uint8_t*>(exported.data()),
                             exported.size()));
  std::vector<plain_entry> again;
  if (!read_ldif(export_file, &again, &error)) fuzz_fail(error.c_str());
  const std::vector<plain_entry> records = records_of(file);
  FUZZ_CHECK(again.size() == records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    FUZZ_CHECK(again[i].dn == records[i].dn);
    FUZZ_CHECK(again[i].attributes == records[i].attributes);
  }
  return 0;
}
