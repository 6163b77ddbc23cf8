#include "fuzz/data_readers.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/filter.h"
#include "codec/search.h"
#include "journal/journal_writer.h"
#include "core/bytes.h"
#include "core/out_buffer.h"
#include "fuzz/fuzz_support.h"
#include "query/acl.h"
#include "query/dn_lookup.h"
#include "query/index_eval.h"
#include "query/match.h"
#include "query/set_pool.h"
#include "store/candidate_set.h"
#include "store/data_file.h"
#include "store/index.h"
#include "store/record.h"

// The tools' main functions, renamed when fuzz/CMakeLists.txt compiles
// them, and the mapping function they call instead of map_file_readonly.
int dataprint_main(int argc, char** argv);
int ldifexport_main(int argc, char** argv);
int aclprint_main(int argc, char** argv);

static const char* tool_bytes;
static uint64_t tool_size;

const char* fuzz_map_file_readonly(const char*, uint64_t* size) {
  *size = tool_size;
  return tool_bytes;
}

namespace {

uint32_t word(const char* base, uint64_t off) {
  uint32_t w;
  std::memcpy(&w, base + off, 4);
  return w;
}

int run_tool(int (*tool_main)(int, char**), const char* bytes, uint64_t size) {
  tool_bytes = bytes;
  tool_size = size;
  char program[] = "tool";
  char file[] = "data";
  char* argv[] = {program, file, nullptr};
  const int status = tool_main(2, argv);
  buf_flush(&std_out);
  buf_flush(&std_err);
  return status;
}

counted_str content_of(uint32_t s) {
  const char* p = data_store.base + s;
  return counted_str{stored_str_len(p), stored_str_data(p)};
}

counted_str text_of(uint32_t s) {
  const char* p = data_store.base + s;
  return counted_str{cstr_length(p), p};
}

// Every record number in the set.
std::vector<uint64_t> members(const candidate_set& set) {
  std::vector<uint64_t> out;
  for (int64_t i = set_next(&set, set.lowest); i >= 0;
       i = set_next(&set, static_cast<uint64_t>(i) + 1)) {
    FUZZ_CHECK(static_cast<uint64_t>(i) < data_store.record_count);
    out.push_back(static_cast<uint64_t>(i));
  }
  return out;
}

bool has_member(const candidate_set& set, uint64_t i) {
  return (set.words[i / 64] >> (i % 64) & 1) != 0 && i >= set.lowest && i <= set.highest;
}

// ---- Records ----------------------------------------------------------------

void read_records(bool built_by_writer) {
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  const uint32_t count = data_store.record_count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t r = record_offset(i);
    const uint32_t dn = record_value(r, data_store.dn_name);
    FUZZ_CHECK(dn == word(data_store.base, uint64_t{r} + 8));
    FUZZ_CHECK(record_value(r, data_store.object_class_name) != 0);
    FUZZ_CHECK(record_has_attribute(r, data_store.dn_name) == 1);
    for (uint64_t a = 0; a < data_store.attribute_count && a < 64; ++a) {
      const uint32_t name = data_word(table + 4 * a);
      const uint32_t v = record_value(r, name);
      FUZZ_CHECK((v != 0) == (record_has_attribute(r, name) != 0) || name == data_store.dn_name ||
                 name == data_store.object_class_name);
    }
    const int64_t owner = findrec(dn);
    if (built_by_writer) FUZZ_CHECK(owner == i);
    const uint64_t pairs = data_word(r);
    for (uint64_t k = 0; k + 2 < pairs && k < 8; ++k) findrec(data_word(r + 20 + 8 * k));
  }
  findrec(0);
  findrec(UINT32_MAX);
}

// ---- Index blocks -----------------------------------------------------------

