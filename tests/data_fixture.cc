// Data files for tests, built with the data file writer.
#include "tests/data_fixture.h"

#include "store/data_writer.h"

namespace fixture {

std::string write_data_file(const std::string& path, const std::vector<entry>& entries,
                            const options& opts) {
  data_writer* w = data_writer_new();
  if (w == nullptr) return "out of memory";
  bool ok = true;
  for (const std::string& a : opts.nocase)
    ok = ok && data_writer_case_insensitive(w, a.c_str()) == 0;
  for (const auto& [a, type] : opts.sorted)
    ok = ok && data_writer_sorted_index(w, a.c_str(), type) == 0;
  for (const auto& [a, buckets] : opts.hash)
    ok = ok && data_writer_hash_index(w, a.c_str(), buckets) == 0;
  if (ok && !opts.acl.empty()) ok = data_writer_acl_block(w, opts.acl.data(), opts.acl.size()) == 0;
  for (const entry& e : entries) {
    if (!ok) break;
    ok = data_writer_begin_entry(w, e.dn.data(), e.dn.size()) == 0;
    for (const auto& [name, value] : e.values) {
      if (!ok) break;
      ok = data_writer_add_value(w, name.data(), name.size(), value.data(), value.size()) == 0;
    }
    ok = ok && data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path.c_str(), nullptr) == 0;
  std::string error = ok ? "" : data_writer_error(w);
  data_writer_free(w);
  return error;
}

}  // namespace fixture
