// The journal's LDIF parser, reading a file as the server does, into the
// journal store; then the readers of the store: DN lookup (journal first,
// then a small data file loaded once) and filter matching.
//
// An entry with more than ldif_max_pairs lines besides its DN ends the process by
// design. Every such line but the last ends with a newline, so inputs with
// more than 511 newlines are skipped rather than handed to the parser.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codec/filter.h"
#include "codec/search.h"
#include "core/bytes.h"
#include "fuzz/fuzz_support.h"
#include "journal/intern_pool.h"
#include "journal/journal_store.h"
#include "journal/ldif_parser.h"
#include "query/dn_lookup.h"
#include "query/match.h"
#include "store/data_file.h"
#include "store/data_writer.h"

namespace {

std::string journal_file;

// A data file whose attribute table the journal's names resolve against.
void load_small_data_file() {
  data_writer* w = data_writer_new();
  FUZZ_CHECK(w != nullptr);
  FUZZ_CHECK(data_writer_hash_index(w, "dn", 0) == 0);
  FUZZ_CHECK(data_writer_case_insensitive(w, "cn") == 0);
  FUZZ_CHECK(data_writer_sorted_index(w, "objectClass", -1) == 0);
  const char* const entries[][4] = {
      {"dc=example,dc=com", "objectClass", "domain", "dc"},
      {"cn=admin,dc=example,dc=com", "objectClass", "person", "cn"},
      {"uid=alice,ou=people,dc=example,dc=com", "objectClass", "inetOrgPerson", "mail"},
  };
  for (const auto& e : entries) {
    FUZZ_CHECK(data_writer_begin_entry(w, e[0], strlen(e[0])) == 0);
    FUZZ_CHECK(data_writer_add_value(w, e[1], strlen(e[1]), e[2], strlen(e[2])) == 0);
    FUZZ_CHECK(data_writer_add_value(w, e[3], strlen(e[3]), "x", 1) == 0);
    FUZZ_CHECK(data_writer_end_entry(w) == 0);
  }
  static const std::string path = fuzz_scratch_path("data");
  FUZZ_CHECK(data_writer_write(w, path.c_str(), nullptr) == 0);
  data_writer_free(w);
  data_file_acl_loader = nullptr;
  load_data_file(path.c_str());
}

counted_str content(const char* stored) {
  return counted_str{stored_str_len(stored), stored_str_data(stored)};
}

void read_entry(journal_entry* e) {
  const counted_str dn = content(e->dn);
  if (dn.len != 0) {
    uint64_t record = 0;
    journal_entry* found = nullptr;
    const int result = lookupdn(dn, &record, &found);
    FUZZ_CHECK(found == e && record == dn_in_journal);
    FUZZ_CHECK(result == (e->attribute_count > 0 ? 1 : 0));
  }

  search_request everything{};
  Filter present{};
  present.choice = filter_present;
  present.attribute = counted_str{11, "objectClass"};
  resolve_filter_attributes(&present);
  everything.scope = scope_whole_subtree;
  everything.filter = &present;
  journal_matches_search(e, &everything);

  for (uint64_t i = 0; i < e->attribute_count && i < 16; ++i) {
    const counted_str name = content(e->attributes[i].name);
    const counted_str value = content(e->attributes[i].value);
    Filter eq{};
    eq.choice = filter_equality;
    eq.attribute = name;
    eq.value = value;
    resolve_filter_attributes(&eq);
    // An attribute spelled like "dn" stands for the DN in a filter.
    const bool names_dn = eq.attribute_offset != 0 && eq.attribute_offset == data_store.dn_name;
    const int matched = match_journal_entry(e, &eq);
    if (!names_dn) FUZZ_CHECK(matched == 1);
    Filter sub{};
    filter_substring initial{substring_initial, counted_str{value.len / 2, value.bytes}, nullptr};
    sub.choice = filter_substrings;
    sub.attribute = name;
    sub.substrings = &initial;
    resolve_filter_attributes(&sub);
    match_journal_entry(e, &sub);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  journal_file = fuzz_scratch_path("journal");
  load_small_data_file();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t newlines = 0;
  for (size_t i = 0; i < size; ++i) newlines += data[i] == '\n';
  if (newlines > 511) return 0;
  FUZZ_CHECK(fuzz_write_file(journal_file, data, size));

  entry_callback = build_journal_entry;
  intern_pool_init(&name_pool);
  intern_pool_init(&object_class_pool);
  struct stat status;
  const int result = parse_ldif(journal_file.c_str(), 0, &status);
  FUZZ_CHECK(result == 0 || result == -1);
  FUZZ_CHECK(status.st_size >= 0 && static_cast<uint64_t>(status.st_size) <= size);
  // Resuming where the parse stopped, and from somewhere in the middle.
  parse_ldif(journal_file.c_str(), status.st_size, nullptr);
  if (size > 0) parse_ldif(journal_file.c_str(), data[0] % size, nullptr);

  for (journal_entry* e = journal_list.head; e != nullptr; e = e->list_next) read_entry(e);
  journal_store_release();
  return 0;
}