// Searches a sorted table with a few keys: values of the table itself and
// the empty key, in every mode and with every comparison.
void read_sorted_table(uint32_t block, candidate_set* set) {
  const uint64_t next = data_word(uint64_t{block} + 4);
  const bool with_records = data_word(block) == block_sorted_table_with_records;
  const uint64_t n = (next - block - 12) / (with_records ? 8 : 4);
  std::vector<counted_str> keys{counted_str{0, ""}};
  if (n > 0) {
    for (uint64_t k : {uint64_t{0}, n / 2, n - 1}) {
      const counted_str v = content_of(data_word(uint64_t{block} + 12 + 4 * k));
      keys.push_back(v);
      if (v.len > 1) keys.push_back(counted_str{v.len / 2, v.bytes});
    }
  }
  const value_cmp_fn cmps[] = {cmp_value, cmp_value_nocase, cmp_prefix, cmp_prefix_nocase};
  for (const counted_str& key : keys) {
    for (value_cmp_fn cmp : cmps) {
      for (search_mode mode : {search_equal, search_at_least, search_at_most}) {
        search_sorted_table(block, key, cmp, mode, set);
        members(*set);
      }
    }
  }
}

void read_hash_table(uint32_t block, candidate_set* set) {
  std::vector<counted_str> keys{counted_str{0, ""}};
  for (uint32_t i = 0; i < data_store.record_count && i < 4; ++i) {
    keys.push_back(content_of(data_word(uint64_t{record_offset(i)} + 8)));
    keys.push_back(content_of(data_word(uint64_t{record_offset(i)} + 12)));
  }
  for (const counted_str& key : keys) {
    for (int fold : {0, 1}) {
      set_clear(set);
      probe_hash_table(block, key, fold, set);
      members(*set);
    }
  }
}

void read_index_blocks() {
  candidate_set set{set_pool_words(set_pool_result), 0, 0};
  if (set.words == nullptr) return;
  uint64_t b = uint64_t{data_store.indices_offset} + 4 * uint64_t{data_store.record_count};
  while (b < data_store.size) {
    const uint32_t type = data_word(b);
    if (type == block_sorted_table || type == block_sorted_table_with_records ||
        type == block_hash_table) {
      const counted_str name = text_of(data_word(b + 8));
      const uint32_t found =
          find_index_block(type == block_hash_table ? index_hash : index_sorted, name);
      FUZZ_CHECK(found != 0 && found <= b);
      if (type == block_hash_table) {
        read_hash_table(static_cast<uint32_t>(b), &set);
      } else {
        read_sorted_table(static_cast<uint32_t>(b), &set);
      }
    }
    b = data_word(b + 4);
  }
  find_index_block(index_sorted, counted_str{0, ""});
  find_index_block(index_hash, counted_str{2, "dn"});
}

// ---- DN lookup, matching and index evaluation -------------------------------

void look_up_dns(bool built_by_writer) {
  const bool dn_index = find_index_block(index_sorted, counted_str{2, "dn"}) != 0 ||
                        find_index_block(index_hash, counted_str{2, "dn"}) != 0;
  for (uint32_t i = 0; i < data_store.record_count && i < 16; ++i) {
    const counted_str dn = content_of(data_word(uint64_t{record_offset(i)} + 8));
    uint64_t record = 0;
    journal_entry* entry = nullptr;
    const int found = lookupdn(dn, &record, &entry);
    // With a case-insensitive dn attribute an earlier record may hold
    // the same DN in other letter case; lookupdn gives the lowest.
    if (built_by_writer && dn_index) {
      FUZZ_CHECK(found == 1 && entry == nullptr);
      FUZZ_CHECK(record <= i);
    }
  }
  uint64_t record = 0;
  journal_entry* entry = nullptr;
  lookupdn(counted_str{3, "a=b"}, &record, &entry);
}

// A record as the entry an update would write: the DN and one attribute
// per distinct name (the first objectClass value first), values in order.
struct request_copy {
  bool nul_value = false;  // some value holds a 0 byte (a long-form string)
  std::vector<std::vector<string_node>> values;
  std::vector<request_attribute> attributes;
  request_entry entry{};
};

std::vector<request_copy> request_copies;

