// The search operation as the server runs it, on a directory of 1,000,000
// people: decode the SearchRequest, resolve, evaluate, test, encode and
// write every SearchResultEntry and the SearchResultDone. The answers go to
// /dev/null, so each iteration also pays for its write(2) calls; the
// tracing build's trace is off.
//
// The data file is generated at start-up with the data file writer in a
// temporary directory (hash indexes on dn and uid, a sorted table on cn),
// which is also the working directory, so no journal is found; it is
// removed at the end. Run build/bin/search_bench from a RelWithDebInfo or
// Release tree.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "codec/filter.h"
#include "codec/ldap_message.h"
#include "codec/search.h"
#include "journal/journal_store.h"
#include "query/set_pool.h"
#include "server/operations.h"
#include "store/data_file.h"
#include "store/data_writer.h"

namespace {

constexpr uint32_t kPeople = 1'000'000;
constexpr uint32_t kTarget = 654'321;

const char* const kGiven[] = {"Anna", "Ben", "Carla", "David", "Eva", "Frank", "Greta", "Hans"};
const char* const kSur[] = {"Adler", "Bauer", "Becker", "Braun", "Fischer", "Klein", "Koch"};

std::string uid_of(uint32_t i) { return "user" + std::to_string(i); }
std::string dn_of(uint32_t i) { return "uid=" + uid_of(i) + ",ou=people,o=bench"; }
std::string cn_of(uint32_t i) {
  return std::string(kGiven[i % std::size(kGiven)]) + " " + kSur[i % std::size(kSur)] + " " +
         std::to_string(i);
}

bool add(data_writer* w, const char* name, const std::string& value) {
  return data_writer_add_value(w, name, std::char_traits<char>::length(name), value.data(),
                               value.size()) == 0;
}

bool write_people(const char* path) {
  data_writer* w = data_writer_new();
  bool ok = w != nullptr && data_writer_hash_index(w, "dn", 0) == 0 &&
            data_writer_hash_index(w, "uid", 0) == 0 && data_writer_sorted_index(w, "cn", -1) == 0;
  for (uint32_t i = 0; ok && i < kPeople; ++i) {
    const std::string dn = dn_of(i);
    ok = data_writer_begin_entry(w, dn.data(), dn.size()) == 0 && add(w, "objectClass", "top") &&
         add(w, "objectClass", "person") && add(w, "objectClass", "inetOrgPerson") &&
         add(w, "uid", uid_of(i)) && add(w, "cn", cn_of(i)) &&
         add(w, "sn", kSur[i % std::size(kSur)]) && add(w, "mail", uid_of(i) + "@example.com") &&
         data_writer_end_entry(w) == 0;
  }
  ok = ok && data_writer_write(w, path, nullptr) == 0;
  if (!ok) (void)std::fprintf(stderr, "cannot write %s: %s\n", path, w ? data_writer_error(w) : "");
  data_writer_free(w);
  return ok;
}

// value is a view: a literal, or a string that outlives the search.
Filter item(uint32_t choice, const char* attribute, std::string_view value) {
  Filter f{};
  f.choice = choice;
  f.attribute = counted_str{std::char_traits<char>::length(attribute), attribute};
  f.value = counted_str{value.size(), value.data()};
  return f;
}

// A whole SearchRequest LDAPMessage; search_operation gets its contents.
struct request {
  std::vector<char> bytes;
  uint64_t contents = 0;  // offset of the protocolOp's contents
  uint64_t length = 0;    // their length

  request(const std::string& base, uint32_t scope, Filter* filter,
          const std::vector<std::string>& attributes) {
    std::vector<string_node> nodes(attributes.size());
    for (size_t i = 0; i < attributes.size(); ++i) {
      nodes[i].str = counted_str{attributes[i].size(), attributes[i].data()};
      nodes[i].next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
    }
    search_request q{};
    q.baseObject = counted_str{base.size(), base.data()};
    q.scope = scope;
    q.filter = filter;
    q.attributes = nodes.empty() ? nullptr : nodes.data();
    length = ldap_encode_search_request(nullptr, &q);
    contents = ldap_encode_message_header(nullptr, 1, ldap_search_request, length);
    bytes.resize(contents + length);
    ldap_encode_message_header(bytes.data(), 1, ldap_search_request, length);
    ldap_encode_search_request(bytes.data() + contents, &q);
  }
};

int out_fd = -1;

void run(benchmark::State& state, const request& r) {
  const char* start = r.bytes.data();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop; _ is unread
  for (auto _ : state) {
    search_operation(out_fd, 1, start + r.contents, r.length, start + r.bytes.size());
  }
}

// (uid=<uid>) over the whole directory, every attribute: the hash index
// gives one candidate.
void BM_SearchUid(benchmark::State& state) {
  const std::string uid = uid_of(kTarget);
  Filter f = item(filter_equality, "uid", uid);
  run(state, request("o=bench", 2, &f, {}));
}
BENCHMARK(BM_SearchUid);

// The same with two named attributes.
void BM_SearchUidNamedAttributes(benchmark::State& state) {
  const std::string uid = uid_of(kTarget);
  Filter f = item(filter_equality, "uid", uid);
  run(state, request("o=bench", 2, &f, {"cn", "mail"}));
}
BENCHMARK(BM_SearchUidNamedAttributes);

// (&(objectClass=person)(uid=<uid>)): objectClass has no index, the and
// takes the uid's candidates.
void BM_SearchUidAndClass(benchmark::State& state) {
  const std::string uid = uid_of(kTarget);
  Filter by_uid = item(filter_equality, "uid", uid);
  Filter by_class = item(filter_equality, "objectClass", "person");
  by_class.next = &by_uid;
  Filter both{};
  both.choice = filter_and;
  both.children = &by_class;
  run(state, request("o=bench", 2, &both, {}));
}
BENCHMARK(BM_SearchUidAndClass);

// (cn=<cn>) from the sorted table.
void BM_SearchCnSorted(benchmark::State& state) {
  const std::string cn = cn_of(kTarget);
  Filter f = item(filter_equality, "cn", cn);
  run(state, request("o=bench", 2, &f, {}));
}
BENCHMARK(BM_SearchCnSorted);

// Reading one entry by its DN as most clients do it: scope baseObject and
// (objectClass=*). present is answered by a walk over every record, and
// every record is then tested against the base.
void BM_SearchBaseObjectPresent(benchmark::State& state) {
  const std::string dn = dn_of(kTarget);
  Filter f = item(filter_present, "objectClass", "");
  run(state, request(dn, 0, &f, {}));
}
BENCHMARK(BM_SearchBaseObjectPresent)->Unit(benchmark::kMillisecond);

// The same entry by its DN through the "dn" hash index.
void BM_SearchBaseObjectDnEquality(benchmark::State& state) {
  const std::string dn = dn_of(kTarget);
  Filter f = item(filter_equality, "dn", dn);
  run(state, request(dn, 0, &f, {}));
}
BENCHMARK(BM_SearchBaseObjectDnEquality);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  char dir[] = "/tmp/search_benchXXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/data";
  out_fd = open("/dev/null", O_WRONLY);
  // The working directory holds no journal: the journal store stays empty.
  if (out_fd < 0 || chdir(dir) != 0 || !write_people(path.c_str())) return 1;
  load_data_file(path.c_str());
  load_journal();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  set_pool_release();
  unmap_data_file();
  unlink(path.c_str());
  rmdir(dir);
  return 0;
}
