// Micro-benchmarks of the query engine on a directory of 1,000,000 people:
// decoding a typical search filter, matching it against a record, answering
// an equality from the indexes, and looking a DN up.
//
// The data file is generated at start-up with the data file writer in a
// temporary directory (hash indexes on dn and uid, a sorted table on cn)
// and removed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/filter.h"
#include "core/counted_str.h"
#include "query/dn_lookup.h"
#include "query/index_eval.h"
#include "query/match.h"
#include "query/set_pool.h"
#include "store/candidate_set.h"
#include "store/data_file.h"
#include "store/data_writer.h"
#include "store/record.h"

namespace {

constexpr uint32_t kPeople = 1'000'000;
constexpr uint32_t kTarget = 654'321;  // the person the lookups ask for

const char* const kGiven[] = {"Anna", "Ben", "Carla", "David", "Eva", "Frank", "Greta", "Hans"};
const char* const kSur[] = {"Adler", "Bauer", "Becker", "Braun", "Fischer", "Klein", "Koch"};

std::string uid_of(uint32_t i) { return "user" + std::to_string(i); }
std::string dn_of(uint32_t i) { return "uid=" + uid_of(i) + ",ou=people,o=bench"; }

bool add(data_writer* w, const char* name, const std::string& value) {
  return data_writer_add_value(w, name, std::char_traits<char>::length(name), value.data(),
                               value.size()) == 0;
}

// Writes the directory to path; false with a message on failure.
bool write_people(const char* path) {
  data_writer* w = data_writer_new();
  bool ok = w != nullptr && data_writer_hash_index(w, "dn", 0) == 0 &&
            data_writer_hash_index(w, "uid", 0) == 0 && data_writer_sorted_index(w, "cn", -1) == 0;
  for (uint32_t i = 0; ok && i < kPeople; ++i) {
    const std::string dn = dn_of(i);
    const std::string sn = kSur[i % std::size(kSur)];
    ok = data_writer_begin_entry(w, dn.data(), dn.size()) == 0 && add(w, "objectClass", "top") &&
         add(w, "objectClass", "person") && add(w, "objectClass", "inetOrgPerson") &&
         add(w, "uid", uid_of(i)) &&
         add(w, "cn", std::string(kGiven[i % std::size(kGiven)]) + " " + sn + " " +
                          std::to_string(i)) &&
         add(w, "sn", sn) && add(w, "mail", uid_of(i) + "@example.com") &&
         data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path, nullptr) == 0;
  if (!ok) (void)std::fprintf(stderr, "cannot write %s: %s\n", path, w ? data_writer_error(w) : "");
  data_writer_free(w);
  return ok;
}

// The BER encoding of (&(objectClass=person)(uid=<uid>)).
std::vector<char> encoded_filter(const std::string& uid) {
  Filter by_uid{};
  by_uid.choice = filter_equality;
  by_uid.attribute = counted_str{3, "uid"};
  by_uid.value = counted_str{uid.size(), uid.data()};
  Filter by_class{};
  by_class.choice = filter_equality;
  by_class.attribute = counted_str{11, "objectClass"};
  by_class.value = counted_str{6, "person"};
  by_class.next = &by_uid;
  Filter both{};
  both.choice = filter_and;
  both.children = &by_class;
  std::vector<char> bytes(ldap_encode_filter(nullptr, &both));
  ldap_encode_filter(bytes.data(), &both);
  return bytes;
}

void BM_DecodeFilter(benchmark::State& state) {
  const std::vector<char> bytes = encoded_filter(uid_of(kTarget));
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop; _ is unread
  for (auto _ : state) {
    Filter* f = nullptr;
    benchmark::DoNotOptimize(ldap_decode_filter(bytes.data(), bytes.data() + bytes.size(), &f));
    free_filter(f);
  }
}
BENCHMARK(BM_DecodeFilter);

// A decoded and resolved filter for the benchmarks below.
struct resolved_filter {
  std::vector<char> bytes;
  Filter* f = nullptr;
  explicit resolved_filter(const std::vector<char>& encoding) : bytes(encoding) {
    ldap_decode_filter(bytes.data(), bytes.data() + bytes.size(), &f);
    resolve_filter_attributes(f);
  }
  ~resolved_filter() { free_filter(f); }
};

// The record that matches (every item is tested) and one that fails on
// its uid.
void BM_MatchRecord(benchmark::State& state) {
  resolved_filter rf(encoded_filter(uid_of(kTarget)));
  const uint32_t record = record_offset(state.range(0) ? kTarget : kTarget + 1);
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop; _ is unread
  for (auto _ : state) benchmark::DoNotOptimize(match_record(record, rf.f));
}
BENCHMARK(BM_MatchRecord)->Arg(1)->Arg(0)->ArgName("matching");

// evaluate_index of f into the pool's result set, as the server does it.
void evaluate_loop(benchmark::State& state, const Filter* f) {
  candidate_set set{set_pool_words(set_pool_result), 0, 0};
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop; _ is unread
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluate_index(f, &set));
    benchmark::DoNotOptimize(set.lowest);
  }
  if (set_next(&set, set.lowest) < 0) state.SkipWithError("no candidate");
}

// An equality item on attribute, resolved; value must outlive it.
Filter equality_item(const char* attribute, const std::string& value) {
  Filter item{};
  item.choice = filter_equality;
  item.attribute = counted_str{std::char_traits<char>::length(attribute), attribute};
  item.value = counted_str{value.size(), value.data()};
  resolve_filter_attributes(&item);
  return item;
}

// (uid=<uid>) from the hash table of uid.
void BM_EvaluateIndexHash(benchmark::State& state) {
  const std::string uid = uid_of(kTarget);
  const Filter item = equality_item("uid", uid);
  evaluate_loop(state, &item);
}
BENCHMARK(BM_EvaluateIndexHash);

// (cn=<cn>) from the sorted table of cn.
void BM_EvaluateIndexSorted(benchmark::State& state) {
  const std::string cn = "Anna Adler 0";
  const Filter item = equality_item("cn", cn);
  evaluate_loop(state, &item);
}
BENCHMARK(BM_EvaluateIndexSorted);

// (&(objectClass=person)(uid=<uid>)): objectClass has no index.
void BM_EvaluateIndexAnd(benchmark::State& state) {
  resolved_filter rf(encoded_filter(uid_of(kTarget)));
  evaluate_loop(state, rf.f);
}
BENCHMARK(BM_EvaluateIndexAnd);

void BM_Lookupdn(benchmark::State& state) {
  const std::string dn = dn_of(kTarget);
  uint64_t record = 0;
  journal_entry* entry = nullptr;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop; _ is unread
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookupdn(counted_str{dn.size(), dn.data()}, &record, &entry));
  }
  if (record != kTarget) state.SkipWithError("lookupdn found the wrong record");
}
BENCHMARK(BM_Lookupdn);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  char dir[] = "/tmp/query_benchXXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/data";
  if (!write_people(path.c_str())) return 1;
  // lookupdn asks the journal first; with no journal loaded it is empty.
  load_data_file(path.c_str());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  set_pool_release();
  unmap_data_file();
  unlink(path.c_str());
  rmdir(dir);
  return 0;
}