void copy_records_as_requests(uint32_t limit) {
  request_copies.clear();
  for (uint32_t i = 0; i < data_store.record_count && i < limit; ++i) {
    const uint32_t r = record_offset(i);
    std::vector<uint32_t> names{data_store.object_class_name};
    std::vector<std::vector<counted_str>> vals{{content_of(data_word(uint64_t{r} + 12))}};
    const uint64_t pairs = data_word(r);
    for (uint64_t k = 0; k + 2 < pairs; ++k) {
      const uint32_t name = data_word(r + 16 + 8 * k);
      const counted_str v = content_of(data_word(r + 20 + 8 * k));
      uint64_t at = 0;
      while (at < names.size() && names[at] != name) ++at;
      if (at == names.size()) {
        names.push_back(name);
        vals.emplace_back();
      }
      vals[at].push_back(v);
    }
    request_copy& c = request_copies.emplace_back();
    for (const auto& list : vals)
      for (const counted_str& v : list) c.nul_value |= v.len != 0 && memchr(v.bytes, 0, v.len) != nullptr;
    c.values.resize(names.size());
    c.attributes.resize(names.size());
    for (uint64_t a = 0; a < names.size(); ++a) {
      for (const counted_str& v : vals[a]) c.values[a].push_back(string_node{v, 0, nullptr});
      for (uint64_t j = 0; j + 1 < c.values[a].size(); ++j) c.values[a][j].next = &c.values[a][j + 1];
      c.attributes[a] = request_attribute{text_of(names[a]), c.values[a].data(),
                                          a + 1 < names.size() ? &c.attributes[a + 1] : nullptr};
    }
    c.entry = request_entry{content_of(data_word(uint64_t{r} + 8)), c.attributes.data()};
  }
}

// Whether the record and request matchers are meant to agree on f for an
// entry: the request's DN does not count for present, and the substring
// test reads a record's long-form value as empty text but a request's
// value as its bytes.
bool matchers_agree_on(const Filter* f, bool nul_value) {
  for (; f != nullptr; f = f->next) {
    if (f->choice <= filter_not) {
      if (!matchers_agree_on(f->children, nul_value)) return false;
    } else if (f->choice == filter_present && f->attribute_offset == data_store.dn_name) {
      return false;
    } else if (f->choice == filter_substrings && nul_value) {
      return false;
    }
  }
  return true;
}

// Checks one filter (already resolved) against every record, and against
// the index when it can answer it; against the records' copies as request
// entries, which must match alike; and as a search from each scope.
void check_filter(Filter* f, bool built_by_writer) {
  resolve_filter_attributes(f);
  const bool indexed = index_usable(f) != 0;
  candidate_set set{set_pool_words(set_pool_result), 0, 0};
  if (set.words == nullptr) return;
  if (indexed) {
    FUZZ_CHECK(evaluate_index(f, &set) == 1);
    members(set);
  }
  const uint32_t limit = built_by_writer ? 4096 : 64;
  for (uint32_t i = 0; i < data_store.record_count && i < limit; ++i) {
    const uint32_t r = record_offset(i);
    const int matched = match_record(r, f);
    // The index never leaves out a matching record.
    if (built_by_writer && indexed && matched) FUZZ_CHECK(has_member(set, i));
    if (i < request_copies.size()) {
      const request_copy& c = request_copies[i];
      const int as_request = match_request_entry(&c.entry, f);
      // In a file from the writer every name is in the table once, so
      // matching by name offset and by name text agree, but for the two
      // differences the matchers have by design.
      if (built_by_writer && matchers_agree_on(f, c.nul_value)) FUZZ_CHECK(as_request == matched);
    }
  }
  if (data_store.record_count == 0) return;
  search_request q{};
  q.baseObject = content_of(data_word(uint64_t{record_offset(0)} + 8));
  q.filter = f;
  for (uint32_t scope : {scope_base_object, scope_single_level, scope_whole_subtree}) {
    q.scope = scope;
    for (uint32_t i = 0; i < data_store.record_count && i < limit; ++i) {
      const int in_scope = record_matches_search(record_offset(i), &q);
      if (built_by_writer && in_scope) FUZZ_CHECK(match_record(record_offset(i), f) == 1);
    }
  }
}

// Filters made of the names and values of the first records: equality,
// presence, substrings, both orderings, and their combinations.
void match_filters(bool built_by_writer) {
  copy_records_as_requests(built_by_writer ? 4096 : 64);
  const uint32_t max_records = built_by_writer ? 3 : 2;
  for (uint32_t i = 0; i < data_store.record_count && i < max_records; ++i) {
    const uint32_t r = record_offset(i);
    const uint64_t pairs = data_word(r);
    for (uint64_t k = 0; k < pairs && k < 5; ++k) {
      counted_str name{0, ""};
      counted_str value{0, ""};
      if (k == 0) {
        name = text_of(data_store.dn_name);
        value = content_of(data_word(uint64_t{r} + 8));
      } else if (k == 1) {
        name = text_of(data_store.object_class_name);
        value = content_of(data_word(uint64_t{r} + 12));
      } else {
        name = text_of(data_word(r + 16 + 8 * (k - 2)));
        value = content_of(data_word(r + 20 + 8 * (k - 2)));
      }
      Filter eq{};
      eq.choice = filter_equality;
      eq.attribute = name;
      eq.value = value;
      check_filter(&eq, built_by_writer);
      for (uint32_t choice : {filter_greater_or_equal, filter_less_or_equal, filter_present}) {
        Filter f = eq;
        f.choice = choice;
        check_filter(&f, built_by_writer);
      }
      filter_substring initial{substring_initial, counted_str{value.len / 2, value.bytes},
                               nullptr};
      filter_substring final_part{substring_final,
                                  counted_str{value.len - value.len / 2, value.bytes + value.len / 2},
                                  nullptr};
      Filter sub{};
      sub.choice = filter_substrings;
      sub.attribute = name;
      sub.substrings = &initial;
      check_filter(&sub, built_by_writer);
      initial.next = &final_part;
      check_filter(&sub, built_by_writer);
      // initial, any and final: the thirds of the value.
      const uint64_t third = value.len / 3;
      filter_substring first{substring_initial, counted_str{third, value.bytes}, nullptr};
      filter_substring middle{substring_any, counted_str{third, value.bytes + third}, nullptr};
      filter_substring last{substring_final,
                            counted_str{value.len - 2 * third, value.bytes + 2 * third}, nullptr};
      first.next = &middle;
      middle.next = &last;
      sub.substrings = &first;
      check_filter(&sub, built_by_writer);
      sub.substrings = &middle;
      middle.next = nullptr;
      check_filter(&sub, built_by_writer);

      Filter present{};
      present.choice = filter_present;
      present.attribute = name;
      Filter eq2 = eq;
      eq2.next = &present;
      Filter both{};
      both.choice = filter_and;
      both.children = &eq2;
      check_filter(&both, built_by_writer);
      Filter either = both;
      either.choice = filter_or;
      check_filter(&either, built_by_writer);
      Filter eq3 = eq;
      Filter negated{};
      negated.choice = filter_not;
      negated.children = &eq3;
      check_filter(&negated, built_by_writer);
    }
  }
}

// ---- ACLs -------------------------------------------------------------------

void check_acls(uint64_t block) {
  load_acl_block(static_cast<uint32_t>(block));
  const uint64_t table = data_header_size + uint64_t{data_store.size_of_string_table};
  const uint16_t rights[] = {acl_read, acl_write, acl_add, acl_delete, acl_R};
  for (uint32_t b = 0; b <= data_store.record_count && b < 3; ++b) {
    // b == 0: anonymous; else bound as record b - 1.
    bound_record = b == 0 ? 0 : record_offset(b - 1);
    bound_dn = b == 0 ? nullptr : data_store.base + data_word(uint64_t{bound_record} + 8);
    acl_refresh_subjects(nullptr);
    for (uint32_t i = 0; i < data_store.record_count && i < 8; ++i) {
      acl_clear_targets();
      const uint32_t r = record_offset(i);
      for (uint64_t a = 0; a < data_store.attribute_count && a < 8; ++a) {
        for (uint16_t right : rights) acl_check(r, data_word(table + 4 * a), right, nullptr);
      }
      acl_check(r, 0, acl_read, nullptr);
    }
  }
  bound_record = 0;
  bound_dn = nullptr;
  load_acl_block(0);
}

}  // namespace

// ---- The predicates -----------------------------------------------------------

bool data_file_loads(const char* base, uint64_t size) {
  if (!check_data_file(base, size)) return false;
  const uint64_t table = data_header_size + uint64_t{word(base, 16)};
  bool dn = false;
  bool object_class = false;
  for (uint64_t i = 0; i < word(base, 4); ++i) {
    const char* text = base + word(base, table + 4 * i);
    if (compare_text_nocase(text, "dn") == 0) dn = true;
    if (compare_text_nocase(text, "objectClass") == 0) object_class = true;
  }
  return dn && object_class;
}

uint64_t find_acl_block(const char* base, uint64_t size) {
  uint64_t b = uint64_t{word(base, 12)} + 4 * uint64_t{word(base, 8)};
  while (b < size) {
    if (word(base, b) == block_acl_data) return b;
    b = word(base, b + 4);
  }
  return 0;
}

bool acl_block_loads(const char* base, uint64_t size, uint64_t block) {
  if (block == 0) return true;
  const data_view v{base, size};
  uint32_t f_count;
  if (!view_word(&v, block + 8, &f_count)) return false;
  const uint64_t table = block + 12;
  if (table + 4 * uint64_t{f_count} + 1 > UINT32_MAX || table + 4 * uint64_t{f_count} + 4 > size)
    return false;
  for (uint64_t i = 0; i < f_count; ++i) {
    const uint64_t o = word(base, table + 4 * i);
    if (o < block + 12 || o > size) return false;
    if (size - o >= 4 && std::memcmp(base + o, "self", 4) == 0) continue;
    if (size - o >= 2 && std::memcmp(base + o, "*", 2) == 0) continue;
    Filter* f = nullptr;
    const uint64_t used = ldap_decode_filter(base + o, base + size, &f);
    free_filter(f);
    if (used == 0) return false;
  }
  const uint64_t list = word(base, table + 4 * uint64_t{f_count});
  if (list < table || list > size - 4) return false;
  const uint64_t a_count = word(base, list);
  if ((size - list - 4) / 4 < a_count) return false;
  for (uint64_t j = 0; j < a_count; ++j) {
    const uint64_t a = word(base, list + 4 + 4 * j);
    if (a > size || size - a < 16) return false;
    if (word(base, a) >= f_count || word(base, a + 4) >= f_count) return false;
    for (uint64_t p = a + 12; size - p >= 4; p += 4) {
      const uint32_t name = word(base, p);
      if (name == 0) break;
      if (name > p || !view_stored_str(&v, name)) return false;
    }
  }
  return true;
}

// ---- The run ------------------------------------------------------------------

void exercise_data_file(const std::string& path, const char* bytes, uint64_t size,
                        bool built_by_writer) {
  data_file_acl_loader = nullptr;
  fuzz_mute_fd2_begin();
  load_data_file(path.c_str());
  FUZZ_CHECK(data_store.size == size);
  // From here on the readers read the exactly sized heap copy instead of
  // the mapping, whose page tail AddressSanitizer cannot see.
  munmap(const_cast<char*>(data_store.base), data_store.size);
  data_store.base = bytes;

  read_records(built_by_writer);
  read_index_blocks();
  look_up_dns(built_by_writer);
  match_filters(built_by_writer);

  const uint64_t acl = find_acl_block(bytes, size);
  const bool acl_loads = acl_block_loads(bytes, size, acl);
  if (acl_loads && acl != 0) check_acls(acl);

  FUZZ_CHECK(run_tool(dataprint_main, bytes, size) == 0);
  FUZZ_CHECK(run_tool(ldifexport_main, bytes, size) == 0);
  // aclprint checks the ACL block itself, less strictly than the loader.
  if (acl_loads) FUZZ_CHECK(run_tool(aclprint_main, bytes, size) == 0);

  data_store.base = nullptr;
  data_store.size = 0;
  fuzz_mute_fd2_end();
}

std::string export_ldif(const char* bytes, uint64_t size) {
  std::string out;
  fuzz_capture_std_out(&out);
  const int status = run_tool(ldifexport_main, bytes, size);
  fuzz_capture_std_out(nullptr);
  FUZZ_CHECK(status == 0);
  return out;
}
